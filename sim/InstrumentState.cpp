// How the instrument's state moves: the input, the mode and the triggers, simulated
// time, and the readings and "fetch?" replies it gives along the way.
#include "sim/InstrumentModel.h"

#include "sim/ReplyFormat.h"

#include <algorithm>
#include <cmath>

namespace {

Regulation StepRegulation(StepMode mode)
{
    switch (mode) {
    case StepMode::CC:
        return Regulation::Current;
    case StepMode::CV:
        return Regulation::Voltage;
    case StepMode::CP:
        return Regulation::Power;
    case StepMode::CR:
        return Regulation::Resistance;
    case StepMode::Short:
        return Regulation::Short;
    case StepMode::Open:
        break;
    }
    return Regulation::Open;
}

} // namespace

void InstrumentModel::SwitchInput(bool on)
{
    if (on == inputOn_)
        return;
    inputOn_ = on;
    if (on) {
        inputOnAt_ = clock_;
        pulseEndsAt_ = -std::numeric_limits<double>::infinity();
        // Each switch-on starts a new discharge of the same battery.
        dischargeSeconds_ = 0;
        dischargeAh_ = 0;
        if (settings_.mode == LoadMode::Battery && BatteryAtCutoff(battery_))
            inputOn_ = false;
        if (settings_.mode == LoadMode::List)
            list_.Start();
    } else if (list_.CurrentPhase() == ListRun::Phase::Running) {
        list_.Reset(); // an interrupted list has no verdict
    }
}

void InstrumentModel::ChangeMode(LoadMode mode)
{
    settings_.mode = mode;
    tranToggled_ = false;
    list_.Reset();
}

void InstrumentModel::ApplySettings(const InstrumentSettings& settings)
{
    settings_ = settings;
    ChangeMode(settings.mode);
}

void InstrumentModel::Triggered()
{
    // Only a bus trigger comes from the computer; the program selects it when it connects.
    if (triggerSource_ != TriggerSource::Bus || !inputOn_)
        return;
    if (settings_.mode == LoadMode::Transient) {
        if (settings_.tranTrigMode == TranTrigMode::Pulse)
            pulseEndsAt_ = clock_ + settings_.tranB.widthMs / 1000.0;
        else if (settings_.tranTrigMode == TranTrigMode::Triggered)
            tranToggled_ = !tranToggled_;
    } else if (settings_.mode == LoadMode::List && settings_.listTriggered) {
        list_.Trigger(settings_, [this](const ListStep& step) { return StepReading(step); });
        if (list_.CurrentPhase() == ListRun::Phase::Finished && !settings_.listRepeat)
            inputOn_ = false;
    }
}

void InstrumentModel::Advance(double seconds)
{
    if (!(seconds > 0))
        return;
    if (inputOn_ && settings_.mode == LoadMode::Battery)
        AdvanceBattery(seconds);
    else if (inputOn_ && wiring_ == CellWiring::EveryMode) {
        AdvanceOnCell(seconds);
        return; // the clock has moved with the slices
    } else
        AdvanceList(seconds);
    clock_ += seconds;
}

void InstrumentModel::AdvanceList(double seconds)
{
    if (inputOn_ && settings_.mode == LoadMode::List && !settings_.listTriggered) {
        list_.Advance(seconds, settings_, [this](const ListStep& step) { return StepReading(step); });
        if (list_.CurrentPhase() == ListRun::Phase::Finished && !settings_.listRepeat)
            inputOn_ = false;
    }
}

void InstrumentModel::AdvanceOnCell(double seconds)
{
    // One-second slices, each drawing the current of its middle: the current follows the
    // cell's voltage as it falls (CV, CP, CR), and list steps and transient levels change
    // what is drawn on the way. A current that cannot change any more takes the rest at once.
    while (seconds > 0) {
        const double slice = std::min(seconds, 1.0);
        const double amps = inputOn_ ? Reading().amps : 0.0;
        const bool steady = settings_.mode != LoadMode::List && settings_.mode != LoadMode::Transient;
        if (amps <= 0 && (steady || !inputOn_)) {
            AdvanceList(seconds);
            clock_ += seconds;
            return;
        }
        const BatteryCell start = battery_;
        battery_.Draw(amps, slice / 2);
        const double middleAmps = Reading().amps;
        battery_ = start;
        battery_.Draw(middleAmps, slice);
        AdvanceList(slice);
        clock_ += slice;
        seconds -= slice;
    }
}

void InstrumentModel::AdvanceBattery(double seconds)
{
    // One-second slices keep the drawn charge exact when a power limit lets the current
    // drift with the voltage; the slice that crosses the cut-off is narrowed down so the
    // reported time and capacity are those of the crossing, whatever the time scale.
    while (seconds > 0 && inputOn_) {
        const double slice = std::min(seconds, 1.0);
        const double amps = BatteryReading(battery_).amps;
        if (amps <= 0) {
            dischargeSeconds_ += seconds;
            return;
        }
        BatteryCell after = battery_;
        after.Draw(amps, slice);
        double spent = slice;
        if (BatteryAtCutoff(after)) {
            double early = 0;
            for (int i = 0; i < 40; ++i) {
                const double mid = (early + spent) / 2;
                BatteryCell trial = battery_;
                trial.Draw(amps, mid);
                (BatteryAtCutoff(trial) ? spent : early) = mid;
            }
            after = battery_;
            after.Draw(amps, spent);
            inputOn_ = false;
        }
        battery_ = after;
        dischargeSeconds_ += spent;
        dischargeAh_ += amps * spent / 3600.0;
        seconds -= slice;
    }
}

bool InstrumentModel::BatteryAtCutoff(const BatteryCell& cell) const
{
    return BatteryReading(cell).volts <= settings_.batteryCutoffVolts;
}

LoadLimits InstrumentModel::Limits() const
{
    return { settings_.currentMax, settings_.powerMax, settings_.onVolts };
}

double InstrumentModel::SenseOhm(double sourceOhm) const
{
    return sourceOhm + (settings_.remoteSense ? 0.0 : kLeadOhm);
}

Source InstrumentModel::BenchSource() const
{
    return { kBenchVolts, SenseOhm(kBenchOhm) };
}

Source InstrumentModel::Supply() const
{
    if (wiring_ == CellWiring::EveryMode)
        return { battery_.OpenCircuitVolts(), SenseOhm(battery_.InternalOhm()) };
    return BenchSource();
}

OperatingPoint InstrumentModel::BatteryReading(const BatteryCell& cell) const
{
    const Source source { cell.OpenCircuitVolts(), SenseOhm(cell.InternalOhm()) };
    return SolveLoad(source, Regulation::Current, settings_.batteryCurrent, Limits());
}

OperatingPoint InstrumentModel::StepReading(const ListStep& step) const
{
    return SolveLoad(Supply(), StepRegulation(step.mode), step.level, Limits());
}

const TranLevel& InstrumentModel::ActiveTranLevel() const
{
    const InstrumentSettings& s = settings_;
    switch (s.tranTrigMode) {
    case TranTrigMode::Continuous: {
        const double periodMs = s.tranA.widthMs + s.tranB.widthMs;
        if (periodMs <= 0)
            return s.tranA;
        return std::fmod((clock_ - inputOnAt_) * 1000.0, periodMs) < s.tranA.widthMs ? s.tranA : s.tranB;
    }
    case TranTrigMode::Pulse:
        return clock_ < pulseEndsAt_ ? s.tranB : s.tranA;
    case TranTrigMode::Triggered:
        break;
    }
    return tranToggled_ ? s.tranB : s.tranA;
}

OperatingPoint InstrumentModel::Reading() const
{
    const InstrumentSettings& s = settings_;
    if (s.mode == LoadMode::Battery)
        return inputOn_ ? BatteryReading(battery_) : OperatingPoint { battery_.OpenCircuitVolts(), 0 };
    const Source bench = Supply();
    if (!inputOn_)
        return { bench.openVolts, 0 };
    switch (s.mode) {
    case LoadMode::CC:
        return SolveLoad(bench, Regulation::Current, s.currentSet, Limits());
    case LoadMode::CV:
        return SolveLoad(bench, Regulation::Voltage, s.voltageSet, Limits());
    case LoadMode::CP:
        return SolveLoad(bench, Regulation::Power, s.powerSet, Limits());
    case LoadMode::CR:
        return SolveLoad(bench, Regulation::Resistance, s.resistanceSet, Limits());
    case LoadMode::Short:
        return SolveLoad(bench, Regulation::Short, 0, Limits());
    case LoadMode::Transient: {
        const Regulation r = s.tranLevelMode == TranLevelMode::CC ? Regulation::Current : Regulation::Voltage;
        return SolveLoad(bench, r, ActiveTranLevel().level, Limits());
    }
    case LoadMode::List:
        if (list_.CurrentPhase() == ListRun::Phase::Idle)
            return { bench.openVolts, 0 };
        return StepReading(s.steps[list_.Step()]);
    case LoadMode::Battery:
        break;
    }
    return { bench.openVolts, 0 };
}

std::string InstrumentModel::FetchReply()
{
    if (settings_.mode == LoadMode::List)
        return ListFetchReply();
    const OperatingPoint r = Reading();
    if (settings_.mode == LoadMode::Battery) {
        const long long seconds = static_cast<long long>(std::floor(dischargeSeconds_ + 1e-9));
        return Fmt5(r.volts) + " V," + Fmt5(r.amps) + " A," + std::to_string(seconds) + "s,"
            + Fmt5(dischargeAh_) + "Ah";
    }
    return Fmt5(r.volts) + "V," + Fmt5(r.amps) + "A," + Fmt5(r.Watts()) + "W";
}

std::string InstrumentModel::ListFetchReply()
{
    switch (list_.CurrentPhase()) {
    case ListRun::Phase::Idle:
        return "L1:0";
    case ListRun::Phase::Running: {
        const OperatingPoint r = Reading();
        const int step = list_.Step();
        // Steps 10 to 14 take the separator's place with their tens digit.
        const std::string number = step < 10 ? ":" + std::to_string(step) : std::to_string(step);
        return "L2" + number + "," + Fmt5(r.volts) + " V," + Fmt5(r.amps) + "A,";
    }
    case ListRun::Phase::Finished:
        break;
    }
    std::string report = list_.Report();
    // With repeat the instrument holds at the end until its report has been read once.
    if (settings_.listRepeat && inputOn_)
        list_.Start();
    return report;
}
