#include "sim/ListRun.h"

#include <algorithm>
#include <cmath>

int JudgeStep(const ListStep& step, const OperatingPoint& reading)
{
    double value = 0;
    switch (step.compare) {
    case CompareKind::Off:
        return 0;
    case CompareKind::Current:
        value = reading.amps;
        break;
    case CompareKind::Voltage:
        value = reading.volts;
        break;
    case CompareKind::Power:
        value = reading.Watts();
        break;
    }
    // A regulated 12 V computes as 11.999999...; the instrument judges what it displays.
    value = std::round(value * 1000.0) / 1000.0;
    return value >= step.low && value <= step.high ? 1 : 2;
}

void ListRun::Reset()
{
    phase_ = Phase::Idle;
    step_ = 0;
    dwelt_ = 0;
    verdicts_.clear();
    report_.clear();
}

void ListRun::Start()
{
    Reset();
    phase_ = Phase::Running;
}

void ListRun::Advance(double seconds, const InstrumentSettings& settings, const Measure& measure)
{
    while (phase_ == Phase::Running) {
        const double remaining = std::max(settings.steps[step_].dwellSeconds - dwelt_, 0.0);
        if (seconds < remaining) {
            dwelt_ += seconds;
            return;
        }
        seconds -= remaining;
        FinishStep(settings, measure);
    }
}

void ListRun::Trigger(const InstrumentSettings& settings, const Measure& measure)
{
    if (phase_ == Phase::Running)
        FinishStep(settings, measure);
}

void ListRun::FinishStep(const InstrumentSettings& settings, const Measure& measure)
{
    verdicts_.push_back(JudgeStep(settings.steps[step_], measure(settings.steps[step_])));
    // The last step may have been lowered below the step in progress while running.
    const int last = std::clamp(settings.listLastStep, 0, kListSteps - 1);
    if (step_ < last) {
        ++step_;
        dwelt_ = 0;
        return;
    }
    const bool anyFail = std::find(verdicts_.begin(), verdicts_.end(), 2) != verdicts_.end();
    const bool anyPass = std::find(verdicts_.begin(), verdicts_.end(), 1) != verdicts_.end();
    report_ = "L3:" + std::to_string(anyFail ? 2 : anyPass ? 1 : 0);
    for (int v : verdicts_)
        report_ += "," + std::to_string(v);
    phase_ = Phase::Finished;
}
