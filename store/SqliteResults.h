#pragma once
// The local results file, db.sqlite in the working folder: one connection for every
// table, emptied at the start of every session once its rows are archived. The session
// holds the file's lock (db.sqlite.lock) until the backend goes; when another process
// holds it, the file is only ever read. Only SQLite opens the file (closing any other
// descriptor of it would drop the process's locks).
#include "store/ResultsArchive.h"
#include "store/ResultsBackend.h"
#include "store/ResultsFileLock.h"

#include <QSqlDatabase>
#include <memory>

class QSqlQuery;

class SqliteResults : public ResultsBackend
{
public:
    // Nothing is opened here; the first statement opens (and if needed creates) the file.
    // `archivesKept`: how many archives of earlier sessions' rows are kept.
    explicit SqliteResults(const QString& path, int archivesKept = ResultsArchive::kDefaultKept);
    ~SqliteResults() override;
    SqliteResults(const SqliteResults&) = delete;
    SqliteResults& operator=(const SqliteResults&) = delete;

    void StartSession() override;
    QString SetAsideDamaged() override;
    QString Write(ResultsTable table, const QStringList& values) override;
    void Clear(ResultsTable table) override;
    // The file holds one session's rows; a run id is only kept in its runs table.
    void BeginRun(ResultsTable table) override;
    QString RunKey(ResultsTable table) const override;
    std::vector<QString> WriteRows(const std::vector<PendingRow>& rows) override;
    std::vector<RunRecord> RunRecords(const RunFilter& filter) override;
    // A local file asks for no password.
    void SetPassword(const QString&) override { }
    // The file's full path, which names its journal.
    QString Name() const override;
    QString HeldUpStatus() const override;
    QString NotReadyNote() const override;
    std::optional<ResultsLockHolder> LockHolder() const override;
    void OpenReadOnly() override;
    bool StoredChanged() override;
    RowsReadBack ReadStored(ResultsTable table, qint64 afterId) override;
    std::vector<StoredRun> Runs(std::optional<ResultsTable> table) override;
    std::vector<QStringList> RunRows(ResultsTable table, const QString& key) override;

private:
    // What keeps the last StartSession from finishing.
    enum class HeldUp { Busy, InUse, Archive, ReadOnly, Other };

    // The session and writes (SqliteResults.cpp).
    void TakeLock();
    void NoteHeldUp(const EDatabaseError& e);
    std::vector<QString> WriteAll(const std::vector<PendingRow>& rows);
    void Empty();
    void CheckSameFile();
    QSqlDatabase& Database();
    QSqlQuery& InsertQuery(ResultsTable table);
    void Close();

    // Reading back (SqliteResultsRead.cpp).
    static std::vector<ResultsTable> RunTables();
    bool HasTable(QSqlQuery& query, ResultsTable table);
    void Exec(QSqlQuery& query, const QString& statement);

    const QString FPath;
    const QString FConnectionName;
    ResultsFileLock FLock; // goes after the connection: nobody empties the file under it
    const ResultsArchive FArchive;
    HeldUp FHeldUp = HeldUp::Busy;
    bool FReadOnly = false;
    QString FRunIds[kResultsTables]; // by table; Resistance's is Profile's (see RunKey)
    qint64 FDataVersion = -1; // read-only: the file's data_version when last looked at
    // The file the connection has open, to notice it was deleted or replaced under it.
    quint64 FDevice = 0;
    quint64 FInode = 0;
    bool FRemake = false; // the file went: the next write first readies a new one
    QSqlDatabase FDb;
    std::unique_ptr<QSqlQuery> FInserts[kResultsTables];
};
