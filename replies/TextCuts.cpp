#include "replies/TextCuts.h"

#include <algorithm>

QString CopyText(const QString& text, int pos, int count)
{
    const qsizetype start = std::max(pos, 1) - 1;
    if (count <= 0 || start >= text.size())
        return {};
    return text.mid(start, count);
}

QString FirstChars(const QString& text, int n)
{
    return CopyText(text, 1, n);
}

QString TextBefore(const QString& text, QChar mark)
{
    const qsizetype at = text.indexOf(mark);
    return at < 0 ? QString() : text.left(at);
}

QString RestAfterComma(const QString& text)
{
    const qsizetype at = text.indexOf(u',');
    return at < 0 ? text : text.mid(at + 1);
}

QString FieldBeforeComma(const QString& text, int drop)
{
    const int commaPos = static_cast<int>(text.indexOf(u',')) + 1; // 0 when missing
    return CopyText(text, 1, commaPos - drop - 1);
}
