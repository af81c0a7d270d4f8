#include "workflows/InputRules.h"

#include "replies/Numbers.h"

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
