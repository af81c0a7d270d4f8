#pragma once
// Everything the instrument keeps as a setting: what "mmem:save" stores and "mmem:load"
// restores. Power-up values look like a real instrument's and let the window's own
// defaults pass its range checks (limits 30 A, 150 V, 300 W against set-points of 10).
#include <array>

enum class LoadMode { CC, CV, CP, CR, Short, Transient, Battery, List };
enum class StepMode { CC, CV, CP, CR, Short, Open };
enum class CompareKind { Off, Current, Voltage, Power };
enum class TranLevelMode { CC, CV };
enum class TranTrigMode { Continuous, Pulse, Triggered };

struct TranLevel
{
    double level = 10.0;
    int widthMs = 10;
};

struct ListStep
{
    StepMode mode = StepMode::CC;
    double level = 0.2;
    double dwellSeconds = 5.0;
    CompareKind compare = CompareKind::Current;
    double low = 0.1;
    double high = 0.3;
};

inline constexpr int kListSteps = 15;

struct InstrumentSettings
{
    LoadMode mode = LoadMode::CC;
    double currentSet = 10.0;
    double voltageSet = 10.0;
    double powerSet = 10.0;
    double resistanceSet = 10.0;

    double currentMax = 30.0;
    double voltageMax = 150.0;
    double powerMax = 300.0;
    double onVolts = 0.0;
    double offVolts = 0.0;
    int autoOffSeconds = 0;
    bool remoteSense = false;

    TranLevelMode tranLevelMode = TranLevelMode::CC;
    TranTrigMode tranTrigMode = TranTrigMode::Continuous;
    TranLevel tranA;
    TranLevel tranB;

    double batteryCurrent = 0.3;
    double batteryCutoffVolts = 8.0;

    bool listTriggered = false; // "list:smod trig": one step per "trig"
    bool listRepeat = false;
    int listLastStep = 1; // "list:snum": index of the last step run
    std::array<ListStep, kListSteps> steps {};
};
