// Text to number and back, whatever the bytes: the input as a text (UTF-8) for the
// conversions that may refuse it, its first bytes as a binary double and float for the
// ones that write numbers.
#include "fuzz/FuzzTargets.h"
#include "replies/Numbers.h"
#include "workflows/InputRules.h"

#include <QRegularExpression>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

template <class T> std::optional<T> Converted(T (*convert)(const QString&), const QString& text)
{
    try {
        return convert(text);
    } catch (const EConvertError& e) {
        Promise(*e.what() != 0, "refusal without a message");
        return std::nullopt;
    }
}

std::string Show(double v)
{
    return FloatToStr(v).toStdString();
}

void Text(const QString& text)
{
    const std::optional<double> f = Converted(StrToFloat, text);
    if (const std::optional<int> i = Converted(StrToInt, text))
        Promise(f && *f == *i, "whole number " + text.toStdString() + " is no float");

    // What the operator types in a decimal field reaches the instrument as typed, so the
    // value checked must be the value of that very text.
    try {
        if (const std::optional<double> d = PlainDecimal(text))
            Promise(f && *d == *f && *d >= 0, "plain decimal " + text.toStdString());
    } catch (const EConvertError&) {
        // Only digits beyond any double may be refused by the conversion itself.
        const qsizetype point = text.indexOf(u'.');
        Promise((point < 0 ? text.size() : point) > DBL_MAX_10_EXP, "plain decimal " + text.toStdString());
    }
    for (const auto& [lowest, highest] : { std::pair { 0, 9 }, { 0, 254 }, { 0, 60000 } }) {
        if (const std::optional<int> w = PlainWhole(text, lowest, highest))
            Promise(*w >= lowest && *w <= highest && f && *f == *w, "plain whole " + text.toStdString());
    }
}

void Written(double v, float single)
{
    // The shortest text reads back as the number, to its fifteen digits (which round the
    // largest doubles past the range, and lose the smallest).
    if (v == 0 || (std::fabs(v) >= DBL_MIN && std::fabs(v) <= 1e308)) {
        const std::optional<double> back = Converted(StrToFloat, FloatToStr(v));
        Promise(back && std::fabs(*back - v) <= std::fabs(v) * 1e-14, "FloatToStr " + Show(v));
    }
    // The range message: three decimals of the value rounded to four significant digits.
    if (std::isfinite(single)) {
        static const QRegularExpression shape(QStringLiteral("^-?[0-9]+\\.[0-9]{3}$"));
        const QString text = FormatRangeValue(single);
        Promise(shape.match(text).hasMatch(), "range value " + text.toStdString());
        const double value = single;
        Promise(std::fabs(text.toDouble() - value) <= std::fabs(value) * 5e-4 + 5e-4,
            "range value " + text.toStdString() + " for " + Show(value));
    }
}

} // namespace

void FuzzNumberConversion(const uint8_t* data, size_t size)
{
    Text(QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    double v = 0;
    float single = 0;
    std::memcpy(&v, data, std::min(size, sizeof v));
    std::memcpy(&single, data, std::min(size, sizeof single));
    Written(v, single);
}
