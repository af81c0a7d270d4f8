#include "replies/ReplyShapes.h"

#include "replies/MeasurementCuts.h"
#include "replies/Numbers.h"

#include <QList>

#include <algorithm>
#include <optional>

namespace {

// The characters of a set-point or limit the window shows.
constexpr qsizetype kShownWidth = 5;

// How one code's answer is checked; the unit, where there is one, is kept beside it.
enum class Rule {
    Nothing,
    NumberMaybeUnit, // "10.000A", "10.000 A", "10.000"
    NumberAndUnit, // "0.300A", "0.300 A"
    WholeAndUnit, // "5s", "5 s"
    Whole, // "1"
    Word, // "ON", "TRIG"
    LevelWidth, // "1.000,10ms"
    StepLevel, // "0.200,5s"
    StepCompare, // "curr,0.100,0.300,"
    Measurement,
    Identity, // "Maker,Model,Serial,Version"
    Anything,
};

struct Shape
{
    ShapeFamily family = ShapeFamily::None;
    Rule rule = Rule::Nothing;
    const char* unit = "";
};

Shape ShapeOf(ReplyCode code)
{
    const int n = CodeNumber(code);
    if (n >= CodeNumber(StepLevelCode(0)) && n < CodeNumber(StepLevelCode(kReadBackSteps)))
        return { ShapeFamily::StepLevel, Rule::StepLevel };
    if (n >= CodeNumber(StepCompareCode(0)) && n < CodeNumber(StepCompareCode(kReadBackSteps)))
        return { ShapeFamily::StepCompare, Rule::StepCompare };
    switch (code) {
    case ReplyCode::Verbatim:
        return { ShapeFamily::Anything, Rule::Anything };
    case ReplyCode::Measurement:
        return { ShapeFamily::Measurement, Rule::Measurement };
    case ReplyCode::Identity:
        return { ShapeFamily::Identity, Rule::Identity };
    case ReplyCode::CurrentSetPoint:
    case ReplyCode::CurrentLimit:
        return { ShapeFamily::Number, Rule::NumberMaybeUnit, "A" };
    case ReplyCode::VoltageSetPoint:
    case ReplyCode::VoltageLimit:
    case ReplyCode::OnVoltage:
    case ReplyCode::OffVoltage:
        return { ShapeFamily::Number, Rule::NumberMaybeUnit, "V" };
    case ReplyCode::PowerSetPoint:
    case ReplyCode::PowerLimit:
        return { ShapeFamily::Number, Rule::NumberMaybeUnit, "W" };
    case ReplyCode::ResistanceSetPoint:
        return { ShapeFamily::Number, Rule::NumberMaybeUnit, "R" };
    case ReplyCode::AutoOffDelay:
        return { ShapeFamily::Number, Rule::WholeAndUnit, "s" };
    case ReplyCode::BatteryCurrent:
        return { ShapeFamily::Number, Rule::NumberAndUnit, "A" };
    case ReplyCode::BatteryCutOff:
        return { ShapeFamily::Number, Rule::NumberAndUnit, "V" };
    case ReplyCode::ListSteps:
        return { ShapeFamily::Number, Rule::Whole };
    case ReplyCode::TransientLevelA:
    case ReplyCode::TransientLevelB:
        return { ShapeFamily::LevelWidth, Rule::LevelWidth };
    case ReplyCode::Sense:
    case ReplyCode::TransientLoad:
    case ReplyCode::TransientMode:
    case ReplyCode::ListStepMode:
    case ReplyCode::ListRepeat:
        return { ShapeFamily::Word, Rule::Word };
    default:
        return {};
    }
}

bool IsDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool IsWholeNumber(QStringView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), IsDigit);
}

bool IsWord(QStringView text)
{
    return !text.isEmpty() && text.size() <= 8 && std::all_of(text.begin(), text.end(), [](QChar c) {
        return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
    });
}

// The text before `unit` (exact case), one blank between them allowed when `blank`; a
// text without the unit is nothing.
std::optional<QStringView> BeforeUnit(QStringView text, QLatin1String unit, bool blank)
{
    if (!text.endsWith(unit))
        return std::nullopt;
    text.chop(unit.size());
    if (blank && text.endsWith(u' '))
        text.chop(1);
    return text;
}

// A number, a comma, then a second field written before `unit` with no blank.
template <class Second> bool TwoFields(QStringView text, QLatin1String unit, Second second)
{
    const qsizetype comma = text.indexOf(u',');
    if (comma < 0 || !IsPlainDecimal(text.left(comma)))
        return false;
    const std::optional<QStringView> rest = BeforeUnit(text.sliced(comma + 1), unit, false);
    return rest && second(*rest);
}

bool IsStepCompare(QStringView text)
{
    const QList<QStringView> fields = text.split(u',');
    return fields.size() == 4 && IsWord(fields[0]) && IsPlainDecimal(fields[1]) && IsPlainDecimal(fields[2])
        && fields[3].isEmpty();
}

template <class Cut> bool Cuts(Cut&& cut)
{
    try {
        cut();
        return true;
    } catch (const EBadReading&) {
        return false;
    }
}

constexpr MeasurementLayout kLayouts[]
    = { MeasurementLayout::Main, MeasurementLayout::Battery, MeasurementLayout::List };

bool IsMeasurement(MeasurementLayout layout, const QString& text)
{
    switch (layout) {
    case MeasurementLayout::Main:
        return Cuts([&] { CutMainReading(text); });
    case MeasurementLayout::Battery:
        return Cuts([&] { CutBatteryReading(text); });
    case MeasurementLayout::List:
        if (text.startsWith(u"L1"))
            return true;
        if (text.startsWith(u"L2")) {
            int step = -1;
            return Cuts([&] { step = CutStepReading(text).stepIndex; }) && step >= 0 && step < kReadBackSteps;
        }
        return text.startsWith(u"L3") && text.size() >= 4 && IsDigit(text[3]);
    }
    return false;
}

// Printable text with a comma and a letter that no other answer's shape fits: a late
// identity can then be told from any other answer, and no other answer taken for one.
bool IsIdentity(QStringView text)
{
    const bool printable
        = std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u' ' && c <= u'~'; });
    const bool letter = std::any_of(text.begin(), text.end(), [](QChar c) { return c.isLetter(); });
    if (!printable || !letter || !text.contains(u','))
        return false;
    const QString whole = text.toString();
    return !TwoFields(text, QLatin1String("ms"), IsWholeNumber)
        && !TwoFields(text, QLatin1String("s"), IsPlainDecimal) && !IsStepCompare(text)
        && std::none_of(std::begin(kLayouts), std::end(kLayouts),
            [&](MeasurementLayout layout) { return IsMeasurement(layout, whole); });
}

} // namespace

ShapeFamily FamilyOf(ReplyCode code)
{
    return ShapeOf(code).family;
}

bool ShapesOverlap(ReplyCode a, ReplyCode b)
{
    const ShapeFamily fa = FamilyOf(a);
    const ShapeFamily fb = FamilyOf(b);
    if (fa == ShapeFamily::None || fb == ShapeFamily::None)
        return false;
    // The Main reading is cut by position: a step level with a long dwell cuts as one.
    const auto pair
        = [&](ShapeFamily x, ShapeFamily y) { return (fa == x && fb == y) || (fa == y && fb == x); };
    return fa == fb || fa == ShapeFamily::Anything || fb == ShapeFamily::Anything
        || pair(ShapeFamily::Measurement, ShapeFamily::StepLevel);
}

bool FitsShape(ReplyCode code, MeasurementLayout layout, const QString& reply)
{
    QStringView text(reply);
    while (text.endsWith(u'\r') || text.endsWith(u'\n'))
        text.chop(1);
    const Shape shape = ShapeOf(code);
    const QLatin1String unit(shape.unit);
    switch (shape.rule) {
    case Rule::Nothing:
        return false;
    case Rule::NumberMaybeUnit: {
        const bool withUnit = text.endsWith(unit);
        if (withUnit)
            text.chop(unit.size());
        if (text.endsWith(u' '))
            text.chop(1);
        // Without its unit a number must fill the five characters the field shows: a
        // shorter one may be the start of an answer cut short by a pause.
        return IsPlainDecimal(text) && (withUnit || text.size() >= kShownWidth);
    }
    case Rule::NumberAndUnit: {
        const std::optional<QStringView> number = BeforeUnit(text, unit, true);
        return number && IsPlainDecimal(*number);
    }
    case Rule::WholeAndUnit: {
        const std::optional<QStringView> number = BeforeUnit(text, unit, true);
        return number && IsWholeNumber(*number);
    }
    case Rule::Whole:
        return IsWholeNumber(text);
    case Rule::Word:
        return IsWord(text);
    case Rule::LevelWidth:
        return TwoFields(text, QLatin1String("ms"), IsWholeNumber);
    case Rule::StepLevel:
        return TwoFields(text, QLatin1String("s"), IsPlainDecimal);
    case Rule::StepCompare:
        return IsStepCompare(text);
    case Rule::Measurement:
        return IsMeasurement(layout, text.toString());
    case Rule::Identity:
        return IsIdentity(text);
    case Rule::Anything:
        return true;
    }
    return false;
}

QString ExpectedShape(ReplyCode code, MeasurementLayout layout)
{
    const Shape shape = ShapeOf(code);
    const QString unit = QString::fromLatin1(shape.unit);
    switch (shape.rule) {
    case Rule::Nothing:
        return QStringLiteral("no reply");
    case Rule::NumberMaybeUnit:
        return QStringLiteral("a number with the unit \"%1\" (or of five characters without it)").arg(unit);
    case Rule::NumberAndUnit:
        return QStringLiteral("a number followed by the unit \"%1\"").arg(unit);
    case Rule::WholeAndUnit:
        return QStringLiteral("a whole number followed by the unit \"%1\"").arg(unit);
    case Rule::Whole:
        return QStringLiteral("a whole number");
    case Rule::Word:
        return QStringLiteral("a word of one to eight letters");
    case Rule::LevelWidth:
        return QStringLiteral("a level and a width in milliseconds, such as \"1.000,10ms\"");
    case Rule::StepLevel:
        return QStringLiteral("a level and a dwell time in seconds, such as \"0.200,5s\"");
    case Rule::StepCompare:
        return QStringLiteral("a comparison and its low and high limits, such as \"curr,0.100,0.300,\"");
    case Rule::Measurement:
        switch (layout) {
        case MeasurementLayout::Main:
            return QStringLiteral("a reading of voltage and current, such as \"11.94V,1.000A,11.94W\"");
        case MeasurementLayout::Battery:
            return QStringLiteral("a battery reading of voltage, current, time and capacity, such as \"12.55 "
                                  "V,0.300 A,125s,0.010Ah\"");
        case MeasurementLayout::List:
            return QStringLiteral("a list reading beginning \"L1\", \"L2\" or \"L3\"");
        }
        break;
    case Rule::Identity:
        return QStringLiteral("an identity such as \"MAKER,MODEL,SERIAL,VERSION\"");
    case Rule::Anything:
        return QStringLiteral("any reply");
    }
    return {};
}
