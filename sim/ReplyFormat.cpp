#include "sim/ReplyFormat.h"

#include <charconv>
#include <cmath>

namespace {
std::string Fixed(double value, int decimals)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}
} // namespace

std::string Fmt5(double value)
{
    if (!(value > 0))
        value = 0; // also catches NaN: a reading must stay a number the program can convert
    // The rounding of a value just below a boundary (9.9996) can add a digit, so the
    // width is judged on the written text, not on the value.
    for (int decimals = 3; decimals >= 1; --decimals) {
        std::string text = Fixed(value, decimals);
        if (text.size() == 5)
            return text;
    }
    const long long whole = value >= 99999.0 ? 99999 : std::llround(value);
    std::string text = std::to_string(whole);
    return std::string(5 - text.size(), '0') + text;
}

std::string Fixed3(double value)
{
    return Fixed(value, 3);
}

std::string Shortest(double value)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}
