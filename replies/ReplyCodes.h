#pragma once
// How the answer to a command is to be read. Every command travels with one of these; only
// queries carry a code other than None.

// The numbers are the ones the command pipeline has always used; they appear nowhere else.
enum class ReplyCode {
    None = 0, // no answer awaited
    Verbatim = 1, // a command typed by hand: its answer is passed on as it comes
    // "*idn?": maker, model, serial number and version. Not every instrument answers it, and
    // one that does not is no fault: its silence is not counted or told (see IsOptionalAnswer).
    Identity = 2,
    Measurement = 4, // "fetch?"
    CurrentSetPoint = 72,
    VoltageSetPoint = 73,
    PowerSetPoint = 74,
    ResistanceSetPoint = 75,
    Sense = 80,
    CurrentLimit = 81,
    VoltageLimit = 82,
    PowerLimit = 83,
    OnVoltage = 84,
    OffVoltage = 85,
    AutoOffDelay = 86,
    BatteryCurrent = 91,
    BatteryCutOff = 92,
    TransientLoad = 101,
    TransientMode = 102,
    TransientLevelA = 103,
    TransientLevelB = 104,
    ListSteps = 111,
    ListStepMode = 112,
    ListRepeat = 113,
    StepLevelFirst = 129, // level and delay of step 0; step n is StepLevelFirst + n
    StepCompareFirst = 144, // comparison of step 0; step n is StepCompareFirst + n
};

// Fifteen list steps, 0 to 14, each with a level and a comparison code.
inline constexpr int kReadBackSteps = 15;

ReplyCode StepLevelCode(int step);
ReplyCode StepCompareCode(int step);

// The code's number, for traces and messages.
int CodeNumber(ReplyCode code);

// A query an instrument may leave unanswered without anything being wrong.
bool IsOptionalAnswer(ReplyCode code);
