#pragma once
// Opening the results file and turning its failures into messages for the operator.
// Every connection to the file goes through OpenResultsDatabase, so each one finds every
// table and the same durability settings whichever query object touches the file first.
#include "store/ResultsTable.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

class QSqlError;
class QSqlQuery;

// A table's name and its columns in table order (Id first).
struct ResultsTableShape
{
    QString Name;
    QStringList Columns;
};
const ResultsTableShape& TableShape(ResultsTable table);

// The run and number of every row that was written after waiting (ResultsFile's journal),
// so that one offered again is taken once; emptied with the file.
inline const QString kWrittenRowsTable = QStringLiteral("written_rows");

// Opens `db` (a QSQLITE connection whose database name is `path`), creating the file
// and the tables when missing, and switches it to write-ahead logging with normal
// synchronisation, so a row is in the file once its statement has returned. On failure
// the connection is left closed and EDatabaseError names the file and the reason.
void OpenResultsDatabase(QSqlDatabase& db, const QString& path);
// Opens `db` on an existing file for reading only: nothing is created or changed, the
// tables and the log mode neither. Throws EDatabaseError as above.
void OpenResultsDatabaseReadOnly(QSqlDatabase& db, const QString& path);

// Closes `db` and removes its connection `name`. The prepared `statements` go first: Qt
// lets a connection go only once nothing uses its handle.
void CloseResultsConnection(
    QSqlDatabase& db, const QString& name, std::unique_ptr<QSqlQuery> (&statements)[kResultsTables]);

// What both stores share in their statements and in reading runs back.
// "insert into <table>(<columns without Id>, <extra>) values (?, …)"
QString InsertStatement(const ResultsTableShape& shape, const QStringList& extraColumns = {});
// The runs of `table` grouped by the expressions `key` and `station`, newest first: each
// row holds the key, the station, the number of rows and the texts RunFromTimes reads.
QString RunsStatement(ResultsTable table, const QString& key, const QString& station);
// A run of `table` with its start and end read from its first and last row's texts (a
// two-digit year taken in the century nearest `near`); key, station and readings are the
// caller's to fill.
StoredRun RunFromTimes(
    ResultsTable table, const QString& firstTime, const QString& lastTime, const QDateTime& near);
// Newest start first; runs whose start does not read go last.
void SortNewestFirst(std::vector<StoredRun>& runs);

// How long a statement waits for another program's lock before it gives up.
inline constexpr int kBusyWaitMs = 200;

// The file's full path as the operator reads it in a message.
QString DisplayPath(const QString& path);

// Why the file at `path` cannot be written, when it is the file's mode or its folder's
// ("the file is read-only", "its folder is read-only"); empty otherwise.
QString ReadOnlyReason(const QString& path);

// "Cannot open the results database "<file>": <reason>"
[[noreturn]] void ThrowOpenError(
    const QString& path, const QString& reason, EDatabaseError::Cause cause = EDatabaseError::Cause::Other);
// "The results database "<file>" refused "<statement>": <reason>"
[[noreturn]] void ThrowStatementError(const QString& path, const QString& statement, const QSqlError& error);
