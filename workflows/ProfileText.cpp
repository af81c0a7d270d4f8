#include "workflows/ProfileForms.h"

#include <QStringList>
#include <algorithm>
#include <cmath>

using namespace ProfileForms;

namespace {

// ---- Reading ----------------------------------------------------------------------------

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

} // namespace

Profile ProfileForms::ReadText(const QByteArray& bytes)
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

namespace {

// ---- Writing ---------------------------------------------------------------------------

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

} // namespace

QByteArray WriteProfileText(const Profile& profile)
{
    QString out;
    if (!profile.limit.empty())
        out += QStringLiteral("Stop the run ") + Joined(profile.limit, LimitText) + u'\n';
    WriteSteps(profile.steps, 0, out);
    return out.toUtf8();
}
