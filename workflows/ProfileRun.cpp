#include "workflows/ProfileRun.h"

#include "link/Guarded.h"
#include "workflows/ProfileRunState.h"
#include "workflows/ProfileRunText.h"

#include <QRegularExpression>
#include <QTimer>
#include <stdexcept>

namespace {

// How often the run looks at its clocks: pulse ends, durations, deadlines.
constexpr int kTickMs = 50;

// A set-point the instrument's stored limits would clip is refused before anything is sent.
void CheckSettings(const std::vector<ProfileStep>& steps, const StoredMaxima& maxima)
{
    for (const ProfileStep& step : steps) {
        std::optional<double> maximum;
        const char* what = "current";
        const char* unit = "A";
        if (step.kind == StepKind::DischargeCurrent || step.kind == StepKind::Pulse) {
            maximum = maxima.current;
        } else if (step.kind == StepKind::DischargePower) {
            maximum = maxima.power;
            what = "power";
            unit = "W";
        } else if (step.kind == StepKind::HoldVoltage) {
            maximum = maxima.voltage;
            what = "voltage";
            unit = "V";
        }
        if (maximum && step.setting > *maximum)
            throw std::runtime_error(
                QStringLiteral("Line %1: %2 %3 is above the instrument's %4 limit of %5 %3.")
                    .arg(step.line)
                    .arg(ProfileNumber(step.setting), QLatin1String(unit), QLatin1String(what),
                        ProfileNumber(*maximum))
                    .toStdString());
        CheckSettings(step.steps, maxima);
    }
}

// The operator's value as the instrument wrote it ("2.500V"): the number alone, or nothing.
std::optional<QString> VoltageReply(const QString& reply)
{
    static const QRegularExpression shape(QStringLiteral("^\\s*(\\d+(?:\\.\\d*)?)\\s*[vV]?\\s*$"));
    const QRegularExpressionMatch m = shape.match(reply);
    if (!m.hasMatch())
        return std::nullopt;
    return m.captured(1);
}

} // namespace

void ProfileRun::State::Reset()
{
    ending = false;
    profile = {};
    text.clear();
    firstStepMs = 0;
    endSeconds = 0;
    cutOff = 0;
    operatorVoff.clear();
    backstopSet = false;
    askQueuedMs = 0;
    askWrittenMs = -1;
    frames.clear();
    step = nullptr;
    stepNumber = 0;
    cycle = 1;
    stepStartMs = 0;
    stepAh = stepWh = 0;
    offReadings = 0;
    nextDue = 0;
    base = {};
    inputOn.reset();
    modeNow.clear();
    unwritten.clear();
    levelSetMs = -1;
    pollAtMs = -1;
    pollGen = -1;
    lastReadingMs = 0;
    lastMs = 0;
    lastAmps = lastWatts = 0;
    samples.clear();
    resistances.clear();
    ah = wh = 0;
    pulse = {};
}

void ProfileRun::State::Listen()
{
    saved = { session.OnMainReading, session.OnLineWritten, session.OnVerbatimReply, session.OnLinkEvent,
        session.OnPortLost, session.OnStateChange };
    listening = true;
    session.OnMainReading = [this](InstrumentSession* s, const MainReading& r, const QString& power) {
        const auto previous = saved.mainReading;
        Reading(r);
        if (previous)
            previous(s, r, power);
    };
    session.OnLineWritten = [this](InstrumentSession* s, const QString& line) {
        const auto previous = saved.lineWritten;
        Written(line);
        if (previous)
            previous(s, line);
    };
    session.OnVerbatimReply = [this](InstrumentSession* s, const QString& reply) {
        const auto previous = saved.verbatimReply;
        // The answer to the run's own question is no answer to one the operator typed.
        if (phase == Phase::AskingBackstop && askWrittenMs >= 0)
            BackstopAnswer(reply);
        else if (previous)
            previous(s, reply);
    };
    session.OnLinkEvent = [this](InstrumentSession* s, const LinkEvent& event) {
        const auto previous = saved.linkEvent;
        if (phase == Phase::AskingBackstop && event.exchange && event.exchange->command.text == kAskVoff
            && event.trouble != LinkTrouble::Late)
            NoBackstopAnswer();
        if (previous)
            previous(s, event);
    };
    session.OnPortLost = [this](InstrumentSession* s, const QString& port) {
        const auto previous = saved.portLost;
        End(ProfileOutcome::PortLost, QStringLiteral("The port %1 was lost").arg(port));
        if (previous)
            previous(s, port);
    };
    session.OnStateChange = [this](InstrumentSession* s) {
        const auto previous = saved.stateChange;
        StateChanged();
        if (previous)
            previous(s);
    };
}

void ProfileRun::State::Unlisten(const std::optional<QString>& restore)
{
    if (!listening)
        return;
    listening = false;
    session.OnMainReading = saved.mainReading;
    session.OnLineWritten = saved.lineWritten;
    session.OnVerbatimReply = saved.verbatimReply;
    session.OnLinkEvent = saved.linkEvent;
    session.OnPortLost = saved.portLost;
    session.OnStateChange = saved.stateChange;
    if (restore)
        OnNextOpen(*restore);
    saved = {};
}

void ProfileRun::State::OnNextOpen(const QString& restore)
{
    InstrumentSession* s = &session;
    QPointer<ProfileRun> owner(&run);
    const int lostOn = session.ConnectionNumber();
    session.OnStateChange = [s, owner, lostOn, restore, previous = saved.stateChange](
                                InstrumentSession* sender) {
        const auto chained = previous;
        if (s->Port() == PortState::Open && s->ConnectionNumber() != lostOn) {
            const QString text = restore;
            s->OnStateChange = chained; // the session calls a copy of this hook
            s->SwitchInput(false);
            if (!text.isEmpty())
                s->QueueCommand(text);
            if (owner && owner->OnStatus)
                owner->OnStatus(text.isEmpty()
                        ? QStringLiteral("Port open again: \"load off\" sent first.")
                        : QStringLiteral("Port open again: \"load off\" and the backstop's restore (%1) sent "
                                         "first.")
                              .arg(text));
        }
        if (chained)
            chained(sender);
    };
}

void ProfileRun::State::StateChanged()
{
    if (phase == Phase::Idle || ending)
        return;
    if (session.Port() != PortState::Open)
        End(ProfileOutcome::PortLost, QStringLiteral("The port closed"));
    else if (session.Run(Activity::Load) != RunState::Running)
        End(ProfileOutcome::Stopped, QStringLiteral("The input was switched off outside the profile"));
}

void ProfileRun::State::AskBackstop()
{
    cutOff = LowestCutOff(profile);
    if (cutOff <= 0) {
        Status(QStringLiteral("No backstop: the profile names no cut-off voltage, so the instrument's own "
                              "switch-off (mset:voff) is left as it is."));
        BeginSteps();
        return;
    }
    phase = Phase::AskingBackstop;
    askQueuedMs = Now();
    askWrittenMs = -1;
    session.QueueCommand(kAskVoff, ReplyCode::Verbatim);
}

void ProfileRun::State::BackstopAnswer(const QString& reply)
{
    const std::optional<QString> voff = VoltageReply(reply);
    if (!voff) {
        End(ProfileOutcome::Failed,
            QStringLiteral("The instrument answered %1 to \"mset:voff?\", which is no voltage; the profile "
                           "was not started, so that its switch-off voltage can be put back")
                .arg(QuotedReply(reply)));
        return;
    }
    operatorVoff = *voff;
    const QString set = QStringLiteral("mset:voff ") + ProfileNumber(cutOff);
    session.QueueCommand(set);
    backstopSet = true;
    Status(QStringLiteral("Backstop: %1 (was %2)").arg(set, operatorVoff));
    BeginSteps();
}

void ProfileRun::State::NoBackstopAnswer()
{
    End(ProfileOutcome::Failed,
        QStringLiteral("The instrument did not answer \"mset:voff?\"; the profile was not started, since its "
                       "switch-off voltage could not be put back afterwards"));
}

void ProfileRun::State::Tick()
{
    const qint64 now = Now();
    if (phase == Phase::AskingBackstop) {
        // An answer the session ignored (empty) raises nothing: the run gives up itself.
        if ((askWrittenMs >= 0 && now - askWrittenMs > session.ReplyTimeout() + 2000)
            || now - askQueuedMs > 30000)
            NoBackstopAnswer();
        return;
    }
    if (phase != Phase::Steps)
        return;
    const qint64 silentMs = std::max<qint64>(10000, 4 * (pollMs + session.ReplyTimeout()));
    if (now - lastReadingMs > silentMs) {
        End(ProfileOutcome::Failed,
            QStringLiteral("No reading from the instrument for %1 s in step %2")
                .arg((now - lastReadingMs) / 1000)
                .arg(stepNumber));
        return;
    }
    if (LimitMet(nullptr, now) || phase != Phase::Steps)
        return;
    if (pulse.active) {
        PulseClock(now);
        return;
    }
    if (pulse.waitingBase)
        return;
    const double elapsed = double(now - stepStartMs) / 1000.0;
    for (const EndCondition& c : step->until) {
        if (c.kind == EndKind::Duration && elapsed >= c.value) {
            EndStep(c, ProfileValueText(c.kind, elapsed));
            return;
        }
    }
}

void ProfileRun::State::End(ProfileOutcome outcome, QString message)
{
    if (phase == Phase::Idle || ending)
        return;
    ending = true;
    tick->stop();
    const qint64 now = Now();
    endSeconds = phase == Phase::Steps ? RunSeconds(now) : 0;
    if (pulse.active && pulse.measure)
        Report(pulse, QStringLiteral("the run ended during the pulse"), 0, 0);
    else if (pulse.waitingBase)
        Report(pulse, QStringLiteral("the run ended before V1 was read"), 0, 0);
    pulse = {};
    if (outcome == ProfileOutcome::Stopped || outcome == ProfileOutcome::PortLost) {
        message += step ? QStringLiteral(" in step %1: %2").arg(stepNumber).arg(Totals(now))
                        : QStringLiteral(" before the first step");
    }
    const QString restore = backstopSet ? QStringLiteral("mset:voff ") + operatorVoff : QString();
    const bool open = session.Port() == PortState::Open;
    if (open) {
        // "load off" ahead of everything; what the run still had pending goes.
        session.SwitchInput(false);
        session.ReplaceQueue(
            restore.isEmpty() ? std::vector<Command> {} : std::vector<Command> { { restore } });
        session.StopPolling();
        session.SetPollInterval(InstrumentSession::kIdlePollMs);
        if (!restore.isEmpty())
            message += QStringLiteral("; backstop restored (%1)").arg(restore);
    } else {
        message += restore.isEmpty()
            ? QStringLiteral("; \"load off\" goes out first when a port opens again")
            : QStringLiteral("; \"load off\" and the backstop's restore (%1) go out first when a port opens "
                             "again")
                  .arg(restore);
    }
    session.SetMode(modeBefore);
    session.SetRun(Activity::Load, RunState::Idle);
    Unlisten(open ? std::nullopt : std::optional<QString>(restore));
    phase = Phase::Idle;
    ending = false;
    if (auto handler = run.OnEnd)
        handler(outcome, message);
}

ProfileRun::ProfileRun(InstrumentSession& session, QObject* parent)
    : QObject(parent)
    , F(std::make_unique<State>(*this, session))
{
    F->tick = new QTimer(this);
    F->tick->setInterval(kTickMs);
    // A handler that throws ends that tick, as one of the session's own would, and is
    // reported the same way.
    connect(F->tick, &QTimer::timeout, this, [this] {
        RunReporting([this] { F->Tick(); },
            [this](const QString& message) {
                if (auto handler = F->session.OnError)
                    handler(&F->session, message);
            });
    });
}

ProfileRun::~ProfileRun()
{
    // The owner is going: nothing is told any more, but the input goes off and the
    // backstop is put back all the same.
    OnStep = {};
    OnSample = {};
    OnResistance = {};
    OnStatus = {};
    OnEnd = {};
    if (!F->sessionAlive)
        return;
    F->End(ProfileOutcome::Stopped, QString());
    F->Unlisten(std::nullopt);
}

void ProfileRun::Start(const Profile& profile, const QByteArray& text)
{
    State& f = *F;
    if (f.phase != State::Phase::Idle)
        throw std::runtime_error("A profile is running already.");
    if (f.session.Port() != PortState::Open || f.session.Disconnecting())
        throw std::runtime_error("Connect to the instrument first: no port is open.");
    if (f.session.InputMayBeOn())
        throw std::runtime_error("The input is in use by another run: stop it before starting a profile.");
    if (profile.steps.empty())
        throw std::runtime_error("The profile has no steps.");
    CheckSettings(profile.steps, f.session.Maxima());

    State& s = f;
    s.Reset();
    s.profile = profile;
    s.text = text;
    s.started = QDateTime::currentDateTimeUtc();
    s.clock.start();
    s.modeBefore = s.session.Mode();
    // Readings come in the Main page's layout only in the normal mode.
    s.session.SetMode(TestMode::Normal);
    s.Listen();
    s.phase = State::Phase::AskingBackstop;
    s.session.SetRun(Activity::Load, RunState::Running);
    s.tick->start();
    s.AskBackstop();
}

void ProfileRun::Stop()
{
    F->End(ProfileOutcome::Stopped, QStringLiteral("Profile stopped by the operator"));
}

bool ProfileRun::Running() const
{
    return F->phase != State::Phase::Idle;
}

double ProfileRun::CapacityAh() const
{
    return F->ah;
}

double ProfileRun::EnergyWh() const
{
    return F->wh;
}

double ProfileRun::Seconds() const
{
    return F->phase == State::Phase::Steps ? F->RunSeconds(F->Now()) : F->endSeconds;
}

const std::vector<ProfileSample>& ProfileRun::Samples() const
{
    return F->samples;
}

const std::vector<ResistanceMeasurement>& ProfileRun::Resistances() const
{
    return F->resistances;
}

const QByteArray& ProfileRun::Text() const
{
    return F->text;
}

QDateTime ProfileRun::Started() const
{
    return F->started;
}

QString ProfileRun::RunLabel() const
{
    return F->started.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

void ProfileRun::SetPollMs(int ms)
{
    F->pollMs = std::max(ms, 1);
    if (F->phase == State::Phase::Steps)
        F->session.SetPollInterval(F->pollMs);
}
