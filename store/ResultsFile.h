#pragma once
// The results store the window and dcload-cli write to: db.sqlite, or a shared database
// server (see ResultsBackend). At the start of a session the store is readied without
// holding up the window: the local file is emptied (another program's lock is waited for
// while the status line says so, a damaged file is moved aside and a fresh one made); a
// shared server is reached. A row that cannot be written now (the store not yet ready,
// the file locked, the server gone) waits in memory, in order, and is written as soon as
// it can be; nothing goes into a local file that was not emptied for this session.
//
// A local file another live process holds (another window in the same folder) is neither
// emptied nor written: InUse names that process, and the window either goes or opens the
// file read-only. Read-only, the file's rows can be read back, a reading inserted is not
// stored, and the status line says so.
#include "store/ResultsFileLock.h"
#include "store/ResultsTable.h"
#include "store/RunRecord.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTimer;
class ResultsBackend;

class ResultsFile : public QObject
{
    Q_OBJECT
public:
    // The local file at `path`. Nothing is opened here; the first statement opens (and if
    // needed creates) the file.
    explicit ResultsFile(const QString& path = QStringLiteral("db.sqlite"), QObject* parent = nullptr);
    // Rows go to `backend`.
    explicit ResultsFile(std::unique_ptr<ResultsBackend> backend, QObject* parent = nullptr);
    ~ResultsFile() override;

    // Readies the store for this session, first once the event loop runs; rows inserted
    // meanwhile wait. A local file's lock held by another program is waited for (the
    // status says so) up to ten seconds, then reported and tried again now and then; a
    // server that cannot be reached, or earlier rows that cannot be archived, are
    // reported at once and tried again. A file in use by another window: see InUse.
    void StartSession();
    // How long a lock is waited for before it is reported (tests shorten it).
    void SetLockWaitMs(int ms) { FLockWaitMs = ms; }
    // Ready for this session's rows: the local file emptied, the shared store reached
    // (true from the start when StartSession is not used).
    bool Emptied() const { return FReady; }

    // A battery, list or profile run begins: rows of `table` from now on carry a new run
    // id (see ResultsBackend::BeginRun: a profile run's resistance rows share its id).
    void BeginRun(ResultsTable table);
    // The grid of `table` starts afresh (see ResultsBackend::Clear). Throws EDatabaseError.
    void Clear(ResultsTable table);

    // Stores a row (values in the table's insert order) and returns its Id; nothing when
    // it waits, and `stored` gets the Id once it is written. Throws EDatabaseError when
    // the store refuses the row for another reason than a lock or a lost server (a full
    // disk, a damaged file); then the row is not kept.
    std::optional<QString> Insert(
        ResultsTable table, const QStringList& values, std::function<void(QString id)> stored);

    // The run new rows of `table` belong to (see ResultsBackend::RunKey).
    QString RunId(ResultsTable table) const;
    // A run of `table` starts or ends (call after BeginRun): its record, with the run id
    // filled in, goes to the runs table in order with the rows, kept like them when the
    // store cannot take it now.
    void RecordRun(ResultsTable table, RunRecord record);
    // The runs table's records (see ResultsBackend::RunRecords). Throws EDatabaseError.
    std::vector<RunRecord> RunRecords(const RunFilter& filter);

    // Rows waiting to be written.
    int Waiting() const { return static_cast<int>(FWaiting.size()); }

    // The answer to InUse: this session only looks. Nothing is emptied or written from
    // now on; rows waiting and rows inserted later are not stored (the status line counts
    // them), and StoredChanged tells when the other process has changed the rows.
    void OpenReadOnly();
    bool ReadOnly() const { return FReadOnly; }
    // Read-only: the rows of `table` after Id `afterId`; nothing when they cannot be read
    // now (reported through Failed, once until a read succeeds again).
    std::optional<RowsReadBack> ReadStored(ResultsTable table, qint64 afterId);

    // Runs read back for a report, an analysis or dcload-cli (see ResultsBackend::Runs and
    // RunRows): what the store holds, not what still waits to be stored. Throw
    // EDatabaseError; a shared server that cannot be reached is Unreachable().
    std::vector<StoredRun> Runs(std::optional<ResultsTable> table = {});
    std::vector<QStringList> RunRows(ResultsTable table, const QString& key);

    // The answer to PasswordNeeded; the store tries again with it.
    void SetPassword(const QString& password);

signals:
    // What the status line should say of the store; empty when there is nothing to say.
    void StatusChanged(const QString& status);
    // A failure the operator must see (the general error display).
    void Failed(const QString& message);
    // The server wants a password none was found for (or refused the one given); `reason`
    // says which. Readings wait until SetPassword.
    void PasswordNeeded(const QString& reason);
    // Another live process holds the local file: nothing is tried again until the answer,
    // OpenReadOnly (or the window going).
    void InUse(const ResultsLockHolder& holder);
    // Read-only: the stored rows may have changed (sent once on OpenReadOnly, then
    // whenever another program has committed).
    void StoredChanged();

private:
    struct Row
    {
        ResultsTable table;
        QStringList values;
        std::function<void(QString)> stored;
    };

    void TryToStart();
    void TryToWrite();
    void ShowStatus();
    void LookForChanges();
    void ReportReadFailure(const EDatabaseError& error);

    std::unique_ptr<ResultsBackend> FBackend;
    bool FReady = true; // false from StartSession until the store is ready for this session
    qint64 FWaitingSince = 0; // when readying first failed (ms since epoch)
    bool FLockReported = false;
    bool FOutage = false; // the server went away while rows were being written
    bool FAskingPassword = false; // PasswordNeeded sent and not yet answered
    bool FReadOnly = false;
    bool FReadReported = false; // read-only: a failed read was reported
    bool FRereadDue = false; // read-only: a read failed, so the grids read again on the next look
    int FNotStored = 0; // read-only: readings shown and not stored
    int FLockWaitMs = 10000;
    std::deque<Row> FWaiting;
    QTimer* FRetry = nullptr;
    QTimer* FWatch = nullptr; // read-only: looks for the other process's changes
    QString FStatus;
};
