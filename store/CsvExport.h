#pragma once
// Writing a results grid as a CSV file the operator can open in a spreadsheet: one header
// line with the model's horizontal titles, then one line per row, every column of the
// model (hidden grid columns too). Fields holding a comma, a double quote, CR or LF are
// quoted with inner quotes doubled; lines end with CRLF; text is UTF-8.
#include <QString>
#include <stdexcept>

class QAbstractItemModel;
class QIODevice;

// The export file could not be written; what() names the file and the reason.
class ECsvExportError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One field as it appears in the file.
QString CsvField(const QString& text);

// Writes the whole model to `out`, which must be open for writing.
void WriteCsv(const QAbstractItemModel& model, QIODevice& out);

// Writes the whole model to the file at `path`, replacing it only once everything has
// been written (a failed export leaves an earlier file intact). Throws ECsvExportError.
void ExportCsv(const QAbstractItemModel& model, const QString& path);
