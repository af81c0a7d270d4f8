#include "workflows/Profile.h"

#include "workflows/ProfileForms.h"

using namespace ProfileForms;

namespace {

double LowestIn(const std::vector<ProfileStep>& steps, double lowest)
{
    for (const ProfileStep& step : steps) {
        for (const EndCondition& c : step.until)
            if (c.kind == EndKind::VoltageBelow && (lowest == 0 || c.value < lowest))
                lowest = c.value;
        lowest = LowestIn(step.steps, lowest);
    }
    return lowest;
}

} // namespace

EProfile::EProfile(int line, const QString& expected, const QString& found)
    : std::runtime_error(
        QStringLiteral("Line %1: expected %2, found %3").arg(line).arg(expected, found).toStdString())
    , line_(line)
    , expected_(expected)
{ }

bool ProfileStep::operator==(const ProfileStep& other) const
{
    return kind == other.kind && setting == other.setting && seconds == other.seconds && until == other.until
        && resistanceEverySeconds == other.resistanceEverySeconds
        && resistanceEveryAmpHours == other.resistanceEveryAmpHours
        && resistancePulseCurrent == other.resistancePulseCurrent && times == other.times
        && steps == other.steps;
}

bool Profile::operator==(const Profile& other) const
{
    return steps == other.steps && limit == other.limit;
}

Profile ReadProfile(const QByteArray& text)
{
    const QByteArray start = text.trimmed();
    return start.startsWith('{') ? ReadJson(text) : ReadText(text);
}

double LowestCutOff(const Profile& profile)
{
    double lowest = LowestIn(profile.steps, 0);
    for (const EndCondition& c : profile.limit)
        if (c.kind == EndKind::VoltageBelow && (lowest == 0 || c.value < lowest))
            lowest = c.value;
    return lowest;
}
