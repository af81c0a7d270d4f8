#include "workflows/ListFile.h"

#include "replies/Numbers.h"
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

// Where the key stands, for the message of a value that parsed but makes no sense: the
// top-level key's line, or within the n-th row's braces (the row's first line when the
// key is missing there). Texts in the file rarely hold braces; where they do, the line
// may be off, never the field.
int LineOfKey(const QByteArray& json, const QByteArray& key, int row)
{
    const QByteArray quoted = '"' + key + '"';
    if (row < 0) {
        const qsizetype at = json.indexOf(quoted);
        return LineAt(json, at < 0 ? 0 : at);
    }
    qsizetype begin = json.indexOf("\"rows\"");
    for (int i = 0; i <= row && begin >= 0; ++i)
        begin = json.indexOf('{', begin + 1);
    if (begin < 0)
        return LineAt(json, json.indexOf("\"rows\"") < 0 ? 0 : json.indexOf("\"rows\""));
    const qsizetype end = json.indexOf('}', begin);
    const qsizetype at = json.indexOf(quoted, begin);
    return LineAt(json, at >= 0 && (end < 0 || at < end) ? at : begin);
}

[[noreturn]] void Refuse(const QByteArray& json, const QByteArray& key, int row, const QString& what)
{
    throw EListFile(QStringLiteral("Line %1, \"%2\": %3")
                        .arg(LineOfKey(json, key, row))
                        .arg(QString::fromLatin1(key), what)
                        .toStdString());
}

// A plain decimal the instrument can take: digits beyond any double are none.
bool IsNumber(const QString& text)
{
    try {
        return PlainDecimal(text).has_value();
    } catch (const EConvertError&) {
        return false;
    }
}

// A refused text as the message quotes it: long enough to recognise, never a screenful.
QString Clipped(const QString& text)
{
    constexpr qsizetype kLongest = 200;
    return text.size() > kLongest ? text.left(kLongest) + QStringLiteral("...") : text;
}

QString Text(const QJsonObject& object, const char* key, const QByteArray& json, int row)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        Refuse(json, key, row, QStringLiteral("a text is needed"));
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
        throw EListFile(QStringLiteral("Line %1: %2")
                            .arg(LineAt(json, error.offset))
                            .arg(error.errorString())
                            .toStdString());
    if (!document.isObject())
        throw EListFile("Line 1: a list program is one JSON object");
    const QJsonObject root = document.object();

    ListProgram program;
    const QJsonValue steps = root.value(QLatin1String("steps"));
    if (!steps.isDouble() || steps.toDouble() != steps.toInt()
        || !ListStepCount(QString::number(steps.toInt())))
        Refuse(json, "steps", -1,
            QStringLiteral("a whole number of steps from 1 to %1 is needed").arg(kListSteps));
    program.steps = steps.toInt();
    const QString stepping = Text(root, "stepping", json, -1);
    if (stepping != u"auto" && stepping != u"trigger")
        Refuse(json, "stepping", -1, QStringLiteral("\"auto\" or \"trigger\" is needed"));
    program.autoStep = stepping == u"auto";
    const QJsonValue repeat = root.value(QLatin1String("repeat"));
    if (!repeat.isBool())
        Refuse(json, "repeat", -1, QStringLiteral("true or false is needed"));
    program.repeat = repeat.toBool();

    const QJsonArray rows = root.value(QLatin1String("rows")).toArray();
    // Rows past the last step may be left out; the editor keeps its defaults there.
    if (rows.size() < program.steps || rows.size() > kListSteps)
        Refuse(json, "rows", -1,
            QStringLiteral("from %1 to %2 rows are needed, one per step").arg(program.steps).arg(kListSteps));
    for (int n = 0; n < rows.size(); ++n) {
        if (!rows[n].isObject())
            Refuse(json, "rows", -1, QStringLiteral("row %1 is no object").arg(n));
        const QJsonObject row = rows[n].toObject();
        ListRow& r = program.rows[static_cast<size_t>(n)];
        r.mode = Text(row, "mode", json, n);
        if (ModeItem(r.mode) < 0)
            Refuse(json, "mode", n,
                QStringLiteral("one of %1 is needed").arg(kModes.join(QStringLiteral(", "))));
        r.compare = Text(row, "compare", json, n);
        if (CompareItem(r.compare) < 0)
            Refuse(json, "compare", n,
                QStringLiteral("one of %1 is needed").arg(kCompares.join(QStringLiteral(", "))));
        for (const auto& [key, field] : { std::pair { "value", &r.value }, std::pair { "delay", &r.delay },
                 std::pair { "low", &r.low }, std::pair { "high", &r.high } }) {
            *field = Text(row, key, json, n);
            if (!IsNumber(*field))
                Refuse(json, key, n,
                    QStringLiteral("a number such as 12.5 is needed, not \"%1\"").arg(Clipped(*field)));
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
