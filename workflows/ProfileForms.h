#pragma once
// What the two forms of a profile share: the quantities a file names, with their bounds and
// wording, and the checks every step and limit passes whichever form it was read from
// (ProfileChecks.cpp). Private to Profile.cpp, ProfileChecks.cpp, ProfileText.cpp (the
// text form, read and written) and ProfileJson.cpp (the JSON form, read and written).
#include "workflows/Profile.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace ProfileForms {

// Loops deeper than this are a mistake in the file rather than a plan.
constexpr int kDeepestLoop = 8;
constexpr int kMostRepeats = 10000;

QString Clipped(const QString& text);
QString Number(double value);
QString Quoted(const QString& text);

enum class Quantity { Current, Voltage, Power, Resistance, Duration, Capacity, Energy };

struct QuantityInfo
{
    const char* noun;
    const char* example;
    const char* unit;
    double lowest;
    double highest;
};

const QuantityInfo& Info(Quantity q);
QString WithUnit(Quantity q, double value);
Quantity QuantityOf(EndKind kind);
std::optional<Quantity> SettingQuantity(StepKind kind);

// How the text form words a duration, a step's end and the run's limit; the checks'
// messages word them alike.
QString DurationText(double seconds);
QString UntilText(const EndCondition& c);
QString LimitText(const EndCondition& c);

void CheckValue(int line, Quantity q, double value, const char* what = nullptr);
// The step's own fields; a loop's body is checked as it is read.
void CheckStep(ProfileStep& step);
void CheckLimit(Profile& profile);

Profile ReadText(const QByteArray& bytes); // ProfileText.cpp; throws EProfile
Profile ReadJson(const QByteArray& json); // ProfileJson.cpp; throws EProfile

} // namespace ProfileForms
