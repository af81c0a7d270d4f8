#include "workflows/LoadControl.h"

#include "link/InstrumentSession.h"
#include "replies/Numbers.h"
#include "workflows/InputRules.h"

namespace {

bool Runs(const InstrumentSession& session, Activity activity)
{
    return session.Run(activity) == RunState::Running;
}

} // namespace

void SendLoadSetup(InstrumentSession& session, const LoadSetupEntries& e, IOperatorMessages& messages)
{
    session.StopPolling();
    for (const QString* text : { &e.maxV, &e.maxI, &e.maxP, &e.minVOn, &e.minVOff }) {
        if (RefuseEmpty(*text, messages))
            return;
    }
    // Each maximum is stored right after its command is queued, so a text that is no
    // number ends the action with the commands before it already on their way.
    StoredMaxima& maxima = session.Maxima();
    session.QueueCommand(QStringLiteral("mset:vmax ") + e.maxV);
    maxima.voltage = StrToFloat(e.maxV);
    session.QueueCommand(QStringLiteral("mset:imax ") + e.maxI);
    maxima.current = StrToFloat(e.maxI);
    session.QueueCommand(QStringLiteral("mset:pmax ") + e.maxP);
    maxima.power = StrToFloat(e.maxP);
    session.QueueCommand(QStringLiteral("mset:von ") + e.minVOn);
    session.QueueCommand(QStringLiteral("mset:voff ") + e.minVOff);
    if (e.autoOffTicked)
        session.QueueCommand(QStringLiteral("mset:aoff ") + e.autoOff);
}

void SendLoadPattern(InstrumentSession& session, const PatternEntries& e, IOperatorMessages& messages)
{
    session.StopPolling();
    const StoredMaxima& maxima = session.Maxima();
    struct SetPoint
    {
        LoadPattern pattern;
        double maximum;
        const char* mode;
        const char* command;
    };
    const SetPoint setPoints[] = {
        { LoadPattern::Current, maxima.current, "load:mode cc", "load:curr " },
        { LoadPattern::Voltage, maxima.voltage, "load:mode cv", "load:volt " },
        { LoadPattern::Power, maxima.power, "load:mode cp", "load:pow " },
        { LoadPattern::Resistance, kResistanceMaximum, "load:mode cr", "load:res " },
    };
    for (const SetPoint& p : setPoints) {
        if (p.pattern != e.pattern)
            continue;
        if (RefuseEmpty(e.setPoint, messages))
            return;
        // A refused value keeps whatever was pending; "Begin" becomes pressable all the same.
        const float value = static_cast<float>(StrToFloat(e.setPoint));
        if (dataRuleCheck(value, static_cast<float>(p.maximum), messages) == 2)
            session.ReplaceQueue(
                { { QString::fromLatin1(p.mode) }, { QString::fromLatin1(p.command) + e.setPoint } });
        session.SetArmed(Activity::Load, true);
        return;
    }
    if (e.pattern == LoadPattern::Short) {
        session.ReplaceQueue({ { QStringLiteral("load:mode sh") } });
    } else {
        const char* mode = e.transientMode == TransientMode::Continuous ? "cont"
            : e.transientMode == TransientMode::Pulse                   ? "puls"
                                                                        : "trig";
        // Built whole before anything changes, so an unfit text replaces nothing.
        const std::vector<Command> commands {
            { QStringLiteral("load:mode tran") },
            { QStringLiteral("tran:lmod ") + (e.transientCC ? QStringLiteral("cc") : QStringLiteral("cv")) },
            { QStringLiteral("tran:tmod ") + QString::fromLatin1(mode) },
            { QStringLiteral("tran:leva ") + e.levelA + u',' + e.widthA },
            { QStringLiteral("tran:levb ") + e.levelB + u',' + e.widthB },
        };
        session.ReplaceQueue(commands);
    }
    session.SetArmed(Activity::Load, true);
}

void QueueInputSwitch(InstrumentSession& session, bool on)
{
    static const QStringList switches { QStringLiteral("load on"), QStringLiteral("load off") };
    session.QueueSuperseding({ on ? switches[0] : switches[1] }, switches);
}

void SwitchLoadInput(InstrumentSession& session)
{
    if (session.Run(Activity::Load) == RunState::Idle) {
        QueueInputSwitch(session, true);
        session.SetRun(Activity::Load, RunState::Running);
        session.StartPolling();
    } else {
        QueueInputSwitch(session, false);
        session.SetRun(Activity::Load, RunState::Idle);
        session.StopPolling();
    }
}

void Trigger(InstrumentSession& session)
{
    session.QueueCommand(QStringLiteral("trig"));
}

void SelectSense(InstrumentSession& session, bool remote)
{
    if (session.Run(Activity::Load) != RunState::Idle)
        return;
    // One line per pacing tick, three times over.
    const Command sense { remote ? QStringLiteral("mset:rsen on") : QStringLiteral("mset:rsen off") };
    session.ReplaceQueue({ sense, sense, sense });
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
