#pragma once
// Conversions between text and number that ignore the system's locale: "." is the
// decimal separator and no thousands separator is accepted or written.
#include <QString>
#include <stdexcept>

// A text that is not a number; what() is the message the operator sees.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

double StrToFloat(const QString& text); // throws EConvertError
int StrToInt(const QString& text);      // whole numbers only; throws EConvertError

// Digits with at most one "." and at least one digit, nothing else: the number as the
// instrument writes it and as it may be sent (no sign, exponent, blank or separator).
bool IsPlainDecimal(QStringView text);

// Shortest general notation with up to 15 significant digits ("13.70974", "0", "1e-05").
QString FloatToStr(double value);

// Rounded to four significant digits, written with exactly three decimals ("12.000").
QString FormatRangeValue(float value);
