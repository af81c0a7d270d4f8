#include "workflows/ProfileRun.h"

#include "link/InstrumentSession.h"
#include "workflows/ProfileRunText.h"
#include "workflows/RunNotes.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// How often the run looks at its clocks: pulse ends, durations, deadlines.
constexpr int kTickMs = 50;
constexpr double kPulseSeconds = 1.0; // the periodic measurement's pulse
// A pulse counts when the current measured under it is this close to the one set.
constexpr double kPulseShare = 0.03;
constexpr double kPulseAmps = 0.005;
// A discharge whose current reads below this share of what it should draw, twice in a row,
// has been switched off by the instrument itself (its under-voltage switch-off).
constexpr double kOffShare = 0.05;
constexpr int kOffReadings = 2;

const QString kPoll = QStringLiteral("fetch?");
const QString kAskVoff = QStringLiteral("mset:voff?");

// What the load is set to: a mode and its set-point with the input on, or the input off.
struct Level
{
    QString mode; // "cc", "cp", "cr", "cv"
    QString setPoint; // "load:curr 2"
    bool on = false;
};

Level LevelOf(const ProfileStep& step)
{
    switch (step.kind) {
    case StepKind::DischargeCurrent:
        return { QStringLiteral("cc"), QStringLiteral("load:curr ") + PlainNumber(step.setting), true };
    case StepKind::DischargePower:
        return { QStringLiteral("cp"), QStringLiteral("load:pow ") + PlainNumber(step.setting), true };
    case StepKind::DischargeResistance:
        return { QStringLiteral("cr"), QStringLiteral("load:res ") + PlainNumber(step.setting), true };
    case StepKind::HoldVoltage:
        return { QStringLiteral("cv"), QStringLiteral("load:volt ") + PlainNumber(step.setting), true };
    case StepKind::Rest:
    case StepKind::Pulse:
    case StepKind::MeasureResistance:
    case StepKind::Repeat:
        break;
    }
    return {};
}

bool IsDischarge(StepKind kind)
{
    return kind == StepKind::DischargeCurrent || kind == StepKind::DischargePower
        || kind == StepKind::DischargeResistance;
}

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
                    .arg(PlainNumber(step.setting), QLatin1String(unit), QLatin1String(what),
                        PlainNumber(*maximum))
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

struct ProfileRun::State
{
    State(ProfileRun& r, InstrumentSession& s)
        : run(r)
        , session(s)
        , sessionAlive(&s)
    { }

    ProfileRun& run;
    InstrumentSession& session;
    QPointer<InstrumentSession> sessionAlive; // a run that outlives its session leaves it alone

    // The session's handlers while the run listens in their place.
    struct Saved
    {
        decltype(InstrumentSession::OnMainReading) mainReading;
        decltype(InstrumentSession::OnLineWritten) lineWritten;
        decltype(InstrumentSession::OnVerbatimReply) verbatimReply;
        decltype(InstrumentSession::OnLinkEvent) linkEvent;
        decltype(InstrumentSession::OnPortLost) portLost;
        decltype(InstrumentSession::OnStateChange) stateChange;
    } saved;
    bool listening = false;

    enum class Phase { Idle, AskingBackstop, Steps };
    Phase phase = Phase::Idle;
    bool ending = false;
    Profile profile;
    QByteArray text;
    QElapsedTimer clock; // since Start
    QDateTime started;
    qint64 firstStepMs = 0;
    double endSeconds = 0;
    int pollMs = 500;
    TestMode modeBefore = TestMode::Normal;
    QTimer* tick = nullptr;

    // The instrument's own switch-off, set to the lowest cut-off while the run goes.
    double cutOff = 0;
    QString operatorVoff; // as the instrument gave it
    bool backstopSet = false;
    qint64 askQueuedMs = 0;
    qint64 askWrittenMs = -1;

    // Where the walk through the tree stands.
    struct Frame
    {
        const std::vector<ProfileStep>* steps;
        size_t next = 0;
        int pass = 1;
        int times = 1;
    };
    std::vector<Frame> frames;
    const ProfileStep* step = nullptr;
    int stepNumber = 0;
    int cycle = 1;
    qint64 stepStartMs = 0;
    double stepAh = 0, stepWh = 0;
    int offReadings = 0;
    double nextDue = 0; // of the periodic measurement: step seconds or step Ah

    // The load's level on the wire. A reading is at a level when its poll went out after
    // every line of that level had left the port.
    Level base; // the step's own level, which a pulse goes back to
    std::optional<bool> inputOn;
    QString modeNow;
    std::vector<QString> unwritten; // this run's lines still to leave the port
    int levelGen = 0;
    qint64 levelSetMs = -1; // when the last line of the level left; -1 while some are pending
    qint64 pollAtMs = -1; // when the poll now answered left
    int pollGen = -1; // the level it went out at; -1 in the middle of a change
    qint64 lastReadingMs = 0;
    // The point the next reading is integrated from: the last reading, or the run's start
    // with the input off.
    qint64 lastMs = 0;
    double lastAmps = 0, lastWatts = 0;

    std::vector<ProfileSample> samples;
    std::vector<ResistanceMeasurement> resistances;
    double ah = 0, wh = 0;

    struct Pulse
    {
        bool active = false;
        bool measure = false; // reads the resistance
        bool isStep = false; // ends its step
        bool waitingBase = false; // a measurement step waits for V1
        double v1 = 0, i1 = 0, i2 = 0, seconds = kPulseSeconds;
        int gen = -1;
        qint64 beganMs = 0;
        bool polled = false;
        bool early = false; // a reading came, but too soon into the pulse
    } pulse;

    // Forgets the last run (OnEnd may start the next one while the last one's handling
    // is still on the stack, so the state stays where it is).
    void Reset()
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

    qint64 Now() const { return clock.elapsed(); }
    double RunSeconds(qint64 ms) const { return std::max<double>(0, double(ms - firstStepMs) / 1000.0); }
    void Status(const QString& text)
    {
        if (auto handler = run.OnStatus)
            handler(text);
    }

    // ---- listening in the session's handlers

    void Listen()
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

    // Gives the handlers back. `restore` (the input off, the backstop's restore) waits for
    // the next port that opens, when the run ended without one.
    void Unlisten(const std::optional<QString>& restore)
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

    // A hook of its own, outliving the run if need be: the first open of a port afterwards
    // switches the input off and restores the backstop before anything else goes out.
    void OnNextOpen(const QString& restore)
    {
        InstrumentSession* s = &session;
        QPointer<ProfileRun> owner(&run);
        const int lostOn = session.ConnectionNumber();
        session.OnStateChange
            = [s, owner, lostOn, restore, previous = saved.stateChange](InstrumentSession* sender) {
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
                                  : QStringLiteral(
                                      "Port open again: \"load off\" and the backstop's restore (%1) sent "
                                      "first.")
                                        .arg(text));
                  }
                  if (chained)
                      chained(sender);
              };
    }

    void StateChanged()
    {
        if (phase == Phase::Idle || ending)
            return;
        if (session.Port() != PortState::Open)
            End(ProfileOutcome::PortLost, QStringLiteral("The port closed"));
        else if (session.Run(Activity::Load) != RunState::Running)
            End(ProfileOutcome::Stopped, QStringLiteral("The input was switched off outside the profile"));
    }

    // ---- the backstop

    void AskBackstop()
    {
        cutOff = LowestCutOff(profile);
        if (cutOff <= 0) {
            Status(
                QStringLiteral("No backstop: the profile names no cut-off voltage, so the instrument's own "
                               "switch-off (mset:voff) is left as it is."));
            BeginSteps();
            return;
        }
        phase = Phase::AskingBackstop;
        askQueuedMs = Now();
        askWrittenMs = -1;
        session.QueueCommand(kAskVoff, ReplyCode::Verbatim);
    }

    void BackstopAnswer(const QString& reply)
    {
        const std::optional<QString> voff = VoltageReply(reply);
        if (!voff) {
            End(ProfileOutcome::Failed,
                QStringLiteral(
                    "The instrument answered %1 to \"mset:voff?\", which is no voltage; the profile "
                    "was not started, so that its switch-off voltage can be put back")
                    .arg(QuotedReply(reply)));
            return;
        }
        operatorVoff = *voff;
        const QString set = QStringLiteral("mset:voff ") + PlainNumber(cutOff);
        session.QueueCommand(set);
        backstopSet = true;
        Status(QStringLiteral("Backstop: %1 (was %2)").arg(set, operatorVoff));
        BeginSteps();
    }

    void NoBackstopAnswer()
    {
        End(ProfileOutcome::Failed,
            QStringLiteral(
                "The instrument did not answer \"mset:voff?\"; the profile was not started, since its "
                "switch-off voltage could not be put back afterwards"));
    }

    // ---- steps

    void BeginSteps()
    {
        phase = Phase::Steps;
        firstStepMs = Now();
        lastReadingMs = firstStepMs;
        // The input was off when the run began: the charge counts from its first "load on".
        lastMs = firstStepMs;
        lastAmps = lastWatts = 0;
        frames = { { &profile.steps, 0, 1, 1 } };
        session.SetPollInterval(pollMs);
        session.StartPolling();
        NextStep();
    }

    const ProfileStep* Advance()
    {
        while (!frames.empty()) {
            Frame& f = frames.back();
            if (f.next < f.steps->size()) {
                const ProfileStep& s = (*f.steps)[f.next++];
                if (s.kind != StepKind::Repeat)
                    return &s;
                frames.push_back({ &s.steps, 0, 1, s.times });
            } else if (f.pass < f.times) {
                ++f.pass;
                f.next = 0;
            } else {
                frames.pop_back();
            }
        }
        return nullptr;
    }

    void NextStep()
    {
        step = Advance();
        if (!step) {
            End(ProfileOutcome::Finished,
                QStringLiteral("Profile finished: %1 steps, %2").arg(stepNumber).arg(Totals(Now())));
            return;
        }
        ++stepNumber;
        cycle = frames.size() > 1 ? frames.back().pass : 1;
        stepStartMs = Now();
        stepAh = stepWh = 0;
        offReadings = 0;
        pulse = {};
        nextDue
            = step->resistanceEverySeconds > 0 ? step->resistanceEverySeconds : step->resistanceEveryAmpHours;
        if (auto handler = run.OnStep)
            handler(StepInfo(*step, stepNumber, cycle));
        switch (step->kind) {
        case StepKind::Pulse:
            StartPulse(false, true, 0, 0, step->setting, step->seconds);
            break;
        case StepKind::MeasureResistance:
            pulse.waitingBase = true;
            pulse.measure = pulse.isStep = true;
            pulse.i2 = step->setting;
            pulse.seconds = step->seconds;
            break;
        default:
            base = LevelOf(*step);
            SetLevel(base);
        }
    }

    QString Totals(qint64 ms) const
    {
        return QStringLiteral("%1 Ah, %2 Wh in %3")
            .arg(QString::number(ah, 'f', 3), QString::number(wh, 'f', 2),
                ElapsedText(static_cast<qint64>(RunSeconds(ms))));
    }

    void EndStep(const EndCondition& c, const QString& read)
    {
        Status(QStringLiteral("Step %1 ended: %2 (%3)").arg(stepNumber).arg(EndConditionText(c), read));
        NextStep();
    }

    // ---- the level on the wire

    void SetLevel(const Level& level)
    {
        ++levelGen;
        levelSetMs = -1;
        const auto forgetSwitches = [this] {
            std::erase_if(unwritten, [](const QString& l) { return l == kInputOn || l == kInputOff; });
        };
        if (!level.on) {
            if (inputOn == false && unwritten.empty()) {
                levelSetMs = Now();
                return;
            }
            forgetSwitches();
            unwritten.push_back(kInputOff);
            inputOn = false;
            session.SwitchInput(false);
            return;
        }
        std::vector<Command> commands;
        if (level.mode != modeNow)
            commands.push_back({ QStringLiteral("load:mode ") + level.mode });
        modeNow = level.mode;
        commands.push_back({ level.setPoint });
        for (const Command& c : commands)
            unwritten.push_back(c.text);
        session.QueueCommands(commands);
        if (inputOn != true) {
            forgetSwitches();
            unwritten.push_back(kInputOn);
            inputOn = true;
            session.SwitchInput(true);
        }
    }

    void Written(const QString& line)
    {
        if (phase == Phase::Idle)
            return;
        const qint64 now = Now();
        const auto it = std::find(unwritten.begin(), unwritten.end(), line);
        if (it != unwritten.end()) {
            unwritten.erase(it);
            if (unwritten.empty())
                levelSetMs = now;
        }
        if (line == kPoll) {
            pollAtMs = now;
            pollGen = unwritten.empty() ? levelGen : -1;
        } else if (line == kAskVoff && phase == Phase::AskingBackstop) {
            askWrittenMs = now;
        }
    }

    // ---- readings

    void Reading(const MainReading& r)
    {
        if (phase != Phase::Steps || ending)
            return;
        const qint64 now = Now();
        const qint64 t = pollAtMs >= 0 ? pollAtMs : now;
        const int gen = pollGen;
        pollAtMs = -1;
        lastReadingMs = now;
        const double v = r.voltageValue, i = r.currentValue, p = v * i;
        Integrate(t, i, p, gen);

        ProfileSample sample;
        sample.seconds = RunSeconds(t);
        sample.voltage = v;
        sample.current = i;
        sample.power = p;
        sample.capacityAh = ah;
        sample.energyWh = wh;
        sample.stepAh = stepAh;
        sample.stepWh = stepWh;
        sample.stepNumber = stepNumber;
        sample.line = step->line;
        sample.cycle = cycle;
        sample.kind = step->kind;
        sample.at = started.addMSecs(t);
        samples.push_back(sample);
        if (auto handler = run.OnSample)
            handler(sample);
        if (LimitMet(&sample, t) || phase != Phase::Steps)
            return;

        const bool settled = gen == levelGen && gen >= 0;
        if (pulse.waitingBase) {
            if (settled) {
                pulse.waitingBase = false;
                StartPulse(true, true, v, i, step->setting, step->seconds);
            }
            return;
        }
        if (pulse.active) {
            PulseReading(t, v, i, gen);
            return;
        }
        if (JudgeStep(v, i, settled, now))
            return;
        if (settled && IsDischarge(step->kind))
            MaybeMeasure(v, i, now);
    }

    // The trapezoid between two readings; where the level changed in between, the current
    // stepped when the change left the port, so each side keeps its own reading's value.
    void Integrate(qint64 t, double i, double p, int gen)
    {
        if (t <= lastMs)
            return;
        double dAh, dWh;
        if (gen == levelGen && levelSetMs > lastMs && levelSetMs <= t) {
            const double before = double(levelSetMs - lastMs) / 3.6e6, after = double(t - levelSetMs) / 3.6e6;
            dAh = lastAmps * before + i * after;
            dWh = lastWatts * before + p * after;
        } else {
            const double hours = double(t - lastMs) / 3.6e6;
            dAh = (lastAmps + i) / 2 * hours;
            dWh = (lastWatts + p) / 2 * hours;
        }
        ah += dAh;
        wh += dWh;
        stepAh += dAh;
        stepWh += dWh;
        lastMs = t;
        lastAmps = i;
        lastWatts = p;
    }

    // The run's limit, on a reading or (duration only) on the clock.
    bool LimitMet(const ProfileSample* s, qint64 now)
    {
        const double seconds = s ? s->seconds : RunSeconds(now);
        for (const EndCondition& c : profile.limit) {
            double value = 0;
            bool met = false;
            switch (c.kind) {
            case EndKind::VoltageBelow:
                met = s && (value = s->voltage) <= c.value;
                break;
            case EndKind::VoltageAbove:
                met = s && (value = s->voltage) >= c.value;
                break;
            case EndKind::Duration:
                met = (value = seconds) >= c.value;
                break;
            case EndKind::Capacity:
                met = (value = ah) >= c.value;
                break;
            case EndKind::Energy:
                met = (value = wh) >= c.value;
                break;
            case EndKind::CurrentBelow:
                break;
            }
            if (met) {
                End(ProfileOutcome::LimitReached,
                    QStringLiteral("Profile stopped at its limit (%1: %2) in step %3: %4")
                        .arg(RunLimitText(c), ValueText(c.kind, value))
                        .arg(stepNumber)
                        .arg(Totals(now)));
                return true;
            }
        }
        return false;
    }

    bool JudgeStep(double v, double i, bool settled, qint64 now)
    {
        const double elapsed = double(now - stepStartMs) / 1000.0;
        for (const EndCondition& c : step->until) {
            double value = 0;
            bool met = false;
            switch (c.kind) {
            case EndKind::VoltageBelow:
                met = settled && (value = v) <= c.value;
                break;
            case EndKind::VoltageAbove:
                met = settled && (value = v) >= c.value;
                break;
            case EndKind::CurrentBelow:
                met = settled && (value = i) <= c.value;
                break;
            case EndKind::Duration:
                met = (value = elapsed) >= c.value;
                break;
            case EndKind::Capacity:
                met = (value = stepAh) >= c.value;
                break;
            case EndKind::Energy:
                met = (value = stepWh) >= c.value;
                break;
            }
            if (met) {
                EndStep(c, ValueText(c.kind, value));
                return true;
            }
        }
        if (!settled || !IsDischarge(step->kind))
            return false;
        // The instrument's own switch-off (the backstop) has ended the discharge: the
        // cell rests above it again, and nothing but the current tells.
        const double expected = step->kind == StepKind::DischargeCurrent ? step->setting
            : step->kind == StepKind::DischargePower                     ? step->setting / std::max(v, 1e-3)
                                                                         : v / step->setting;
        offReadings = i < kOffShare * expected ? offReadings + 1 : 0;
        if (offReadings < kOffReadings)
            return false;
        const auto below = std::find_if(step->until.begin(), step->until.end(),
            [](const EndCondition& c) { return c.kind == EndKind::VoltageBelow; });
        if (below != step->until.end()) {
            EndStep(
                *below, QStringLiteral("the instrument switched its input off at %1 V").arg(PlainNumber(v)));
            return true;
        }
        End(ProfileOutcome::Failed,
            QStringLiteral("The instrument switched its input off by itself in step %1 (%2 V, %3 A read)")
                .arg(stepNumber)
                .arg(PlainNumber(v), PlainNumber(i)));
        return true;
    }

    // ---- pulses and the resistance

    void MaybeMeasure(double v, double i, qint64 now)
    {
        const double every
            = step->resistanceEverySeconds > 0 ? step->resistanceEverySeconds : step->resistanceEveryAmpHours;
        if (every <= 0)
            return;
        const double value = step->resistanceEverySeconds > 0 ? double(now - stepStartMs) / 1000.0 : stepAh;
        if (value < nextDue)
            return;
        nextDue = (std::floor(value / every) + 1) * every;
        const double baseAmps = step->kind == StepKind::DischargeCurrent ? step->setting : i;
        double amps = step->resistancePulseCurrent > 0 ? step->resistancePulseCurrent : 2 * baseAmps;
        if (step->resistancePulseCurrent <= 0 && session.Maxima().current)
            amps = std::min(amps, *session.Maxima().current);
        StartPulse(true, false, v, i, amps, kPulseSeconds);
    }

    void StartPulse(bool measure, bool isStep, double v1, double i1, double i2, double seconds)
    {
        pulse = {};
        pulse.measure = measure;
        pulse.isStep = isStep;
        pulse.v1 = v1;
        pulse.i1 = i1;
        pulse.i2 = i2;
        pulse.seconds = seconds;
        pulse.beganMs = Now();
        if (measure) {
            const std::optional<double> maximum = session.Maxima().current;
            if (maximum && i2 > *maximum) {
                pulse.active = true;
                FinishPulse(
                    QStringLiteral("the pulse of %1 A is above the instrument's current limit of %2 A")
                        .arg(PlainNumber(i2), PlainNumber(*maximum)),
                    0, 0);
                return;
            }
            if (i2 <= i1 * 1.1) {
                pulse.active = true;
                FinishPulse(QStringLiteral("the pulse of %1 A is not above the base current of %2 A")
                                .arg(PlainNumber(i2), PlainNumber(i1)),
                    0, 0);
                return;
            }
        }
        pulse.active = true;
        SetLevel({ QStringLiteral("cc"), QStringLiteral("load:curr ") + PlainNumber(i2), true });
        pulse.gen = levelGen;
    }

    // Readings under the pulse: V2 is the first whose poll left the pulse time after the
    // pulse's current was set.
    void PulseReading(qint64 t, double v, double i, int gen)
    {
        if (!pulse.measure || gen != pulse.gen || levelGen != pulse.gen || levelSetMs < 0)
            return;
        if (double(t - levelSetMs) < pulse.seconds * 1000.0 - 1) {
            pulse.early = true;
            return;
        }
        QString failure;
        if (std::fabs(i - pulse.i2) > std::max(kPulseShare * pulse.i2, kPulseAmps))
            failure = QStringLiteral("the pulse did not reach %1 A (%2 A read)")
                          .arg(PlainNumber(pulse.i2), PlainNumber(i));
        else if (v >= pulse.v1)
            failure = QStringLiteral("the voltage did not fall under the pulse (V1 %1 V, V2 %2 V)")
                          .arg(PlainNumber(pulse.v1), PlainNumber(v));
        FinishPulse(failure, v, i);
    }

    void PulseClock(qint64 now)
    {
        if (!pulse.active || pulse.gen != levelGen)
            return;
        const double due = pulse.seconds * 1000.0;
        if (levelSetMs >= 0 && now - levelSetMs >= due) {
            if (!pulse.measure) {
                FinishPulse({}, 0, 0);
                return;
            }
            if (!pulse.polled) {
                pulse.polled = true;
                session.PollTick(); // V2 as soon after the pulse time as the line allows
            }
        }
        // The lines still pending, a poll's pacing and its answer.
        const qint64 allowance = 3 * std::max(pollMs, 300) + session.ReplyTimeout() + 2000
            + 300 * qint64(session.Pipeline().Pending().size());
        if (pulse.measure && now - pulse.beganMs > due + allowance)
            FinishPulse(pulse.early ? QStringLiteral("V2 read too early: no reading came %1 s into the pulse")
                                          .arg(PlainNumber(pulse.seconds))
                                    : QStringLiteral("no reading at the end of the pulse"),
                0, 0);
    }

    // Back to the step's level; a measurement is reported, good or failed.
    void FinishPulse(const QString& failure, double v2, double i2)
    {
        const Pulse p = pulse;
        pulse = {};
        if (p.gen >= 0 && phase == Phase::Steps && !ending)
            SetLevel(base);
        if (p.measure)
            Report(p, failure, v2, i2);
        if (p.isStep && phase == Phase::Steps && !ending)
            NextStep();
    }

    void Report(const Pulse& p, const QString& failure, double v2, double i2)
    {
        ResistanceMeasurement m;
        m.seconds = RunSeconds(Now());
        m.capacityAh = ah;
        m.v1 = p.v1;
        m.i1 = p.i1;
        m.v2 = v2;
        m.i2 = i2;
        m.stepNumber = stepNumber;
        m.failure = failure;
        if (failure.isEmpty())
            m.milliOhm = (p.v1 - v2) / (i2 - p.i1) * 1000.0;
        resistances.push_back(m);
        if (auto handler = run.OnResistance)
            handler(m);
    }

    // ---- the clock

    void Tick()
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
                EndStep(c, ValueText(c.kind, elapsed));
                return;
            }
        }
    }

    // ---- the end

    void End(ProfileOutcome outcome, QString message)
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
                : QStringLiteral(
                    "; \"load off\" and the backstop's restore (%1) go out first when a port opens "
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
};

ProfileRun::ProfileRun(InstrumentSession& session, QObject* parent)
    : QObject(parent)
    , F(std::make_unique<State>(*this, session))
{
    F->tick = new QTimer(this);
    F->tick->setInterval(kTickMs);
    connect(F->tick, &QTimer::timeout, this, [this] { F->Tick(); });
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
