#include "workflows/ProfileForms.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <algorithm>
#include <cmath>

using namespace ProfileForms;

namespace {

const char* const kEndKeys[]
    = { "voltageBelow", "voltageAbove", "currentBelow", "seconds", "ampHours", "wattHours" };

// ---- Reading ----------------------------------------------------------------------------

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

} // namespace

Profile ProfileForms::ReadJson(const QByteArray& json)
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

namespace {

// ---- Writing ---------------------------------------------------------------------------

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

} // namespace

QByteArray WriteProfileJson(const Profile& profile)
{
    QJsonObject root { { "steps", StepsJson(profile.steps) } };
    if (!profile.limit.empty())
        root.insert("limit", EndsJson(profile.limit));
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}
