#pragma once
// The results store the window and dcload-cli write to: db.sqlite, or a shared database
// server (see ResultsBackend). At the start of a session the store is readied without
// holding up the window: the local file is emptied (another program's lock is waited for
// while the status line says so, a damaged file is moved aside and a fresh one made); a
// shared server is reached. Nothing here ever holds up the instrument: a row that cannot
// be written now (the store not yet ready, the file locked, the server gone, or a store
// that refuses it: a full disk, a read-only file, a role that may not insert) waits, in
// order, is tried again, and the status line says how many wait and why; nothing goes
// into a local file that was not emptied for this session.
//
// Rows on their way carry their run and their number within it (PendingRow), so a row
// written again, or replayed, is known as the same row. A store that batches (a server a
// network away) gets every row through WriteRows, gathered for at most 250 ms or 200 rows;
// the local file takes a row at once while nothing waits (the grid wants its Id), and rows
// that waited go in one transaction per batch.
//
// Rows that wait are also on disk, in the store's journal (ResultsJournal): a batching
// store's rows from the moment they are inserted, the local file's from the moment they
// begin to wait. They leave it once stored. A journal left behind by a session that died
// is replayed at the next StartSession on the same store (Replayed tells how many rows it
// held): a shared store takes them first; the local file takes them before it archives
// and empties itself, so they are archived with the session they belong to.
//
// A local file another live process holds (another window in the same folder) is neither
// emptied nor written: InUse names that process, and the window either goes or opens the
// file read-only. Read-only, the file's rows can be read back, a reading inserted is not
// stored, and the status line says so.
#include "store/ResultsBackend.h"
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
class ResultsJournal;

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
    // As StartSession, but the store is first touched by ResumeSession or by the first row
    // stored, whichever comes first: the window opens its file once it has been seen.
    void StartSessionHeld();
    void ResumeSession();
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
    // it waits or goes in a batch, and `stored` gets the Id once it is written. Never
    // throws for what the store does: a row it refuses waits like any other.
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

    // Rows waiting to be written (readings and run records).
    int Waiting() const { return static_cast<int>(FWaiting.size()); }
    // Why the rows wait: the store's last error, for the operator; empty while nothing
    // has failed (rows gathered for a batch, a write under way).
    QString WaitReason() const { return FReason; }
    // The store refused the last write for a reason waiting will not cure by itself (a
    // full disk, a read-only file, a missing table), as against a lock or a lost server.
    bool Refusing() const { return FRefusing; }
    // The journal that keeps the rows waiting; empty when this store has none.
    QString JournalPath() const;

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
    // StartSession found `readings` (and maybe run records) an earlier session had left
    // waiting in the journal, and stores them first; `note` says so for the operator.
    void Replayed(int readings, const QString& note);

private:
    struct Row
    {
        PendingRow pending;
        std::function<void(QString)> stored;
        qint64 journalKey = 0; // 0: not in the journal
    };

    // The journal of waiting rows (ResultsFileJournal.cpp).
    ResultsJournal* Journal();
    void JournalRows(const std::vector<Row*>& rows);
    void Unjournal(const std::vector<qint64>& keys);
    void LoadJournal();
    void TellReplayed(size_t rows, int readings);
    // Readying, writing and reading back (ResultsFile.cpp).
    PendingRow Pending(ResultsTable table);
    void Enqueue(Row row);
    void TryToStart();
    void TryToWrite();
    void Flush();
    void Stored(const std::vector<QString>& ids);
    void WriteFailed(const EDatabaseError& error);
    void Report(const QString& message);
    void Retry(int ms);
    void ShowStatus();
    void LookForChanges();
    void ReportReadFailure(const EDatabaseError& error);

    std::unique_ptr<ResultsBackend> FBackend;
    std::unique_ptr<ResultsJournal> FJournal; // made at the first need; none when the store has no name
    bool FJournalMade = false; // whether FJournal was looked for
    bool FHeld = false; // StartSessionHeld until ResumeSession or the first row
    bool FJournalDue = false; // the local file: the journal is read once the file is held
    // The local file: a journal's rows left by an earlier session, stored before the file
    // is emptied, so they are archived with that session's.
    std::vector<PendingRow> FEarlier;
    std::vector<qint64> FEarlierKeys;
    bool FReady = true; // false from StartSession until the store is ready for this session
    qint64 FWaitingSince = 0; // when readying first failed (ms since epoch)
    bool FLockReported = false;
    bool FOutage = false; // the server went away while rows were being written
    bool FAskingPassword = false; // PasswordNeeded sent and not yet answered
    bool FReadOnly = false;
    bool FReadReported = false; // read-only: a failed read was reported
    bool FRereadDue = false; // read-only: a read failed, so the grids read again on the next look
    bool FRefusing = false; // see Refusing()
    int FNotStored = 0; // read-only: readings shown and not stored
    int FLockWaitMs = 10000;
    size_t FUnderWay = 0; // a batching store: rows of the front its write has taken
    std::deque<Row> FWaiting;
    struct RunCount
    {
        QString runId;
        qint64 last = 0;
    };
    RunCount FRunCounts[kResultsTables]; // by table; Resistance counts with Profile
    QString FReason; // see WaitReason()
    QStringList FReported; // failures told since the rows last all went in
    QTimer* FRetry = nullptr;
    QTimer* FFlush = nullptr; // a batching store: the batch's 250 ms
    QTimer* FWatch = nullptr; // read-only: looks for the other process's changes
    QString FStatus;
};
