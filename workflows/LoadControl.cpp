#include "workflows/LoadControl.h"

#include "link/InstrumentSession.h"
#include "workflows/InputRules.h"
#include "workflows/OperatorMessages.h"

namespace {

// The widths are whole milliseconds; a minute is far beyond any transient.
constexpr int kLongestWidthMs = 60000;

bool Runs(const InstrumentSession& session, Activity activity)
{
    return session.Run(activity) == RunState::Running;
}

} // namespace

void SendLoadSetup(InstrumentSession& session, const LoadSetupEntries& e, IOperatorMessages& messages)
{
    if (!PortIsOpen(session, messages))
        return;
    session.StopPolling();
    // Every limit is checked before any is sent: a refused one sends none of them.
    struct Limit
    {
        const QString& text;
        const char* field;
        const char* command;
        std::optional<double> StoredMaxima::*maximum;
    };
    std::vector<Limit> limits { { e.maxV, "Max. Voltage", "mset:vmax ", &StoredMaxima::voltage },
        { e.maxI, "Max. Current", "mset:imax ", &StoredMaxima::current },
        { e.maxP, "Max. Power", "mset:pmax ", &StoredMaxima::power },
        { e.minVOn, "On Voltage", "mset:von ", nullptr },
        { e.minVOff, "Off Voltage", "mset:voff ", nullptr } };
    if (e.autoOffTicked)
        limits.push_back({ e.autoOff, "Auto Delay Off", "mset:aoff ", nullptr });
    for (const Limit& limit : limits) {
        if (RefuseEmpty(limit.text, messages, QString::fromLatin1(limit.field)))
            return;
    }
    std::vector<double> values;
    for (const Limit& limit : limits) {
        const std::optional<double> value
            = DecimalEntry(limit.text, QString::fromLatin1(limit.field), messages);
        if (!value)
            return;
        values.push_back(*value);
    }
    std::vector<Command> commands;
    for (const Limit& limit : limits)
        commands.push_back({ QString::fromLatin1(limit.command) + limit.text });
    session.QueueCommands(commands);
    for (size_t i = 0; i < limits.size(); ++i) {
        if (limits[i].maximum)
            session.Maxima().*limits[i].maximum = values[i];
    }
}

void SendLoadPattern(InstrumentSession& session, const PatternEntries& e, IOperatorMessages& messages)
{
    if (!PortIsOpen(session, messages))
        return;
    session.StopPolling();
    const StoredMaxima& maxima = session.Maxima();
    struct SetPoint
    {
        LoadPattern pattern;
        const char* field;
        std::optional<double> maximum;
        const char* mode;
        const char* command;
    };
    const SetPoint setPoints[] = {
        { LoadPattern::Current, "I-SET", maxima.current, "load:mode cc", "load:curr " },
        { LoadPattern::Voltage, "V-SET", maxima.voltage, "load:mode cv", "load:volt " },
        { LoadPattern::Power, "P-SET", maxima.power, "load:mode cp", "load:pow " },
        { LoadPattern::Resistance, "R-SET", kResistanceMaximum, "load:mode cr", "load:res " },
    };
    for (const SetPoint& p : setPoints) {
        if (p.pattern != e.pattern)
            continue;
        const QString field = QString::fromLatin1(p.field);
        const std::optional<double> value = DecimalEntry(e.setPoint, field, messages);
        if (!value)
            return;
        // A refused value keeps whatever was pending, and does not make "Begin" pressable:
        // the instrument would run a pattern the operator did not mean (one accepted before
        // on this connection still may run).
        if (LimitCheck(*value, p.maximum, messages, field) != 2)
            return;
        session.ReplaceQueue(
            { { QString::fromLatin1(p.mode) }, { QString::fromLatin1(p.command) + e.setPoint } });
        session.SetArmed(Activity::Load, true);
        return;
    }
    if (e.pattern == LoadPattern::Short) {
        session.ReplaceQueue({ { QStringLiteral("load:mode sh") } });
    } else {
        const std::pair<const QString&, const char*> levels[]
            = { { e.levelA, "Level A" }, { e.levelB, "Level B" } };
        const std::pair<const QString&, const char*> widths[]
            = { { e.widthA, "Width A" }, { e.widthB, "Width B" } };
        for (const auto& [text, field] : levels) {
            if (!DecimalEntry(text, QString::fromLatin1(field), messages))
                return;
        }
        for (const auto& [text, field] : widths) {
            if (!WholeEntry(text, QString::fromLatin1(field), 0, kLongestWidthMs, messages))
                return;
        }
        const char* mode = e.transientMode == TransientMode::Continuous ? "cont"
            : e.transientMode == TransientMode::Pulse                   ? "puls"
                                                                        : "trig";
        session.ReplaceQueue({
            { QStringLiteral("load:mode tran") },
            { QStringLiteral("tran:lmod ") + (e.transientCC ? QStringLiteral("cc") : QStringLiteral("cv")) },
            { QStringLiteral("tran:tmod ") + QString::fromLatin1(mode) },
            { QStringLiteral("tran:leva ") + e.levelA + u',' + e.widthA },
            { QStringLiteral("tran:levb ") + e.levelB + u',' + e.widthB },
        });
    }
    session.SetArmed(Activity::Load, true);
}

void SwitchLoadInput(InstrumentSession& session)
{
    if (session.Run(Activity::Load) == RunState::Idle) {
        session.SwitchInput(true);
        session.SetRun(Activity::Load, RunState::Running);
        session.StartPolling();
    } else {
        session.SwitchInput(false);
        session.SetRun(Activity::Load, RunState::Idle);
        session.StopPolling();
    }
}

void Trigger(InstrumentSession& session, IOperatorMessages& messages)
{
    if (PortIsOpen(session, messages))
        session.QueueCommand(QStringLiteral("trig"));
}

bool SelectSense(InstrumentSession& session, bool remote)
{
    if (session.Run(Activity::Load) == RunState::Running)
        return false;
    if (session.Run(Activity::Load) == RunState::Initial || session.Port() != PortState::Open)
        return true; // without an instrument the choice waits in the window
    // One line per pacing tick, three times over.
    const Command sense { remote ? QStringLiteral("mset:rsen on") : QStringLiteral("mset:rsen off") };
    session.ReplaceQueue({ sense, sense, sense });
    return true;
}

Page SelectPage(InstrumentSession& session, Page selected)
{
    if (selected != Page::Main && selected != Page::Battery && selected != Page::List)
        return selected;
    // At most one activity runs at a time, so at most one check holds.
    Page shown = selected;
    if (selected == Page::Main) {
        if (Runs(session, Activity::Battery))
            shown = Page::Battery;
        else if (Runs(session, Activity::List))
            shown = Page::List;
    } else if (selected == Page::Battery) {
        if (Runs(session, Activity::Load))
            shown = Page::Main;
        else if (Runs(session, Activity::List))
            shown = Page::List;
    } else {
        if (Runs(session, Activity::Battery))
            shown = Page::Battery;
        else if (Runs(session, Activity::Load))
            shown = Page::Main;
    }
    session.SetMode(shown == Page::Main ? TestMode::Normal
            : shown == Page::Battery    ? TestMode::Battery
                                        : TestMode::List);
    if (selected == Page::List)
        session.SetArmed(Activity::List, false);
    return shown;
}
