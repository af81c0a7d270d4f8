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

QString RangeMessage(float value, float maximum)
{
    return "The input value " + FormatRangeValue(value) + " exceeds the maximum of "
        + FormatRangeValue(maximum) + "!";
}

bool RefuseEmpty(const QString& text, IOperatorMessages& messages)
{
    if (!text.isEmpty())
        return false;
    messages.Tell(kEmptyInputMessage);
    return true;
}

int dataRuleCheck(float value, float maximum, IOperatorMessages& messages)
{
    // Equal is allowed: the maximum is the instrument's own limit, which it accepts.
    if (value > maximum) {
        messages.Tell(RangeMessage(value, maximum));
        return 1;
    }
    return 2;
}

int LimitCheck(double value, std::optional<double> maximum, IOperatorMessages& messages)
{
    if (!maximum) {
        messages.Tell(kLimitsUnknownMessage);
        return 1;
    }
    return dataRuleCheck(static_cast<float>(value), static_cast<float>(*maximum), messages);
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
    if (RefuseEmpty(text, messages))
        return std::nullopt;
    const std::optional<double> value = PlainDecimal(text);
    if (!value)
        messages.Tell(QStringLiteral("Input data of \"%1\" must be a number such as 12.5!").arg(field));
    return value;
}

std::optional<int> WholeEntry(
    const QString& text, const QString& field, int lowest, int highest, IOperatorMessages& messages)
{
    if (RefuseEmpty(text, messages))
        return std::nullopt;
    const std::optional<int> value = PlainWhole(text, lowest, highest);
    if (!value)
        messages.Tell(QStringLiteral("Input data of \"%1\" must be a whole number from %2 to %3!")
                          .arg(field)
                          .arg(lowest)
                          .arg(highest));
    return value;
}
