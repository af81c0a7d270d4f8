#pragma once
// The three layouts of the measurement reply ("fetch?"), one per instrument mode.
#include <QString>
#include <vector>

// Normal layout: voltage in the first 5 characters, current in the 5 after the first comma.
struct MainReading {
    QString voltage;
    QString current;
};
MainReading CutMainReading(const QString& reply);
// The product of both texts, shortest notation cut to 5 characters ("13.70", "0.000").
// Throws EConvertError when either text is not a number.
QString PowerText(const QString& voltage, const QString& current);

// Battery layout: voltage, current, whole seconds, ampere-hours, separated by commas.
struct BatteryReading {
    QString voltage;
    QString current;
    QString time;
    QString capacity;
    double voltageValue = 0;
};
// Throws EConvertError when the voltage is not a number (then nothing was cut).
BatteryReading CutBatteryReading(const QString& reply);

// "L2" step reading: step number, voltage, current.
struct StepReading {
    QString step;
    int stepIndex = 0;
    QString voltage;
    QString current;
};
// Throws EConvertError when the step number is not a whole number.
StepReading CutStepReading(const QString& reply);

// "L3" list verdict: one digit for the whole list, then one per step.
int ListVerdict(const QString& reply);                // throws EConvertError
QString StepVerdict(const QString& reply, int step);  // the digit, or empty when missing
