// A results grid written as CSV must read back, field for field, as the grid's texts:
// whatever a title or a cell holds (commas, quotes, line breaks, NUL, any script).
#include "fuzz/FuzzTargets.h"
#include "store/CsvExport.h"
#include "store/ResultsModel.h"

#include <QBuffer>
#include <vector>

namespace {

constexpr char kFieldEnd = '\x1f'; // between the texts in the input

// A strict reader of what the export promises: CRLF line ends, a field quoted when it
// must be, inner quotes doubled, nothing after a closing quote but a comma or the line end.
std::vector<QStringList> ReadCsv(const QString& csv)
{
    std::vector<QStringList> lines;
    QStringList fields;
    qsizetype at = 0;
    const auto lineEndAt = [&](qsizetype i) { return csv.mid(i, 2) == u"\r\n"; };
    while (at < csv.size()) {
        QString field;
        if (csv[at] == u'"') {
            for (++at;; ++at) {
                Promise(at < csv.size(), "unclosed quote");
                if (csv[at] != u'"') {
                    field += csv[at];
                } else if (at + 1 < csv.size() && csv[at + 1] == u'"') {
                    field += u'"';
                    ++at;
                } else {
                    ++at;
                    break;
                }
            }
        } else {
            for (; at < csv.size() && csv[at] != u',' && !lineEndAt(at); ++at) {
                Promise(
                    csv[at] != u'"' && csv[at] != u'\r' && csv[at] != u'\n', "unquoted field needs quotes");
                field += csv[at];
            }
        }
        fields << field;
        if (lineEndAt(at)) {
            lines.push_back(fields);
            fields.clear();
            at += 2;
        } else {
            Promise(at < csv.size() && csv[at] == u',', "field not followed by a comma or CRLF");
            ++at;
        }
    }
    Promise(fields.isEmpty(), "last line without CRLF");
    return lines;
}

} // namespace

void FuzzCsvWriter(const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    // Every results table has an id column, so a grid has at least one.
    const qsizetype columns = 1 + data[0] % 6;
    QStringList texts;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const char* end = reinterpret_cast<const char*>(data + size);
    for (const char* at = text;; ++at) {
        if (at == end || *at == kFieldEnd) {
            texts << QString::fromUtf8(text, at - text);
            if (at == end)
                break;
            text = at + 1;
        }
    }
    while (texts.size() < columns || texts.size() % columns != 0)
        texts << QString();

    std::vector<QStringList> expected { texts.mid(0, columns) };
    ResultsModel model(expected.front());
    for (qsizetype row = columns; row < texts.size(); row += columns) {
        expected.push_back(texts.mid(row, columns));
        model.AppendRow(texts[row], texts.mid(row + 1, columns - 1));
    }
    for (const QString& t : texts) {
        const QString field = CsvField(t);
        Promise(
            field == t || (field.startsWith(u'"') && field.endsWith(u'"')), "changed field left unquoted");
    }

    QBuffer out;
    out.open(QIODevice::WriteOnly);
    WriteCsv(model, out);
    const QByteArray bytes = out.data();
    Promise(QString::fromUtf8(bytes).toUtf8() == bytes, "CSV file is no UTF-8");
    Promise(ReadCsv(QString::fromUtf8(bytes)) == expected, "CSV file reads back other texts");
}
