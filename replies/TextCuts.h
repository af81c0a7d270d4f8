#pragma once
// Positional cuts of the instrument's reply texts. They never fail: a cut past the end
// of the text stops at the end, and a missing mark yields an empty text.
#include <QString>

// Characters from 1-based position pos, count of them; a start before 1 counts as 1,
// a negative count as 0.
QString CopyText(const QString& text, int pos, int count);
// The first n characters, or the whole text when it is shorter.
QString FirstChars(const QString& text, int n);
// The characters before the first mark; empty when the text holds no mark.
QString TextBefore(const QString& text, QChar mark);
// Everything after the first comma; the whole text when there is none.
QString RestAfterComma(const QString& text);
// The characters before the first comma minus the last `drop` of them (position of the
// comma minus drop + 1 characters); empty when there is no comma.
QString FieldBeforeComma(const QString& text, int drop);
