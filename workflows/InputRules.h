#pragma once
// The pure rules behind the operator's edits: which typed characters a field accepts and
// the message that refuses a set-point above its maximum.
#include <QChar>
#include <QString>

// Digits, ".", backspace (8) and carriage return (13). One character at a time: a second
// "." is not stopped here (the conversion refuses the text later).
bool IsDecimalKey(QChar key);
// Digits, backspace and carriage return.
bool IsWholeNumberKey(QChar key);

// "The input value 12.000 exceeds the maximum of 10.000!"; both numbers rounded to four
// significant digits and written with three decimals, whatever the locale.
QString RangeMessage(float value, float maximum);

inline const QString kEmptyInputMessage = QStringLiteral("Input data cannot be empty!");
