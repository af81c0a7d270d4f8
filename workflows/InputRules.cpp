#include "workflows/InputRules.h"

#include "link/InstrumentSession.h"
#include "replies/Numbers.h"
#include "workflows/OperatorMessages.h"

#include <algorithm>

namespace {
constexpr char16_t kBackspace = 8;
constexpr char16_t kCarriageReturn = 13;

bool IsDigit(QChar key)
{
    return key >= u'0' && key <= u'9';
}
} // namespace

bool IsWholeNumberKey(QChar key)
{
    return IsDigit(key) || key == kBackspace || key == kCarriageReturn;
}

bool IsDecimalKey(QChar key)
{
    return IsWholeNumberKey(key) || key == u'.';
}

QChar DecimalPoint(QChar key)
{
    return key == u',' ? QChar(u'.') : key;
}

QString WithDecimalPoints(const QString& text)
{
    QString points = text;
    points.replace(u',', u'.');
    return points;
}

bool PortIsOpen(const InstrumentSession& session, IOperatorMessages& messages)
{
    if (session.Port() == PortState::Open)
        return true;
    messages.Tell(kConnectFirstMessage);
    return false;
}

QString FieldMessage(const QString& field, const QString& message)
{
    if (field.isEmpty() || message.isEmpty())
        return message;
    // The message goes on as the rest of a sentence.
    return field + QStringLiteral(": ") + message.front().toLower() + message.mid(1);
}

QString RangeMessage(float value, float maximum, const QString& field)
{
    return FieldMessage(field,
        "The input value " + FormatRangeValue(value) + " exceeds the maximum of " + FormatRangeValue(maximum)
            + "!");
}

bool RefuseEmpty(const QString& text, IOperatorMessages& messages, const QString& field)
{
    if (!text.isEmpty())
        return false;
    messages.Tell(FieldMessage(field, kEmptyInputMessage));
    return true;
}

int dataRuleCheck(float value, float maximum, IOperatorMessages& messages, const QString& field)
{
    // Equal is allowed: the maximum is the instrument's own limit, which it accepts.
    if (value > maximum) {
        messages.Tell(RangeMessage(value, maximum, field));
        return 1;
    }
    return 2;
}

int LimitCheck(double value, std::optional<double> maximum, IOperatorMessages& messages, const QString& field)
{
    if (!maximum) {
        messages.Tell(FieldMessage(field, kLimitsUnknownMessage));
        return 1;
    }
    return dataRuleCheck(static_cast<float>(value), static_cast<float>(*maximum), messages, field);
}

std::optional<double> PlainDecimal(const QString& text)
{
    if (!IsPlainDecimal(text))
        return std::nullopt;
    return StrToFloat(text);
}

std::optional<int> PlainWhole(const QString& text, int lowest, int highest)
{
    if (text.isEmpty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), IsDigit))
        return std::nullopt;
    const int value = text.toInt();
    if (value < lowest || value > highest)
        return std::nullopt;
    return value;
}

std::optional<double> DecimalEntry(const QString& text, const QString& field, IOperatorMessages& messages)
{
    if (RefuseEmpty(text, messages, field))
        return std::nullopt;
    const std::optional<double> value = PlainDecimal(text);
    if (!value)
        messages.Tell(FieldMessage(field, QStringLiteral("Input data must be a number such as 12.5!")));
    return value;
}

std::optional<int> WholeEntry(
    const QString& text, const QString& field, int lowest, int highest, IOperatorMessages& messages)
{
    if (RefuseEmpty(text, messages, field))
        return std::nullopt;
    const std::optional<int> value = PlainWhole(text, lowest, highest);
    if (!value)
        messages.Tell(FieldMessage(field,
            QStringLiteral("Input data must be a whole number from %1 to %2!").arg(lowest).arg(highest)));
    return value;
}
