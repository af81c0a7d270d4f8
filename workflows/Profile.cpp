#include "workflows/Profile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <optional>

namespace {

// Loops deeper than this are a mistake in the file rather than a plan.
constexpr int kDeepestLoop = 8;
constexpr int kMostRepeats = 10000;
constexpr double kLongestPulse = 60;

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

enum class Quantity { Current, Voltage, Power, Resistance, Duration, Capacity, Energy };

struct QuantityInfo
{
    const char* noun;
    const char* example;
    const char* unit;
    double lowest;
    double highest;
};

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

bool IsDischarge(StepKind kind)
{
    return kind == StepKind::DischargeCurrent || kind == StepKind::DischargePower
        || kind == StepKind::DischargeResistance;
}

// ---- Writing ---------------------------------------------------------------------------

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

QString Joined(const EndConditions& conditions, QString (*text)(const EndCondition&))
{
    QStringList parts;
    for (const EndCondition& c : conditions)
        parts << text(c);
    return parts.join(QStringLiteral(" or "));
}

QString StepText(const ProfileStep& step)
{
    switch (step.kind) {
    case StepKind::DischargeCurrent:
    case StepKind::DischargePower:
    case StepKind::DischargeResistance: {
        QString text = QStringLiteral("Discharge at ") + WithUnit(*SettingQuantity(step.kind), step.setting)
            + u' ' + Joined(step.until, UntilText);
        if (step.resistanceEverySeconds > 0)
            text += QStringLiteral(", measuring resistance every ")
                + DurationText(step.resistanceEverySeconds);
        if (step.resistanceEveryAmpHours > 0)
            text += QStringLiteral(", measuring resistance every ")
                + WithUnit(Quantity::Capacity, step.resistanceEveryAmpHours);
        if (step.resistancePulseCurrent > 0)
            text += QStringLiteral(" with a ") + WithUnit(Quantity::Current, step.resistancePulseCurrent)
                + QStringLiteral(" pulse");
        return text;
    }
    case StepKind::HoldVoltage:
        return QStringLiteral("Hold ") + WithUnit(Quantity::Voltage, step.setting) + u' '
            + Joined(step.until, UntilText);
    case StepKind::Rest:
        return QStringLiteral("Rest ") + Joined(step.until, UntilText);
    case StepKind::Pulse:
        return QStringLiteral("Pulse ") + WithUnit(Quantity::Current, step.setting) + QStringLiteral(" for ")
            + DurationText(step.seconds);
    case StepKind::MeasureResistance:
        return QStringLiteral("Measure resistance with a ") + WithUnit(Quantity::Current, step.setting)
            + QStringLiteral(" pulse for ") + DurationText(step.seconds);
    case StepKind::Repeat:
        return QStringLiteral("Repeat %1 %2:").arg(step.times).arg(step.times == 1 ? "time" : "times");
    }
    return {};
}

void WriteSteps(const std::vector<ProfileStep>& steps, int depth, QString& out)
{
    for (const ProfileStep& step : steps) {
        out += QString(depth * 4, u' ') + StepText(step) + u'\n';
        if (step.kind == StepKind::Repeat)
            WriteSteps(step.steps, depth + 1, out);
    }
}

const char* const kEndKeys[]
    = { "voltageBelow", "voltageAbove", "currentBelow", "seconds", "ampHours", "wattHours" };

QJsonObject EndsJson(const EndConditions& conditions)
{
    QJsonObject object;
    for (const EndCondition& c : conditions)
        object.insert(QLatin1String(kEndKeys[static_cast<int>(c.kind)]), c.value);
    return object;
}

QJsonArray StepsJson(const std::vector<ProfileStep>& steps)
{
    QJsonArray array;
    for (const ProfileStep& step : steps) {
        QJsonObject object;
        switch (step.kind) {
        case StepKind::DischargeCurrent:
        case StepKind::DischargePower:
        case StepKind::DischargeResistance:
            object.insert("kind", "discharge");
            object.insert(step.kind == StepKind::DischargeCurrent ? "current"
                    : step.kind == StepKind::DischargePower       ? "power"
                                                                  : "resistance",
                step.setting);
            object.insert("until", EndsJson(step.until));
            if (step.resistanceEverySeconds > 0)
                object.insert(
                    "measureResistanceEvery", QJsonObject { { "seconds", step.resistanceEverySeconds } });
            if (step.resistanceEveryAmpHours > 0)
                object.insert(
                    "measureResistanceEvery", QJsonObject { { "ampHours", step.resistanceEveryAmpHours } });
            if (step.resistancePulseCurrent > 0) {
                QJsonObject every = object.value("measureResistanceEvery").toObject();
                every.insert("current", step.resistancePulseCurrent);
                object.insert("measureResistanceEvery", every);
            }
            break;
        case StepKind::HoldVoltage:
            object = { { "kind", "hold" }, { "voltage", step.setting }, { "until", EndsJson(step.until) } };
            break;
        case StepKind::Rest:
            object = { { "kind", "rest" }, { "until", EndsJson(step.until) } };
            break;
        case StepKind::Pulse:
        case StepKind::MeasureResistance:
            object = { { "kind", step.kind == StepKind::Pulse ? "pulse" : "measureResistance" },
                { "current", step.setting }, { "seconds", step.seconds } };
            break;
        case StepKind::Repeat:
            object = { { "kind", "repeat" }, { "times", step.times }, { "steps", StepsJson(step.steps) } };
            break;
        }
        array.append(object);
    }
    return array;
}

// ---- Checks shared by both forms --------------------------------------------------------

void CheckValue(int line, Quantity q, double value, const char* what = nullptr)
{
    const QuantityInfo& info = Info(q);
    if (!(value >= info.lowest && value <= info.highest))
        throw EProfile(line,
            QStringLiteral("%1 from %2 to %3")
                .arg(what ? QLatin1String(what) : QLatin1String(info.noun), WithUnit(q, info.lowest),
                    WithUnit(q, info.highest)),
            WithUnit(q, value));
}

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

// The step's own fields; a loop's body is checked as it is read.
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

// ---- The text form ----------------------------------------------------------------------

struct Token
{
    enum Type { Word, Number, Mark, End } type = End;
    QString text; // lower case for words
    double number = 0;
    qsizetype at = 0; // where it starts in the line
};

struct Unit
{
    const char* word;
    Quantity quantity;
    double factor;
    double divisor; // milli-units are divided, so "100 mA" is exactly what "0.1 A" is
};

const Unit kUnits[] = {
    { "a", Quantity::Current, 1, 1 },
    { "ma", Quantity::Current, 1, 1000 },
    { "v", Quantity::Voltage, 1, 1 },
    { "mv", Quantity::Voltage, 1, 1000 },
    { "w", Quantity::Power, 1, 1 },
    { "ohm", Quantity::Resistance, 1, 1 },
    { "ohms", Quantity::Resistance, 1, 1 },
    { "\u03c9", Quantity::Resistance, 1, 1 }, // Ω (omega or the ohm sign), lowered; UTF-8
    { "s", Quantity::Duration, 1, 1 },
    { "sec", Quantity::Duration, 1, 1 },
    { "second", Quantity::Duration, 1, 1 },
    { "seconds", Quantity::Duration, 1, 1 },
    { "min", Quantity::Duration, 60, 1 },
    { "mins", Quantity::Duration, 60, 1 },
    { "minute", Quantity::Duration, 60, 1 },
    { "minutes", Quantity::Duration, 60, 1 },
    { "h", Quantity::Duration, 3600, 1 },
    { "hour", Quantity::Duration, 3600, 1 },
    { "hours", Quantity::Duration, 3600, 1 },
    { "ah", Quantity::Capacity, 1, 1 },
    { "mah", Quantity::Capacity, 1, 1000 },
    { "wh", Quantity::Energy, 1, 1 },
};

class LineReader
{
public:
    LineReader(const QString& text, int line)
        : text_(text)
        , line_(line)
    {
        Split();
    }

    [[noreturn]] void Fail(const QString& expected) const
    {
        const Token& t = tokens_[pos_];
        throw EProfile(line_, expected,
            t.type == Token::End ? QStringLiteral("the end of the line") : Quoted(text_.mid(t.at).trimmed()));
    }

    const Token& Peek() const { return tokens_[pos_]; }
    bool AtEnd() const { return tokens_[pos_].type == Token::End; }

    bool Accept(const char* word)
    {
        const Token& t = tokens_[pos_];
        if ((t.type == Token::Word || t.type == Token::Mark) && t.text == QLatin1String(word)) {
            ++pos_;
            return true;
        }
        return false;
    }

    void Expect(const char* word)
    {
        if (!Accept(word))
            Fail(u'"' + QLatin1String(word) + u'"');
    }

    void ExpectEnd()
    {
        if (!AtEnd())
            Fail(QStringLiteral("the end of the line"));
    }

    // A number and its unit, which must be one of the quantities given.
    std::pair<Quantity, double> Quantities(std::initializer_list<Quantity> wanted, const QString& expected)
    {
        const Token& number = tokens_[pos_];
        const Token& unit = tokens_[pos_ + (number.type == Token::End ? 0 : 1)];
        if (number.type != Token::Number || unit.type != Token::Word)
            Fail(expected);
        for (const Unit& u : kUnits) {
            if (unit.text == QString::fromUtf8(u.word)
                && std::find(wanted.begin(), wanted.end(), u.quantity) != wanted.end()) {
                pos_ += 2;
                return { u.quantity, number.number * u.factor / u.divisor };
            }
        }
        Fail(expected);
    }

    double Value(Quantity q)
    {
        return Quantities({ q }, QStringLiteral("%1 such as \"%2\"").arg(Info(q).noun, Info(q).example))
            .second;
    }

    int Count(const QString& expected)
    {
        const Token& t = tokens_[pos_];
        if (t.type != Token::Number || t.text.contains(u'.') || t.text.contains(u','))
            Fail(expected);
        ++pos_;
        return t.number > kMostRepeats ? kMostRepeats + 1 : static_cast<int>(t.number);
    }

private:
    void Split()
    {
        qsizetype i = 0;
        const qsizetype n = text_.size();
        while (i < n) {
            const QChar c = text_[i];
            if (c.isSpace()) {
                ++i;
                continue;
            }
            Token t;
            t.at = i;
            const auto digitAt = [&](qsizetype k) { return k < n && text_[k].isDigit(); };
            if (c.isDigit() || ((c == u'.' || c == u',') && digitAt(i + 1))) {
                qsizetype j = i;
                while (digitAt(j))
                    ++j;
                if (j < n && (text_[j] == u'.' || text_[j] == u',') && digitAt(j + 1)) {
                    ++j;
                    while (digitAt(j))
                        ++j;
                }
                t.type = Token::Number;
                t.text = text_.mid(i, j - i);
                bool ok = false;
                t.number = QString(t.text).replace(u',', u'.').toDouble(&ok);
                if (!ok || !std::isfinite(t.number)) {
                    throw EProfile(line_, QStringLiteral("a number of sane size"), Quoted(t.text));
                }
                i = j;
            } else if (c.isLetter()) {
                qsizetype j = i;
                while (j < n && text_[j].isLetter())
                    ++j;
                t.type = Token::Word;
                t.text = text_.mid(i, j - i).toLower();
                i = j;
            } else {
                t.type = Token::Mark;
                t.text = c;
                ++i;
            }
            tokens_.push_back(t);
        }
        Token end;
        end.at = n;
        tokens_.push_back(end);
    }

    QString text_;
    int line_;
    std::vector<Token> tokens_;
    size_t pos_ = 0;
};

const QString kEndExpected
    = QStringLiteral("\"until\" a voltage or current, or \"for\" a duration, capacity or energy");

EndConditions ReadEnds(LineReader& in)
{
    EndConditions ends;
    do {
        if (in.Accept("until")) {
            const bool above = in.Accept("above");
            if (!above)
                in.Accept("below");
            const auto [q, value] = in.Quantities({ Quantity::Voltage, Quantity::Current },
                QStringLiteral("a voltage such as \"3.0 V\" or a current such as \"0.1 A\""));
            if (q == Quantity::Current && above)
                in.Fail(QStringLiteral("a current to fall below, never above"));
            ends.push_back({ q == Quantity::Current ? EndKind::CurrentBelow
                    : above                         ? EndKind::VoltageAbove
                                                    : EndKind::VoltageBelow,
                value });
        } else if (in.Accept("for")) {
            const auto [q, value]
                = in.Quantities({ Quantity::Duration, Quantity::Capacity, Quantity::Energy },
                    QStringLiteral("a duration such as \"30 s\", a capacity such as \"1.5 Ah\" or an energy "
                                   "such as \"5 Wh\""));
            ends.push_back({ q == Quantity::Duration ? EndKind::Duration
                    : q == Quantity::Capacity        ? EndKind::Capacity
                                                     : EndKind::Energy,
                value });
        } else {
            in.Fail(kEndExpected);
        }
    } while (in.Accept("or"));
    return ends;
}

EndConditions ReadLimit(LineReader& in)
{
    EndConditions ends;
    do {
        if (in.Accept("at") || in.Accept("below")) {
            ends.push_back({ EndKind::VoltageBelow, in.Value(Quantity::Voltage) });
        } else if (in.Accept("above")) {
            ends.push_back({ EndKind::VoltageAbove, in.Value(Quantity::Voltage) });
        } else if (in.Accept("after")) {
            const auto [q, value]
                = in.Quantities({ Quantity::Duration, Quantity::Capacity, Quantity::Energy },
                    QStringLiteral("a duration such as \"10 hours\", a capacity such as \"1.5 Ah\" or an "
                                   "energy such as \"5 Wh\""));
            ends.push_back({ q == Quantity::Duration ? EndKind::Duration
                    : q == Quantity::Capacity        ? EndKind::Capacity
                                                     : EndKind::Energy,
                value });
        } else {
            in.Fail(QStringLiteral("\"at\" a voltage or \"after\" a duration, capacity or energy"));
        }
    } while (in.Accept("or"));
    return ends;
}

ProfileStep ReadStep(LineReader& in, int line)
{
    ProfileStep step;
    step.line = line;
    if (in.Accept("discharge")) {
        in.Expect("at");
        const auto [q, value] = in.Quantities({ Quantity::Current, Quantity::Power, Quantity::Resistance },
            QStringLiteral("a current, power or resistance such as \"2 A\", \"5 W\" or \"4 ohm\""));
        step.kind = q == Quantity::Current ? StepKind::DischargeCurrent
            : q == Quantity::Power         ? StepKind::DischargePower
                                           : StepKind::DischargeResistance;
        step.setting = value;
        step.until = ReadEnds(in);
        if (in.Accept(",")) {
            in.Expect("measuring");
            in.Expect("resistance");
            in.Expect("every");
            const auto [every, amount] = in.Quantities({ Quantity::Duration, Quantity::Capacity },
                QStringLiteral("a duration such as \"5 minutes\" or a capacity such as \"0.1 Ah\""));
            // Checked here, as a zero would read as no measuring at all.
            CheckValue(line, every, amount, "an interval");
            (every == Quantity::Duration ? step.resistanceEverySeconds : step.resistanceEveryAmpHours)
                = amount;
            if (in.Accept("with")) {
                if (!in.Accept("a"))
                    in.Accept("an");
                step.resistancePulseCurrent = in.Value(Quantity::Current);
                in.Expect("pulse");
            }
        }
    } else if (in.Accept("hold")) {
        step.kind = StepKind::HoldVoltage;
        step.setting = in.Value(Quantity::Voltage);
        step.until = ReadEnds(in);
    } else if (in.Accept("rest")) {
        step.kind = StepKind::Rest;
        step.until = ReadEnds(in);
    } else if (in.Accept("pulse")) {
        step.kind = StepKind::Pulse;
        step.setting = in.Value(Quantity::Current);
        in.Expect("for");
        step.seconds = in.Value(Quantity::Duration);
    } else if (in.Accept("measure")) {
        step.kind = StepKind::MeasureResistance;
        in.Expect("resistance");
        in.Expect("with");
        if (!in.Accept("a"))
            in.Accept("an");
        step.setting = in.Value(Quantity::Current);
        in.Expect("pulse");
        in.Expect("for");
        step.seconds = in.Value(Quantity::Duration);
    } else if (in.Accept("repeat")) {
        step.kind = StepKind::Repeat;
        step.times = in.Count(QStringLiteral("a whole number of times such as \"3 times\""));
        if (!in.Accept("times"))
            in.Expect("time");
        in.Expect(":");
    } else {
        in.Fail(QStringLiteral("a step: Discharge, Hold, Rest, Pulse, Measure, Repeat or Stop the run"));
    }
    in.ExpectEnd();
    CheckStep(step);
    return step;
}

int Indent(const QString& line)
{
    int width = 0;
    for (const QChar c : line) {
        if (c == u' ')
            ++width;
        else if (c == u'\t')
            width = (width / 8 + 1) * 8;
        else
            break;
    }
    return width;
}

Profile ReadText(const QByteArray& bytes)
{
    Profile profile;
    struct Block
    {
        int indent;
        std::vector<ProfileStep>* steps;
        int headerLine; // 0 for the whole profile
    };
    // The whole profile is a block like a loop's body: its first line sets its indentation.
    std::vector<Block> open { { -1, &profile.steps, 0 } };
    bool wantBody = true; // the next line opens a block
    const QList<QByteArray> lines = bytes.split('\n');
    int lineNumber = 0;

    const auto closeTo = [&](size_t depth) {
        while (open.size() > depth)
            open.pop_back();
    };

    for (const QByteArray& raw : lines) {
        ++lineNumber;
        QString text = QString::fromUtf8(raw);
        if (const qsizetype hash = text.indexOf(u'#'); hash >= 0)
            text.truncate(hash);
        if (text.trimmed().isEmpty())
            continue;
        const int indent = Indent(text);
        LineReader in(text, lineNumber);

        if (wantBody) {
            if (indent <= open.back().indent)
                throw EProfile(lineNumber,
                    QStringLiteral("the steps of the loop on line %1, indented further")
                        .arg(open.back().headerLine),
                    Quoted(text.trimmed()));
            open.back().indent = indent;
            wantBody = false;
        } else {
            size_t depth = open.size();
            while (depth > 0 && open[depth - 1].indent > indent)
                --depth;
            if (depth == 0 || open[depth - 1].indent != indent)
                throw EProfile(
                    lineNumber, QStringLiteral("the indentation of a step above"), Quoted(text.trimmed()));
            closeTo(depth);
        }

        if (in.Accept("stop")) {
            if (open.size() > 1)
                throw EProfile(
                    lineNumber, QStringLiteral("\"Stop the run\" outside any loop"), Quoted(text.trimmed()));
            in.Expect("the");
            in.Expect("run");
            const EndConditions limit = ReadLimit(in);
            in.ExpectEnd();
            profile.limit.insert(profile.limit.end(), limit.begin(), limit.end());
            if (profile.limitLine == 0)
                profile.limitLine = lineNumber;
            // Several lines add up to one limit; the check names the line that added last.
            const int first = profile.limitLine;
            profile.limitLine = lineNumber;
            CheckLimit(profile);
            profile.limitLine = first;
            continue;
        }

        std::vector<ProfileStep>& into = *open.back().steps;
        into.push_back(ReadStep(in, lineNumber));
        if (into.back().kind == StepKind::Repeat) {
            if (static_cast<int>(open.size()) > kDeepestLoop)
                throw EProfile(lineNumber, QStringLiteral("loops nested at most %1 deep").arg(kDeepestLoop),
                    QStringLiteral("a loop %1 deep").arg(open.size()));
            // Only the innermost open list ever grows, so the outer pointers stay valid.
            open.push_back({ indent, &into.back().steps, lineNumber });
            wantBody = true;
        }
    }
    if (wantBody && open.size() > 1)
        throw EProfile(lineNumber + 1,
            QStringLiteral("the steps of the loop on line %1, indented further").arg(open.back().headerLine),
            QStringLiteral("the end of the file"));
    if (profile.steps.empty())
        throw EProfile(lineNumber, QStringLiteral("at least one step"), QStringLiteral("none"));
    return profile;
}

// ---- The JSON form ----------------------------------------------------------------------

int LineAt(const QByteArray& json, qsizetype offset)
{
    return static_cast<int>(json.left(offset).count('\n')) + 1;
}

class JsonReader
{
public:
    explicit JsonReader(const QByteArray& json)
        : json_(json)
    {
        // Steps are met in the order they are written, each with one "kind", so the n-th
        // "kind" in the text is the n-th step visited: its line is the step's.
        for (qsizetype at = json.indexOf("\"kind\""); at >= 0; at = json.indexOf("\"kind\"", at + 1))
            kindLines_.push_back(LineAt(json, at));
    }

    std::vector<ProfileStep> Steps(const QJsonValue& value, int line, int depth)
    {
        if (!value.isArray() || value.toArray().isEmpty())
            throw EProfile(line, QStringLiteral("\"steps\": a list of at least one step"), Shown(value));
        if (depth > kDeepestLoop + 1)
            throw EProfile(line, QStringLiteral("loops nested at most %1 deep").arg(kDeepestLoop),
                QStringLiteral("a loop %1 deep").arg(depth));
        std::vector<ProfileStep> steps;
        for (const QJsonValue& item : value.toArray())
            steps.push_back(Step(item, depth));
        return steps;
    }

    EndConditions Ends(const QJsonValue& value, int line, const char* key)
    {
        if (!value.isObject())
            throw EProfile(line,
                QStringLiteral("\"%1\": an object such as {\"voltageBelow\": 3.0}").arg(QLatin1String(key)),
                Shown(value));
        const QJsonObject object = value.toObject();
        EndConditions ends;
        for (auto it = object.begin(); it != object.end(); ++it) {
            const auto known = std::find_if(std::begin(kEndKeys), std::end(kEndKeys),
                [&](const char* k) { return it.key() == QLatin1String(k); });
            if (known == std::end(kEndKeys))
                throw EProfile(line,
                    QStringLiteral("in \"%1\" one of voltageBelow, voltageAbove, currentBelow, seconds, "
                                   "ampHours, wattHours")
                        .arg(QLatin1String(key)),
                    Quoted(it.key()));
            ends.push_back(
                { static_cast<EndKind>(known - std::begin(kEndKeys)), Num(object, it.key(), line) });
        }
        return ends;
    }

    QString Shown(const QJsonValue& value) const
    {
        if (value.isUndefined())
            return QStringLiteral("nothing");
        QJsonArray wrap { value };
        QString text = QString::fromUtf8(QJsonDocument(wrap).toJson(QJsonDocument::Compact));
        return Clipped(text.mid(1, text.size() - 2));
    }

private:
    double Num(const QJsonObject& object, const QString& key, int line) const
    {
        const QJsonValue value = object.value(key);
        if (!value.isDouble())
            throw EProfile(line, QStringLiteral("\"%1\": a number").arg(key), Shown(value));
        return value.toDouble();
    }

    ProfileStep Step(const QJsonValue& item, int depth)
    {
        const int line = next_ < kindLines_.size() ? kindLines_[next_] : 1;
        ++next_;
        if (!item.isObject())
            throw EProfile(line, QStringLiteral("a step as an object with a \"kind\""), Shown(item));
        const QJsonObject object = item.toObject();
        ProfileStep step;
        step.line = line;
        const QString kind = object.value(QLatin1String("kind")).toString();
        QStringList keys { "kind" };
        if (kind == u"discharge") {
            const char* const settings[] = { "current", "power", "resistance" };
            int found = 0;
            for (int n = 0; n < 3; ++n) {
                if (object.contains(QLatin1String(settings[n]))) {
                    ++found;
                    step.kind = static_cast<StepKind>(static_cast<int>(StepKind::DischargeCurrent) + n);
                    step.setting = Num(object, QLatin1String(settings[n]), line);
                    keys << QLatin1String(settings[n]);
                }
            }
            if (found != 1)
                throw EProfile(line, QStringLiteral("one of \"current\", \"power\" or \"resistance\""),
                    QStringLiteral("%1 of them").arg(found));
            step.until = Ends(object.value(QLatin1String("until")), line, "until");
            keys << "until"
                 << "measureResistanceEvery";
            if (object.contains(QLatin1String("measureResistanceEvery"))) {
                const QJsonValue every = object.value(QLatin1String("measureResistanceEvery"));
                const QJsonObject o = every.toObject();
                const qsizetype keys = o.size() - (o.contains("current") ? 1 : 0);
                if (!every.isObject() || keys != 1 || !(o.contains("seconds") || o.contains("ampHours")))
                    throw EProfile(line,
                        QStringLiteral("\"measureResistanceEvery\": {\"seconds\": …} or {\"ampHours\": …}, "
                                       "optionally with \"current\""),
                        Shown(every));
                if (o.contains("current"))
                    step.resistancePulseCurrent = Num(o, QStringLiteral("current"), line);
                const bool bySeconds = o.contains("seconds");
                const double amount
                    = Num(o, bySeconds ? QStringLiteral("seconds") : QStringLiteral("ampHours"), line);
                // Checked here, as a zero would read as no measuring at all.
                CheckValue(line, bySeconds ? Quantity::Duration : Quantity::Capacity, amount, "an interval");
                (bySeconds ? step.resistanceEverySeconds : step.resistanceEveryAmpHours) = amount;
            }
        } else if (kind == u"hold") {
            step.kind = StepKind::HoldVoltage;
            step.setting = Num(object, QStringLiteral("voltage"), line);
            step.until = Ends(object.value(QLatin1String("until")), line, "until");
            keys << "voltage"
                 << "until";
        } else if (kind == u"rest") {
            step.kind = StepKind::Rest;
            step.until = Ends(object.value(QLatin1String("until")), line, "until");
            keys << "until";
        } else if (kind == u"pulse" || kind == u"measureResistance") {
            step.kind = kind == u"pulse" ? StepKind::Pulse : StepKind::MeasureResistance;
            step.setting = Num(object, QStringLiteral("current"), line);
            step.seconds = Num(object, QStringLiteral("seconds"), line);
            keys << "current"
                 << "seconds";
        } else if (kind == u"repeat") {
            step.kind = StepKind::Repeat;
            const double times = Num(object, QStringLiteral("times"), line);
            if (times != std::floor(times) || times < 1 || times > kMostRepeats)
                throw EProfile(line,
                    QStringLiteral("\"times\": a whole number from 1 to %1").arg(kMostRepeats),
                    Number(times));
            step.times = static_cast<int>(times);
            keys << "times"
                 << "steps";
            step.steps = Steps(object.value(QLatin1String("steps")), line, depth + 1);
        } else {
            throw EProfile(line,
                QStringLiteral("\"kind\": one of discharge, hold, rest, pulse, measureResistance, repeat"),
                Shown(object.value(QLatin1String("kind"))));
        }
        // A misspelt key would otherwise be dropped without a word, and the step run
        // without the end the operator meant it to have.
        for (auto it = object.begin(); it != object.end(); ++it)
            if (!keys.contains(it.key()))
                throw EProfile(line, QStringLiteral("for a %1 step one of %2").arg(kind, keys.join(u", ")),
                    Quoted(it.key()));
        CheckStep(step);
        return step;
    }

    QByteArray json_;
    std::vector<int> kindLines_;
    size_t next_ = 0;
};

Profile ReadJson(const QByteArray& json)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        throw EProfile(LineAt(json, error.offset), QStringLiteral("well-formed JSON"), error.errorString());
    if (!document.isObject())
        throw EProfile(1, QStringLiteral("one JSON object"), QStringLiteral("something else"));
    const QJsonObject root = document.object();
    for (auto it = root.begin(); it != root.end(); ++it)
        if (it.key() != u"steps" && it.key() != u"limit")
            throw EProfile(LineAt(json, std::max<qsizetype>(0, json.indexOf('"' + it.key().toUtf8() + '"'))),
                QStringLiteral("\"steps\" or \"limit\""), Quoted(it.key()));
    JsonReader reader(json);
    Profile profile;
    const qsizetype stepsAt = json.indexOf("\"steps\"");
    profile.steps
        = reader.Steps(root.value(QLatin1String("steps")), LineAt(json, std::max<qsizetype>(0, stepsAt)), 1);
    if (root.contains(QLatin1String("limit"))) {
        profile.limitLine = LineAt(json, std::max<qsizetype>(0, json.indexOf("\"limit\"")));
        profile.limit = reader.Ends(root.value(QLatin1String("limit")), profile.limitLine, "limit");
        if (profile.limit.empty())
            throw EProfile(
                profile.limitLine, QStringLiteral("a limit with at least one end"), QStringLiteral("none"));
        CheckLimit(profile);
    }
    return profile;
}

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

QByteArray WriteProfileText(const Profile& profile)
{
    QString out;
    if (!profile.limit.empty())
        out += QStringLiteral("Stop the run ") + Joined(profile.limit, LimitText) + u'\n';
    WriteSteps(profile.steps, 0, out);
    return out.toUtf8();
}

QByteArray WriteProfileJson(const Profile& profile)
{
    QJsonObject root { { "steps", StepsJson(profile.steps) } };
    if (!profile.limit.empty())
        root.insert("limit", EndsJson(profile.limit));
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

double LowestCutOff(const Profile& profile)
{
    double lowest = LowestIn(profile.steps, 0);
    for (const EndCondition& c : profile.limit)
        if (c.kind == EndKind::VoltageBelow && (lowest == 0 || c.value < lowest))
            lowest = c.value;
    return lowest;
}
