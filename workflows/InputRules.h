#pragma once
// The pure rules behind the operator's edits: which typed characters a field accepts and
// the message that refuses a set-point above its maximum.
#include <QChar>
#include <QString>
#include <optional>

// Digits, ".", backspace (8) and carriage return (13). One character at a time: a second
// "." is not stopped here (the conversion refuses the text later).
bool IsDecimalKey(QChar key);
// The decimal comma many keyboards type is the program's decimal point: "1,5" is 1.5.
QChar DecimalPoint(QChar key);
// The same for a text pasted or typed into a decimal field.
QString WithDecimalPoints(const QString& text);
// Digits, backspace and carriage return.
bool IsWholeNumberKey(QChar key);

// A message about one field, led by the caption the window shows beside it, so the
// operator knows which of several refused fields to mend: "Max. Power: the input value
// 200.000 exceeds the maximum of 150.000!". Without a caption the message stands alone.
QString FieldMessage(const QString& field, const QString& message);

// "The input value 12.000 exceeds the maximum of 10.000!"; both numbers rounded to four
// significant digits and written with three decimals, whatever the locale; led by the
// field's caption when one is given.
QString RangeMessage(float value, float maximum, const QString& field = {});

inline const QString kEmptyInputMessage = QStringLiteral("Input data cannot be empty!");
// Every action that would send something says this while no port is open, and sends nothing.
inline const QString kConnectFirstMessage = QStringLiteral("Connect to the instrument first.");

// The one fixed limit: the resistance set-point of either instrument model.
inline constexpr double kResistanceMaximum = 4000;

class IOperatorMessages;
class InstrumentSession;

// Tells kConnectFirstMessage and returns false while the session has no open port.
bool PortIsOpen(const InstrumentSession& session, IOperatorMessages& messages);

// The empty-field rule: tells "Input data cannot be empty!" (led by the field's caption
// when one is given) and returns true when the text is empty.
bool RefuseEmpty(const QString& text, IOperatorMessages& messages, const QString& field = {});

// The range rule: 2 when the value is accepted (equal to the maximum included), 1 when it
// is refused, after its message has been told. Both are compared as 32-bit floats.
int dataRuleCheck(float value, float maximum, IOperatorMessages& messages, const QString& field = {});

// Said instead of a range message when the limit a value must keep to is not known: no
// value is checked against a made-up maximum of 0.
inline const QString kLimitsUnknownMessage
    = QStringLiteral("The instrument's limits could not be read back: connect again, or send them with "
                     "\"Set\" in Load Setup.");
// The range rule for `field` against one of the instrument's limits, which may not be
// known: then refused (1) with kLimitsUnknownMessage, led by the field's caption.
int LimitCheck(
    double value, std::optional<double> maximum, IOperatorMessages& messages, const QString& field);

// ---- values sent as numbers: checked when they are sent, whatever the key filters let
// through (a paste, rows 3 to 14 of the step editor)

// Digits with at most one "." and at least one digit: nothing else reaches the
// instrument as a number (no sign, exponent, blank or separator of a second command).
std::optional<double> PlainDecimal(const QString& text);
// Digits only, lowest to highest.
std::optional<int> PlainWhole(const QString& text, int lowest, int highest);

// The value of `field` (its caption) as a plain decimal: refused (told, nothing) when it
// is empty or anything else; the message names the field.
std::optional<double> DecimalEntry(const QString& text, const QString& field, IOperatorMessages& messages);
// The value of `field` as a whole number from lowest to highest, likewise.
std::optional<int> WholeEntry(
    const QString& text, const QString& field, int lowest, int highest, IOperatorMessages& messages);
