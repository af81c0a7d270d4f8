#pragma once
// One run of the instrument's list: the step in progress, how long it has dwelt, and the
// verdict of every step judged so far. Steps are judged on the reading at their end.
#include "sim/InstrumentSettings.h"
#include "sim/LoadPhysics.h"

#include <functional>
#include <string>
#include <vector>

class ListRun
{
public:
    enum class Phase { Idle, Running, Finished };
    // The reading the load would show while the given step is in force.
    using Measure = std::function<OperatingPoint(const ListStep&)>;

    Phase CurrentPhase() const { return phase_; }
    int Step() const { return step_; }

    void Reset(); // no run and no report
    void Start(); // step 0, earlier verdicts forgotten
    // Automatic stepping: spends dwell time, judging and moving on as steps end.
    void Advance(double seconds, const InstrumentSettings& settings, const Measure& measure);
    // Trigger stepping: judges the step in progress and moves to the next one; at the
    // last step the run finishes.
    void Trigger(const InstrumentSettings& settings, const Measure& measure);

    // "L3:" + list verdict + one ",digit" per step; valid once Finished.
    const std::string& Report() const { return report_; }

private:
    void FinishStep(const InstrumentSettings& settings, const Measure& measure);

    Phase phase_ = Phase::Idle;
    int step_ = 0;
    double dwelt_ = 0;
    std::vector<int> verdicts_;
    std::string report_;
};

// 0 when the step compares nothing, 1 when the compared reading lies within the step's
// limits (readings judged at the instrument's resolution of 0.001), 2 otherwise.
int JudgeStep(const ListStep& step, const OperatingPoint& reading);
