#pragma once
// The three layouts of the measurement reply ("fetch?"), one per instrument mode. Every
// field that becomes a reading is checked: a number as the instrument writes it (an
// optional minus, digits with at most one "."; no minus in the battery layout), and in the
// battery layout each field by its unit, so a reply cut short by a pause is told from a
// whole one. A trailing CR/LF is no part of any field.
#include <QString>
#include <stdexcept>

// A reply that is not the reading it should be; what() names the field and quotes the
// reply. CutShort(): the reply ends before its last field (the rest may follow).
class EBadReading : public std::runtime_error
{
public:
    EBadReading(const std::string& message, bool cutShort)
        : std::runtime_error(message)
        , FCutShort(cutShort)
    { }
    bool CutShort() const { return FCutShort; }

private:
    bool FCutShort;
};

// The reply as the operator may read it in a message: quoted, control bytes written
// \xNN, at most 80 characters of it.
QString QuotedReply(const QString& reply);

// Normal layout: voltage in the first 5 characters, current in the 5 after the first comma.
struct MainReading
{
    QString voltage;
    QString current;
    double voltageValue = 0;
    double currentValue = 0;
};
// Throws EBadReading when either field is no number or the reply holds no current (no
// comma, or nothing after it); cut short when it ends right after its voltage ("11.94V",
// "11.94V,").
MainReading CutMainReading(const QString& reply);
// The product, shortest notation cut to 5 characters ("13.70", "0.000").
QString PowerText(const MainReading& reading);

// Battery layout: four fields separated by commas, each a number, at most one blank and its
// unit: voltage "V", current "A", whole seconds "s", ampere-hours "Ah" ("12.55 V,0.300 A,
// 125s,0.010Ah"). Numbers may have any number of digits; the texts are the numbers alone.
struct BatteryReading
{
    QString voltage;
    QString current;
    QString time;
    QString capacity;
    double voltageValue = 0;
    double currentValue = 0;
    int seconds = 0;
    double capacityValue = 0;
};
// Throws EBadReading: cut short when the reply ends before a field or its unit is whole;
// otherwise when a field is not written with its own unit (also "300mA"), the time is no
// whole number of seconds from 0 to 2e9, or more fields follow the capacity.
BatteryReading CutBatteryReading(const QString& reply);

// "L2" step reading: step number, voltage, current.
struct StepReading
{
    QString step;
    int stepIndex = 0;
    QString voltage;
    QString current;
};
// Throws EBadReading when the step is no whole number or a reading no number.
StepReading CutStepReading(const QString& reply);

// "L3" list verdict: one digit for the whole list, then one per step.
int ListVerdict(const QString& reply); // throws EConvertError
QString StepVerdict(const QString& reply, int step); // the digit, or empty when missing
