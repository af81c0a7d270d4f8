#include "workflows/ProfileRunText.h"

#include <QLocale>
#include <algorithm>
#include <cmath>

namespace {

// The step as the profile file writes it, through the file's own writer.
QString WrittenStep(const ProfileStep& step)
{
    Profile profile;
    profile.steps.push_back(step);
    profile.steps.back().steps.clear();
    return QString::fromUtf8(WriteProfileText(profile)).trimmed();
}

QString Number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

// When it was read, to the millisecond, in UTC.
QString IsoTime(const QDateTime& at)
{
    return at.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

} // namespace

QString ProfileNumber(double value)
{
    return QString::number(value, 'f', QLocale::FloatingPointShortest);
}

ProfileStepInfo ProfileStepInfoOf(const ProfileStep& step, int number, int cycle)
{
    ProfileStepInfo info;
    info.number = number;
    info.line = step.line;
    info.kind = step.kind;
    info.description = WrittenStep(step);
    info.cycle = cycle;
    QStringList ends;
    for (const EndCondition& c : step.until)
        ends << ProfileEndText(c);
    info.endCondition = ends.join(QStringLiteral(" or "));
    return info;
}

QString ProfileEndText(const EndCondition& condition)
{
    ProfileStep rest;
    rest.kind = StepKind::Rest;
    rest.until = { condition };
    return WrittenStep(rest).mid(QStringLiteral("Rest ").size());
}

QString ProfileLimitText(const EndCondition& condition)
{
    Profile profile;
    profile.steps.push_back({});
    profile.limit = { condition };
    const QString first = QString::fromUtf8(WriteProfileText(profile)).section(u'\n', 0, 0);
    return first.mid(QStringLiteral("Stop the run ").size());
}

QString ProfileValueText(EndKind kind, double value)
{
    switch (kind) {
    case EndKind::VoltageBelow:
    case EndKind::VoltageAbove:
        return ProfileNumber(value) + QStringLiteral(" V");
    case EndKind::CurrentBelow:
        return ProfileNumber(value) + QStringLiteral(" A");
    case EndKind::Duration:
        return Number(value, 1) + QStringLiteral(" s");
    case EndKind::Capacity:
        return Number(value, 4) + QStringLiteral(" Ah");
    case EndKind::Energy:
        return Number(value, 3) + QStringLiteral(" Wh");
    }
    return {};
}

QString StepKindName(StepKind kind)
{
    switch (kind) {
    case StepKind::DischargeCurrent:
        return QStringLiteral("discharge CC");
    case StepKind::DischargePower:
        return QStringLiteral("discharge CP");
    case StepKind::DischargeResistance:
        return QStringLiteral("discharge CR");
    case StepKind::HoldVoltage:
        return QStringLiteral("hold CV");
    case StepKind::Rest:
        return QStringLiteral("rest");
    case StepKind::Pulse:
        return QStringLiteral("pulse");
    case StepKind::MeasureResistance:
        return QStringLiteral("resistance");
    case StepKind::Repeat:
        break;
    }
    return QStringLiteral("repeat");
}

QStringList ProfileRowValues(const QString& runLabel, const ProfileSample& s)
{
    return { runLabel, QString::number(s.stepNumber), StepKindName(s.kind), Number(s.seconds, 3),
        ProfileNumber(s.voltage), ProfileNumber(s.current), Number(s.power, 4), Number(s.capacityAh, 6),
        Number(s.energyWh, 6), IsoTime(s.at) };
}

QStringList ResistanceRowValues(const QString& runLabel, const ResistanceMeasurement& m)
{
    return { runLabel, QString::number(m.stepNumber), Number(m.seconds, 3), Number(m.capacityAh, 6),
        ProfileNumber(m.v1), ProfileNumber(m.v2), ProfileNumber(m.i1), ProfileNumber(m.i2),
        m.milliOhm ? Number(*m.milliOhm, 3) : QString(),
        m.failure.isEmpty() ? QStringLiteral("ok") : m.failure };
}

std::vector<BdfReading> BdfReadingsFromProfile(
    const std::vector<ProfileSample>& samples, const std::vector<ResistanceMeasurement>& resistances)
{
    // The step index is the step's place in the file: its line among the lines run.
    std::vector<int> lines;
    for (const ProfileSample& s : samples)
        lines.push_back(s.line);
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());

    std::vector<BdfReading> readings;
    readings.reserve(samples.size());
    for (const ProfileSample& s : samples) {
        BdfReading r;
        r.testTimeSeconds = s.seconds;
        r.voltage = s.voltage;
        r.current = s.current;
        r.unixTimeSeconds = static_cast<double>(s.at.toMSecsSinceEpoch()) / 1000.0;
        r.cycleCount = s.cycle;
        r.stepCount = s.stepNumber;
        r.stepIndex
            = static_cast<int>(std::lower_bound(lines.begin(), lines.end(), s.line) - lines.begin()) + 1;
        r.capacityAh = s.capacityAh;
        r.energyWh = s.energyWh;
        readings.push_back(r);
    }
    for (const ResistanceMeasurement& m : resistances) {
        if (!m.milliOhm || readings.empty())
            continue;
        const auto nearest = std::min_element(
            readings.begin(), readings.end(), [&](const BdfReading& a, const BdfReading& b) {
                return std::fabs(a.testTimeSeconds - m.seconds) < std::fabs(b.testTimeSeconds - m.seconds);
            });
        nearest->resistanceOhm = *m.milliOhm / 1000.0;
    }
    return readings;
}
