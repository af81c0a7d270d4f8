#include "workflows/InputRules.h"

#include "replies/Numbers.h"
#include "workflows/OperatorMessages.h"

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
