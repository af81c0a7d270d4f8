// The walk through a profile's steps: the load's level on the wire, the readings and what
// they end, and the pulses that read the resistance.
#include "workflows/ProfileRunState.h"
#include "workflows/ProfileRunText.h"

#include <cmath>

namespace {

// A pulse counts when the current measured under it is this close to the one set.
constexpr double kPulseShare = 0.03;
constexpr double kPulseAmps = 0.005;
// A discharge whose current reads below this share of what it should draw, twice in a row,
// has been switched off by the instrument itself (its under-voltage switch-off).
constexpr double kOffShare = 0.05;
constexpr int kOffReadings = 2;

const QString kPoll = QStringLiteral("fetch?");

ProfileLevel LevelOf(const ProfileStep& step)
{
    switch (step.kind) {
    case StepKind::DischargeCurrent:
        return { QStringLiteral("cc"), QStringLiteral("load:curr ") + ProfileNumber(step.setting), true };
    case StepKind::DischargePower:
        return { QStringLiteral("cp"), QStringLiteral("load:pow ") + ProfileNumber(step.setting), true };
    case StepKind::DischargeResistance:
        return { QStringLiteral("cr"), QStringLiteral("load:res ") + ProfileNumber(step.setting), true };
    case StepKind::HoldVoltage:
        return { QStringLiteral("cv"), QStringLiteral("load:volt ") + ProfileNumber(step.setting), true };
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

} // namespace

void ProfileRun::State::BeginSteps()
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

const ProfileStep* ProfileRun::State::Advance()
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

void ProfileRun::State::NextStep()
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
    nextDue = step->resistanceEverySeconds > 0 ? step->resistanceEverySeconds : step->resistanceEveryAmpHours;
    if (auto handler = run.OnStep)
        handler(ProfileStepInfoOf(*step, stepNumber, cycle));
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

QString ProfileRun::State::Totals(qint64 ms) const
{
    return QStringLiteral("%1 Ah, %2 Wh in %3")
        .arg(QString::number(ah, 'f', 3), QString::number(wh, 'f', 2), ProfileClockText(RunSeconds(ms)));
}

void ProfileRun::State::EndStep(const EndCondition& c, const QString& read)
{
    Status(QStringLiteral("Step %1 ended: %2 (%3)").arg(stepNumber).arg(ProfileEndText(c), read));
    NextStep();
}

void ProfileRun::State::SetLevel(const ProfileLevel& level)
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

void ProfileRun::State::Written(const QString& line)
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

void ProfileRun::State::Reading(const MainReading& r)
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

void ProfileRun::State::Integrate(qint64 t, double i, double p, int gen)
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

bool ProfileRun::State::LimitMet(const ProfileSample* s, qint64 now)
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
                    .arg(ProfileLimitText(c), ProfileValueText(c.kind, value))
                    .arg(stepNumber)
                    .arg(Totals(now)));
            return true;
        }
    }
    return false;
}

bool ProfileRun::State::JudgeStep(double v, double i, bool settled, qint64 now)
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
            EndStep(c, ProfileValueText(c.kind, value));
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
            *below, QStringLiteral("the instrument switched its input off at %1 V").arg(ProfileNumber(v)));
        return true;
    }
    End(ProfileOutcome::Failed,
        QStringLiteral("The instrument switched its input off by itself in step %1 (%2 V, %3 A read)")
            .arg(stepNumber)
            .arg(ProfileNumber(v), ProfileNumber(i)));
    return true;
}

void ProfileRun::State::MaybeMeasure(double v, double i, qint64 now)
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

void ProfileRun::State::StartPulse(bool measure, bool isStep, double v1, double i1, double i2, double seconds)
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
            FinishPulse(QStringLiteral("the pulse of %1 A is above the instrument's current limit of %2 A")
                            .arg(ProfileNumber(i2), ProfileNumber(*maximum)),
                0, 0);
            return;
        }
        if (i2 <= i1 * 1.1) {
            pulse.active = true;
            FinishPulse(QStringLiteral("the pulse of %1 A is not above the base current of %2 A")
                            .arg(ProfileNumber(i2), ProfileNumber(i1)),
                0, 0);
            return;
        }
    }
    pulse.active = true;
    SetLevel({ QStringLiteral("cc"), QStringLiteral("load:curr ") + ProfileNumber(i2), true });
    pulse.gen = levelGen;
}

void ProfileRun::State::PulseReading(qint64 t, double v, double i, int gen)
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
                      .arg(ProfileNumber(pulse.i2), ProfileNumber(i));
    else if (v >= pulse.v1)
        failure = QStringLiteral("the voltage did not fall under the pulse (V1 %1 V, V2 %2 V)")
                      .arg(ProfileNumber(pulse.v1), ProfileNumber(v));
    FinishPulse(failure, v, i);
}

void ProfileRun::State::PulseClock(qint64 now)
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
                                      .arg(ProfileNumber(pulse.seconds))
                                : QStringLiteral("no reading at the end of the pulse"),
            0, 0);
}

void ProfileRun::State::FinishPulse(const QString& failure, double v2, double i2)
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

void ProfileRun::State::Report(const Pulse& p, const QString& failure, double v2, double i2)
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
