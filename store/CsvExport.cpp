#include "store/CsvExport.h"

#include <QAbstractItemModel>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>

namespace {

void WriteLine(QIODevice& out, const QStringList& fields)
{
    QString line;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += QLatin1Char(',');
        line += CsvField(fields[i]);
    }
    line += QLatin1String("\r\n");
    out.write(line.toUtf8());
}

[[noreturn]] void ThrowExportError(const QString& path, const QString& reason)
{
    throw ECsvExportError(QStringLiteral("Cannot write the CSV file \"%1\": %2")
                              .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()), reason)
                              .toStdString());
}

} // namespace

QString CsvField(const QString& text)
{
    static const QString kNeedsQuotes = QStringLiteral(",\"\r\n");
    const bool quote
        = std::any_of(text.cbegin(), text.cend(), [](QChar c) { return kNeedsQuotes.contains(c); });
    if (!quote)
        return text;
    QString doubled = text;
    doubled.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + doubled + QLatin1Char('"');
}

std::vector<CsvColumn> AllCsvColumns(const QAbstractItemModel& model)
{
    std::vector<CsvColumn> columns;
    for (int c = 0; c < model.columnCount(); ++c)
        columns.push_back({ c, model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(), {} });
    return columns;
}

void WriteCsv(const QAbstractItemModel& model, const std::vector<CsvColumn>& columns, QIODevice& out)
{
    QStringList fields;
    fields.reserve(static_cast<qsizetype>(columns.size()));
    for (const CsvColumn& column : columns)
        fields << column.title;
    WriteLine(out, fields);
    const int rows = model.rowCount();
    for (int r = 0; r < rows; ++r) {
        fields.clear();
        for (const CsvColumn& column : columns) {
            const QString cell = model.data(model.index(r, column.section), Qt::DisplayRole).toString();
            fields << (column.derive ? column.derive(cell) : cell);
        }
        WriteLine(out, fields);
    }
}

void WriteCsv(const QAbstractItemModel& model, QIODevice& out)
{
    WriteCsv(model, AllCsvColumns(model), out);
}

void ExportCsv(const QAbstractItemModel& model, const std::vector<CsvColumn>& columns, const QString& path)
{
    if (QFileInfo(path).isDir())
        ThrowExportError(path, QStringLiteral("this is a folder"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        ThrowExportError(path, file.errorString());
    WriteCsv(model, columns, file);
    if (!file.commit())
        ThrowExportError(path, file.errorString());
}
