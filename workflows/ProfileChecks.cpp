#include "workflows/ProfileForms.h"

#include <QLocale>
#include <algorithm>
#include <cmath>

namespace ProfileForms {

namespace {

constexpr double kLongestPulse = 60;

bool IsDischarge(StepKind kind)
{
    return kind == StepKind::DischargeCurrent || kind == StepKind::DischargePower
        || kind == StepKind::DischargeResistance;
}

} // namespace

// A refused text as the message quotes it: long enough to recognise, never a screenful.
QString Clipped(const QString& text)
{
    constexpr qsizetype kLongest = 60;
    return text.size() > kLongest ? text.left(kLongest) + QStringLiteral("...") : text;
}

// Plain decimals, as the operator writes them: "0.0001", never "1e-04".
QString Number(double value)
{
    return QString::number(value, std::fabs(value) < 1e15 ? 'f' : 'g', QLocale::FloatingPointShortest);
}

QString Quoted(const QString& text)
{
    return u'"' + Clipped(text) + u'"';
}

// Sane bounds for anything a bench load and a cell on it can mean; a value outside is a
// slip of the keyboard (a missing "m", a stray digit).
const QuantityInfo& Info(Quantity q)
{
    static const QuantityInfo infos[] = {
        { "a current", "2 A", "A", 0.0001, 1000 },
        { "a voltage", "3.0 V", "V", 0.001, 1000 },
        { "a power", "5 W", "W", 0.001, 100000 },
        { "a resistance", "4 ohm", "ohm", 0.001, 1e6 },
        { "a duration", "30 s", "s", 0.001, 1000 * 3600.0 },
        { "a capacity", "1.5 Ah", "Ah", 0.0001, 10000 },
        { "an energy", "5 Wh", "Wh", 0.001, 1e6 },
    };
    return infos[static_cast<int>(q)];
}

QString WithUnit(Quantity q, double value)
{
    return Number(value) + u' ' + QLatin1String(Info(q).unit);
}

Quantity QuantityOf(EndKind kind)
{
    switch (kind) {
    case EndKind::VoltageBelow:
    case EndKind::VoltageAbove:
        return Quantity::Voltage;
    case EndKind::CurrentBelow:
        return Quantity::Current;
    case EndKind::Duration:
        return Quantity::Duration;
    case EndKind::Capacity:
        return Quantity::Capacity;
    case EndKind::Energy:
        return Quantity::Energy;
    }
    return Quantity::Duration;
}

std::optional<Quantity> SettingQuantity(StepKind kind)
{
    switch (kind) {
    case StepKind::DischargeCurrent:
    case StepKind::Pulse:
    case StepKind::MeasureResistance:
        return Quantity::Current;
    case StepKind::DischargePower:
        return Quantity::Power;
    case StepKind::DischargeResistance:
        return Quantity::Resistance;
    case StepKind::HoldVoltage:
        return Quantity::Voltage;
    case StepKind::Rest:
    case StepKind::Repeat:
        break;
    }
    return std::nullopt;
}

// ---- Wording ---------------------------------------------------------------------------

QString DurationText(double seconds)
{
    const auto in = [&](double unit, const char* one, const char* many) {
        const double count = seconds / unit;
        return Number(count) + u' ' + QLatin1String(count == 1 ? one : many);
    };
    if (std::fmod(seconds, 3600) == 0)
        return in(3600, "hour", "hours");
    if (std::fmod(seconds, 60) == 0)
        return in(60, "minute", "minutes");
    return Number(seconds) + QStringLiteral(" s");
}

QString UntilText(const EndCondition& c)
{
    switch (c.kind) {
    case EndKind::VoltageBelow:
        return QStringLiteral("until ") + WithUnit(Quantity::Voltage, c.value);
    case EndKind::VoltageAbove:
        return QStringLiteral("until above ") + WithUnit(Quantity::Voltage, c.value);
    case EndKind::CurrentBelow:
        return QStringLiteral("until ") + WithUnit(Quantity::Current, c.value);
    case EndKind::Duration:
        return QStringLiteral("for ") + DurationText(c.value);
    case EndKind::Capacity:
        return QStringLiteral("for ") + WithUnit(Quantity::Capacity, c.value);
    case EndKind::Energy:
        return QStringLiteral("for ") + WithUnit(Quantity::Energy, c.value);
    }
    return {};
}

QString LimitText(const EndCondition& c)
{
    switch (c.kind) {
    case EndKind::VoltageBelow:
        return QStringLiteral("at ") + WithUnit(Quantity::Voltage, c.value);
    case EndKind::VoltageAbove:
        return QStringLiteral("above ") + WithUnit(Quantity::Voltage, c.value);
    case EndKind::Duration:
        return QStringLiteral("after ") + DurationText(c.value);
    case EndKind::CurrentBelow:
    case EndKind::Capacity:
    case EndKind::Energy:
        break;
    }
    return QStringLiteral("after ") + WithUnit(QuantityOf(c.kind), c.value);
}

// ---- Checks shared by both forms --------------------------------------------------------

void CheckValue(int line, Quantity q, double value, const char* what)
{
    const QuantityInfo& info = Info(q);
    if (!(value >= info.lowest && value <= info.highest))
        throw EProfile(line,
            QStringLiteral("%1 from %2 to %3")
                .arg(what ? QLatin1String(what) : QLatin1String(info.noun), WithUnit(q, info.lowest),
                    WithUnit(q, info.highest)),
            WithUnit(q, value));
}

namespace {

// Which end conditions make sense for a step: a hold keeps the voltage, so only its current
// can end it; resting takes nothing from the cell, so only time and voltage can.
QString AllowedEnds(StepKind kind, std::vector<EndKind>& allowed)
{
    if (kind == StepKind::HoldVoltage) {
        allowed = { EndKind::CurrentBelow, EndKind::Duration, EndKind::Capacity, EndKind::Energy };
        return QStringLiteral(
            "an end for a hold: \"until\" a current, or \"for\" a duration, capacity or energy");
    }
    if (kind == StepKind::Rest) {
        allowed = { EndKind::VoltageBelow, EndKind::VoltageAbove, EndKind::Duration };
        return QStringLiteral("an end for a rest: \"until\" a voltage or \"for\" a duration");
    }
    allowed = { EndKind::VoltageBelow, EndKind::VoltageAbove, EndKind::Duration, EndKind::Capacity,
        EndKind::Energy };
    return QStringLiteral(
        "an end for a discharge: \"until\" a voltage, or \"for\" a duration, capacity or energy");
}

void CheckEnds(int line, EndConditions& ends, const std::vector<EndKind>& allowed, const QString& expected,
    QString (*text)(const EndCondition&))
{
    if (ends.empty())
        throw EProfile(line, expected, QStringLiteral("none"));
    for (const EndCondition& c : ends) {
        if (std::find(allowed.begin(), allowed.end(), c.kind) == allowed.end())
            throw EProfile(line, expected, text(c));
        CheckValue(line, QuantityOf(c.kind), c.value);
    }
    std::stable_sort(ends.begin(), ends.end(), [](const EndCondition& a, const EndCondition& b) {
        return static_cast<int>(a.kind) < static_cast<int>(b.kind);
    });
    for (size_t n = 1; n < ends.size(); ++n)
        if (ends[n].kind == ends[n - 1].kind)
            throw EProfile(line, QStringLiteral("each kind of end once"), text(ends[n]));
}

} // namespace

void CheckStep(ProfileStep& step)
{
    const int line = step.line;
    if (const auto q = SettingQuantity(step.kind))
        CheckValue(line, *q, step.setting);
    if (step.kind == StepKind::Pulse || step.kind == StepKind::MeasureResistance) {
        if (!(step.seconds >= Info(Quantity::Duration).lowest && step.seconds <= kLongestPulse))
            throw EProfile(line,
                QStringLiteral("a pulse length from %1 to %2")
                    .arg(WithUnit(Quantity::Duration, 0.001), DurationText(kLongestPulse)),
                DurationText(step.seconds));
    }
    if (IsDischarge(step.kind) || step.kind == StepKind::HoldVoltage || step.kind == StepKind::Rest) {
        std::vector<EndKind> allowed;
        const QString expected = AllowedEnds(step.kind, allowed);
        CheckEnds(line, step.until, allowed, expected, UntilText);
    }
    if (step.resistanceEverySeconds != 0 && step.resistanceEveryAmpHours != 0)
        throw EProfile(line,
            QStringLiteral("resistance measured every so long or every so many Ah, not both"),
            QStringLiteral("both"));
    if (step.resistanceEverySeconds != 0)
        CheckValue(line, Quantity::Duration, step.resistanceEverySeconds, "an interval");
    if (step.resistanceEveryAmpHours != 0)
        CheckValue(line, Quantity::Capacity, step.resistanceEveryAmpHours, "an interval");
    if (step.resistancePulseCurrent != 0) {
        if (step.resistanceEverySeconds == 0 && step.resistanceEveryAmpHours == 0)
            throw EProfile(line, QStringLiteral("a pulse current only with \"measuring resistance every\""),
                WithUnit(Quantity::Current, step.resistancePulseCurrent));
        CheckValue(line, Quantity::Current, step.resistancePulseCurrent, "a pulse current");
    }
    if (step.kind == StepKind::Repeat && (step.times < 1 || step.times > kMostRepeats))
        throw EProfile(line, QStringLiteral("a count of repeats from 1 to %1").arg(kMostRepeats),
            QString::number(step.times));
}

void CheckLimit(Profile& profile)
{
    if (profile.limit.empty())
        return;
    CheckEnds(profile.limitLine, profile.limit,
        { EndKind::VoltageBelow, EndKind::VoltageAbove, EndKind::Duration, EndKind::Capacity,
            EndKind::Energy },
        QStringLiteral("a limit: \"at\" or \"above\" a voltage, or \"after\" a duration, capacity or energy"),
        LimitText);
}

} // namespace ProfileForms
