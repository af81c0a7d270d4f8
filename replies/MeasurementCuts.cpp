#include "replies/MeasurementCuts.h"

#include "replies/Numbers.h"
#include "replies/TextCuts.h"

MainReading CutMainReading(const QString& reply)
{
    MainReading r;
    r.voltage = FirstChars(reply, 5);
    r.current = reply.contains(u',') ? FirstChars(RestAfterComma(reply), 5) : FirstChars(reply, 5);
    return r;
}

QString PowerText(const QString& voltage, const QString& current)
{
    const double power = StrToFloat(voltage) * StrToFloat(current);
    QString text = FirstChars(FloatToStr(power), 5);
    return text == u"0" ? QStringLiteral("0.000") : text;
}

BatteryReading CutBatteryReading(const QString& reply)
{
    BatteryReading r;
    const QString voltage = FieldBeforeComma(reply, 2);
    r.voltageValue = StrToFloat(voltage);
    r.voltage = voltage;
    const QString afterVoltage = RestAfterComma(reply);
    r.current = FieldBeforeComma(afterVoltage, 2);
    const QString afterCurrent = RestAfterComma(afterVoltage);
    r.time = FieldBeforeComma(afterCurrent, 1);
    r.capacity = FirstChars(RestAfterComma(afterCurrent), 5);
    return r;
}

StepReading CutStepReading(const QString& reply)
{
    StepReading r;
    // Steps 10 to 14 need two digits: the instrument then puts the tens digit in the
    // third place, which a single-digit report leaves as a separator.
    const QString third = CopyText(reply, 3, 1);
    const bool twoDigits = third.size() == 1 && third[0].isDigit();
    r.step = twoDigits ? CopyText(reply, 3, 2) : CopyText(reply, 4, 1);
    r.stepIndex = StrToInt(r.step);
    const QString afterStep = RestAfterComma(reply);
    r.voltage = FieldBeforeComma(afterStep, 2);
    r.current = FieldBeforeComma(RestAfterComma(afterStep), 1);
    return r;
}

int ListVerdict(const QString& reply)
{
    return StrToInt(CopyText(reply, 4, 1));
}

QString StepVerdict(const QString& reply, int step)
{
    return CopyText(reply, 6 + 2 * step, 1);
}
