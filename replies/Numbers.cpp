#include "replies/Numbers.h"

#include <QLocale>
#include <cmath>

namespace {
QLocale StrictC()
{
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::RejectGroupSeparator | QLocale::OmitGroupSeparator);
    return c;
}
} // namespace

double StrToFloat(const QString& text)
{
    bool ok = false;
    const double v = StrictC().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(v))
        throw EConvertError("'" + text.toStdString() + "' is not a valid floating point value");
    return v;
}

int StrToInt(const QString& text)
{
    bool ok = false;
    const int v = StrictC().toInt(text.trimmed(), &ok);
    if (!ok)
        throw EConvertError("'" + text.toStdString() + "' is not a valid integer value");
    return v;
}

QString FloatToStr(double value)
{
    return QString::number(value, 'g', 15);
}

QString FormatRangeValue(float value)
{
    const double rounded = QString::number(static_cast<double>(value), 'g', 4).toDouble();
    return QString::number(rounded, 'f', 3);
}

bool IsPlainDecimal(QStringView text)
{
    bool digit = false;
    bool point = false;
    for (const QChar c : text) {
        if (c >= u'0' && c <= u'9')
            digit = true;
        else if (c == u'.' && !point)
            point = true;
        else
            return false;
    }
    return digit;
}
