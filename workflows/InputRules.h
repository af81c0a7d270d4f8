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

// The one fixed limit: the resistance set-point of either instrument model.
inline constexpr double kResistanceMaximum = 4000;

class IOperatorMessages;

// The empty-field rule: tells "Input data cannot be empty!" and returns true when the
// text is empty.
bool RefuseEmpty(const QString& text, IOperatorMessages& messages);

// The range rule: 2 when the value is accepted (equal to the maximum included), 1 when it
// is refused, after its message has been told. Both are compared as 32-bit floats.
int dataRuleCheck(float value, float maximum, IOperatorMessages& messages);
