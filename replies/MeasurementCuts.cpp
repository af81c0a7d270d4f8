#include "replies/MeasurementCuts.h"

#include "replies/Numbers.h"
#include "replies/TextCuts.h"

#include <cmath>
#include <optional>

namespace {

constexpr int kQuotedLength = 80;

// An optional minus, then digits with at most one "." and at least one digit.
std::optional<double> ReadingNumber(const QString& text)
{
    if (!IsPlainDecimal(QStringView(text).sliced(text.startsWith(u'-') ? 1 : 0)))
        return std::nullopt;
    const double value = text.toDouble();
    return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

[[noreturn]] void Refuse(const char* reading, const char* field, const QString& reply, bool cutShort = false)
{
    const QString message = cutShort ? QStringLiteral("The %1 reading %2 was cut short before its %3.")
                                     : QStringLiteral("The %1 reading %2 holds no valid %3.");
    throw EBadReading(
        message.arg(QLatin1String(reading), QuotedReply(reply), QLatin1String(field)).toStdString(),
        cutShort);
}

double Number(const QString& text, const char* reading, const char* field, const QString& reply)
{
    const std::optional<double> value = ReadingNumber(text);
    if (!value)
        Refuse(reading, field, reply);
    return *value;
}

// A field of the battery layout and the unit behind it: the text before the next comma
// (everything left for the last field), and what remains after that comma.
struct Field
{
    QString value;
    QString rest;
};

// `unitLength` characters before the comma carry `unit`; the value is what precedes them.
// A reply that ends before the comma was cut short.
Field UnitField(const QString& text, int unitLength, QChar unit, const char* name, const QString& reply)
{
    const qsizetype comma = text.indexOf(u',');
    if (comma < 0)
        Refuse("battery", name, reply, true);
    const QString withUnit = text.left(comma);
    if (!withUnit.right(unitLength).contains(unit))
        Refuse("battery", name, reply);
    return { withUnit.left(withUnit.size() - unitLength), text.mid(comma + 1) };
}

} // namespace

QString QuotedReply(const QString& reply)
{
    QString shown;
    for (const QChar c : reply.left(kQuotedLength)) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            shown
                += QStringLiteral("\\x") + QString::number(c.unicode(), 16).toUpper().rightJustified(2, u'0');
        else
            shown += c;
    }
    if (reply.size() > kQuotedLength)
        shown += QStringLiteral("…");
    return u'"' + shown + u'"';
}

MainReading CutMainReading(const QString& reply)
{
    MainReading r;
    r.voltage = FirstChars(reply, 5);
    r.current = reply.contains(u',') ? FirstChars(RestAfterComma(reply), 5) : FirstChars(reply, 5);
    r.voltageValue = Number(r.voltage, "Main page", "voltage", reply);
    r.currentValue = Number(r.current, "Main page", "current", reply);
    return r;
}

QString PowerText(const MainReading& reading)
{
    QString text = FirstChars(FloatToStr(reading.voltageValue * reading.currentValue), 5);
    return text == u"0" ? QStringLiteral("0.000") : text;
}

BatteryReading CutBatteryReading(const QString& reply)
{
    BatteryReading r;
    const Field voltage = UnitField(reply, 2, u'V', "voltage", reply);
    const Field current = UnitField(voltage.rest, 2, u'A', "current", reply);
    const Field time = UnitField(current.rest, 1, u's', "time", reply);
    if (time.rest.mid(5, 2) != u"Ah")
        Refuse("battery", "capacity", reply, time.rest.size() < 7);
    r.voltage = voltage.value;
    r.current = current.value;
    r.time = time.value;
    r.capacity = FirstChars(time.rest, 5);
    r.voltageValue = Number(r.voltage, "battery", "voltage", reply);
    r.currentValue = Number(r.current, "battery", "current", reply);
    const double seconds = Number(r.time, "battery", "time", reply);
    if (seconds < 0 || seconds != std::floor(seconds) || seconds > 2e9 || r.time.contains(u'.'))
        Refuse("battery", "time", reply);
    r.seconds = static_cast<int>(seconds);
    r.capacityValue = Number(r.capacity, "battery", "capacity", reply);
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
    bool whole = false;
    r.stepIndex = r.step.toInt(&whole);
    if (!whole || r.step.startsWith(u'-') || r.step.startsWith(u'+'))
        Refuse("list step", "step number", reply);
    const QString afterStep = RestAfterComma(reply);
    r.voltage = FieldBeforeComma(afterStep, 2);
    r.current = FieldBeforeComma(RestAfterComma(afterStep), 1);
    Number(r.voltage, "list step", "voltage", reply);
    Number(r.current, "list step", "current", reply);
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
