#pragma once
// Writing a results grid as a CSV file the operator can open in a spreadsheet: one header
// line with the titles, then one line per row of the model. Which columns, in which order
// and under which titles is the caller's choice, so that a file can follow what a grid
// shows. Fields holding a comma, a double quote, CR or LF are quoted with inner quotes
// doubled; lines end with CRLF; text is UTF-8.
#include <QString>
#include <functional>
#include <stdexcept>
#include <vector>

class QAbstractItemModel;
class QIODevice;

// The export file could not be written; what() names the file and the reason.
class ECsvExportError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One column of the file: the model's column `section` under `title`. With `derive`, the
// field is made from the cell's text instead of being the text itself, for a column that
// tells the same thing in other words.
struct CsvColumn
{
    int section = 0;
    QString title;
    std::function<QString(const QString& cell)> derive;
};

// Every column of the model in model order, under its horizontal titles.
std::vector<CsvColumn> AllCsvColumns(const QAbstractItemModel& model);

// One field as it appears in the file.
QString CsvField(const QString& text);

// Writes the columns of every row of the model to `out`, which must be open for writing.
void WriteCsv(const QAbstractItemModel& model, const std::vector<CsvColumn>& columns, QIODevice& out);
// The same with every column of the model.
void WriteCsv(const QAbstractItemModel& model, QIODevice& out);

// Writes the columns of every row to the file at `path`, replacing it only once
// everything has been written (a failed export leaves an earlier file intact). Throws
// ECsvExportError.
void ExportCsv(const QAbstractItemModel& model, const std::vector<CsvColumn>& columns, const QString& path);
