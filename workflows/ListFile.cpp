#include "workflows/ListFile.h"

#include "workflows/InputRules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

const QStringList kModes { "CC", "CV", "CP", "CR", "SHORT", "OPEN" };
const QStringList kCompares { "curr", "volt", "pow", "off" };

// The line of a JSON text at a byte offset, counted from 1.
int LineAt(const QByteArray& json, qsizetype offset)
{
    return static_cast<int>(json.left(offset).count('\n')) + 1;
}

// The line of the n-th (from 0) occurrence of a key, for the message of a value that
// parsed but makes no sense; the first line when it cannot be found.
int LineOfKey(const QByteArray& json, const QByteArray& key, int n)
{
    const QByteArray quoted = '"' + key + '"';
    qsizetype at = -1;
    for (int i = 0; i <= n; ++i) {
        at = json.indexOf(quoted, at + 1);
        if (at < 0)
            return 1;
    }
    return LineAt(json, at);
}

[[noreturn]] void Refuse(const QByteArray& json, const QByteArray& key, int occurrence, const QString& what)
{
    throw EListFile(QStringLiteral("Line %1, \"%2\": %3")
                        .arg(LineOfKey(json, key, occurrence))
                        .arg(QString::fromLatin1(key), what)
                        .toStdString());
}

QString Text(const QJsonObject& object, const char* key, const QByteArray& json, int occurrence)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        Refuse(json, key, occurrence, QStringLiteral("a text is needed"));
    return value.toString();
}

} // namespace

int ModeItem(const QString& mode)
{
    return static_cast<int>(kModes.indexOf(mode.toUpper()));
}

int CompareItem(const QString& word)
{
    return static_cast<int>(kCompares.indexOf(word.toLower()));
}

ListProgram ReadListProgram(const QByteArray& json)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        throw EListFile(
            QStringLiteral("Line %1: %2").arg(LineAt(json, error.offset)).arg(error.errorString()).toStdString());
    if (!document.isObject())
        throw EListFile("Line 1: a list program is one JSON object");
    const QJsonObject root = document.object();

    ListProgram program;
    const QJsonValue steps = root.value(QLatin1String("steps"));
    if (!steps.isDouble() || steps.toDouble() != steps.toInt() || !ListStepCount(QString::number(steps.toInt())))
        Refuse(json, "steps", 0, QStringLiteral("a whole number of steps from 1 to %1 is needed").arg(kListSteps));
    program.steps = steps.toInt();
    const QString stepping = Text(root, "stepping", json, 0);
    if (stepping != u"auto" && stepping != u"trigger")
        Refuse(json, "stepping", 0, QStringLiteral("\"auto\" or \"trigger\" is needed"));
    program.autoStep = stepping == u"auto";
    const QJsonValue repeat = root.value(QLatin1String("repeat"));
    if (!repeat.isBool())
        Refuse(json, "repeat", 0, QStringLiteral("true or false is needed"));
    program.repeat = repeat.toBool();

    const QJsonArray rows = root.value(QLatin1String("rows")).toArray();
    // Rows past the last step may be left out; the editor keeps its defaults there.
    if (rows.size() < program.steps || rows.size() > kListSteps)
        Refuse(json, "rows", 0,
            QStringLiteral("from %1 to %2 rows are needed, one per step").arg(program.steps).arg(kListSteps));
    for (int n = 0; n < rows.size(); ++n) {
        if (!rows[n].isObject())
            Refuse(json, "rows", 0, QStringLiteral("row %1 is no object").arg(n));
        const QJsonObject row = rows[n].toObject();
        ListRow& r = program.rows[static_cast<size_t>(n)];
        r.mode = Text(row, "mode", json, n);
        if (ModeItem(r.mode) < 0)
            Refuse(json, "mode", n, QStringLiteral("one of %1 is needed").arg(kModes.join(QStringLiteral(", "))));
        r.compare = Text(row, "compare", json, n);
        if (CompareItem(r.compare) < 0)
            Refuse(json, "compare", n,
                QStringLiteral("one of %1 is needed").arg(kCompares.join(QStringLiteral(", "))));
        for (const auto& [key, field] : { std::pair { "value", &r.value }, std::pair { "delay", &r.delay },
                 std::pair { "low", &r.low }, std::pair { "high", &r.high } }) {
            *field = Text(row, key, json, n);
            if (!PlainDecimal(*field))
                Refuse(json, key, n, QStringLiteral("a number such as 12.5 is needed, not \"%1\"").arg(*field));
        }
    }
    return program;
}

QByteArray WriteListProgram(const ListProgram& program)
{
    QJsonArray rows;
    for (const ListRow& r : program.rows) {
        rows.append(QJsonObject { { "mode", r.mode }, { "value", r.value }, { "delay", r.delay },
            { "compare", r.compare }, { "low", r.low }, { "high", r.high } });
    }
    const QJsonObject root { { "steps", program.steps },
        { "stepping", program.autoStep ? QStringLiteral("auto") : QStringLiteral("trigger") },
        { "repeat", program.repeat }, { "rows", rows } };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}
