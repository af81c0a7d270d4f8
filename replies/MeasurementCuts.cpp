#include "replies/MeasurementCuts.h"

#include "replies/Numbers.h"
#include "replies/TextCuts.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

constexpr int kQuotedLength = 80;

// The reply without the line terminator the instrument may add.
QStringView WithoutTerminators(const QString& reply)
{
    QStringView text(reply);
    while (text.endsWith(u'\r') || text.endsWith(u'\n'))
        text.chop(1);
    return text;
}

// An optional minus, then digits with at most one "." and at least one digit.
std::optional<double> ReadingNumber(QStringView text)
{
    if (!IsPlainDecimal(text.sliced(text.startsWith(u'-') ? 1 : 0)))
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

// Nothing but a voltage as the Main page layout writes it: "11.94V", "11.94 V" or "11.94".
bool IsVoltageOnly(QStringView text)
{
    if (text.endsWith(u'V'))
        text.chop(1);
    if (text.endsWith(u' '))
        text.chop(1);
    return ReadingNumber(text).has_value();
}

// One field of the battery layout: a number, at most one blank, then its unit.
struct UnitField
{
    const char* name;
    QLatin1String unit;
    bool whole; // whole number only
};

constexpr UnitField kBatteryFields[] = {
    { "voltage", QLatin1String("V"), false },
    { "current", QLatin1String("A"), false },
    { "time", QLatin1String("s"), true },
    { "capacity", QLatin1String("Ah"), false },
};

bool IsWholeNumber(QStringView text)
{
    return !text.isEmpty()
        && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// The number of a whole field, or nothing when the field is not written as `f` is.
// The unit is matched whole and in its case: "300mA" is no current of 300 A.
std::optional<QStringView> NumberBeforeUnit(QStringView text, const UnitField& f)
{
    if (!text.endsWith(f.unit))
        return std::nullopt;
    QStringView number = text.chopped(f.unit.size());
    if (number.endsWith(u' '))
        number.chop(1);
    if (f.whole ? !IsWholeNumber(number) : !IsPlainDecimal(number))
        return std::nullopt;
    return number;
}

// Whether the text could still become field `f` once the rest of the reply arrives: a
// pause may split the reply anywhere, also inside a number or its unit.
bool BeginsField(QStringView text, const UnitField& f)
{
    qsizetype digits = 0;
    bool point = false;
    for (; digits < text.size(); ++digits) {
        const QChar c = text[digits];
        if (c == u'.' && !f.whole && !point)
            point = true;
        else if (c < u'0' || c > u'9')
            break;
    }
    QStringView rest = text.sliced(digits);
    if (digits == 0)
        return rest.isEmpty();
    if (rest.startsWith(u' '))
        rest = rest.sliced(1);
    return f.unit.startsWith(rest);
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
    r.voltageValue = Number(r.voltage, "Main page", "voltage", reply);
    // Without its current the reply is no reading; reading the voltage twice would show
    // a current the instrument never reported.
    const QStringView text = WithoutTerminators(reply);
    const qsizetype comma = text.indexOf(u',');
    if (comma < 0 || comma == text.size() - 1) {
        const bool cutShort = IsVoltageOnly(text.left(comma < 0 ? text.size() : comma));
        const QString message = cutShort
            ? QStringLiteral("The Main page reading %1 was cut short before its current.")
            : QStringLiteral("The Main page reading %1 holds no current.");
        throw EBadReading(message.arg(QuotedReply(reply)).toStdString(), cutShort);
    }
    // The instrument writes its current in five characters: a shorter one at the very end
    // was cut short by a pause and may be missing its last digits.
    const QStringView current = text.sliced(comma + 1);
    if (current.size() < 5 && IsPlainDecimal(current))
        throw EBadReading(QStringLiteral("The Main page reading %1 was cut short inside its current.")
                              .arg(QuotedReply(reply))
                              .toStdString(),
            true);
    r.current = FirstChars(RestAfterComma(reply), 5);
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
    // Each field is read by its unit, not by its width: the instrument writes as many
    // digits as the number needs.
    QStringView text = WithoutTerminators(reply);
    QStringView numbers[std::size(kBatteryFields)];
    for (std::size_t i = 0; i < std::size(kBatteryFields); ++i) {
        const UnitField& f = kBatteryFields[i];
        const bool last = i + 1 == std::size(kBatteryFields);
        const qsizetype comma = text.indexOf(u',');
        const QStringView field = comma < 0 ? text : text.left(comma);
        const std::optional<QStringView> number = NumberBeforeUnit(field, f);
        if (!number)
            Refuse("battery", f.name, reply, comma < 0 && BeginsField(field, f));
        if (comma < 0 && !last)
            Refuse("battery", kBatteryFields[i + 1].name, reply, true);
        if (comma >= 0 && last)
            throw EBadReading(QStringLiteral("The battery reading %1 holds more than its four fields.")
                                  .arg(QuotedReply(reply))
                                  .toStdString(),
                false);
        numbers[i] = *number;
        text = text.sliced(comma + 1);
    }
    BatteryReading r;
    r.voltage = numbers[0].toString();
    r.current = numbers[1].toString();
    r.time = numbers[2].toString();
    r.capacity = numbers[3].toString();
    r.voltageValue = Number(r.voltage, "battery", "voltage", reply);
    r.currentValue = Number(r.current, "battery", "current", reply);
    const double seconds = Number(r.time, "battery", "time", reply);
    if (seconds > 2e9)
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
