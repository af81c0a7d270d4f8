#pragma once
// Where the results go: the local file db.sqlite or a shared database server. ResultsFile
// keeps the readings that cannot be stored yet and decides when to try again; a backend
// only speaks to its database, so the window and the workflows never learn which one
// they talk to. Every call runs on the owner's thread and throws EDatabaseError.
#include "store/ResultsFileLock.h"
#include "store/ResultsTable.h"
#include "store/RunRecord.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// One row on its way to a store. Its run and its number within the run are fixed when it
// is inserted, so a row written again after a lost acknowledgement, or replayed from the
// journal, is known as the same row.
struct PendingRow
{
    ResultsTable table = ResultsTable::Battery; // a run record: the run's table
    QStringList values; // in the table's insert order; a run record: see record
    QString runId; // the run the row belongs to (ResultsFile::BeginRun)
    qint64 seq = 0; // 1, 2, ... within the run; 0 for a run record
    bool runRecord = false; // an insert-or-update of the runs table, keyed by station and run id
    RunRecord record; // when runRecord
};

class ResultsBackend
{
public:
    virtual ~ResultsBackend() = default;

    // Readies the store for this session's rows. The local file is locked for this
    // process, its rows archived, then emptied (every table or none); a shared store is
    // reached and its tables made when missing, and keeps everything it holds.
    // Damaged(): SetAsideDamaged, then try again. InUse(): LockHolder says who has it.
    virtual void StartSession() = 0;
    // A store StartSession found damaged is put aside; what the operator is told.
    virtual QString SetAsideDamaged() = 0;
    // Stores one row (values in the table's insert order) and returns its Id.
    virtual QString Write(ResultsTable table, const QStringList& values) = 0;
    // Writes `rows` (the front of the rows waiting, in order) in one transaction and returns
    // the Ids of those written, a prefix of `rows` (a run record's Id is its run id). A row
    // the store already holds (same station, run and seq) is not written again.
    // A store that writes in the background (Batches()) starts the write and throws a Busy
    // error; a later call whose rows begin with the rows under way returns the outcome of
    // that write (its Ids, or its error), and may cover fewer rows than it was given.
    // The default writes each row with Write, run records not at all.
    virtual std::vector<QString> WriteRows(const std::vector<PendingRow>& rows)
    {
        std::vector<QString> ids;
        for (const PendingRow& row : rows)
            ids.push_back(row.runRecord ? row.runId : Write(row.table, row.values));
        return ids;
    }
    // Whether rows are best gathered and written in batches (a server a network away)
    // rather than one by one as they come (the local file).
    virtual bool Batches() const { return false; }
    // The grid of `table` starts afresh: the local file drops the table's rows, a shared
    // store starts a new run for it (its rows stay, as history).
    virtual void Clear(ResultsTable table) = 0;
    // A battery, list or profile run begins: rows of `table` from now on belong to it. A
    // profile run's resistance rows belong to it too, so BeginRun(Profile) starts the run
    // of both and BeginRun(Resistance) starts nothing new.
    virtual void BeginRun(ResultsTable table) = 0;
    // The runs the store holds, newest first: of `table`, or when none is given of the
    // battery, list and profile tables (a profile run's resistance rows share its key).
    // A shared store lists every station's; it may wait up to its connect time-out for a
    // server that has not answered yet.
    virtual std::vector<StoredRun> Runs(std::optional<ResultsTable> table = {}) = 0;
    // The run new rows of `table` belong to (a shared store's run id, a UUID; Profile and
    // Resistance share one). Empty where the store tells runs apart otherwise.
    virtual QString RunKey(ResultsTable /*table*/) const { return {}; }
    // The runs table's records of `filter`, newest first (see RunRecord).
    virtual std::vector<RunRecord> RunRecords(const RunFilter& /*filter*/) { return {}; }
    // The rows of the run `key` (a StoredRun's) in `table`, oldest first, each with its
    // values in table order without the Id; none when there is no such run.
    virtual std::vector<QStringList> RunRows(ResultsTable table, const QString& key) = 0;

    // The store as the operator knows it (the local file's full path, the shared location's
    // text) and the station its rows carry (empty for the local file): together they name
    // the journal that keeps the rows the store has not taken. An empty name: no journal.
    virtual QString Name() const { return {}; }
    virtual QString Station() const { return {}; }

    // A password for a server that asked for one (never shown, logged or stored on disk).
    virtual void SetPassword(const QString& password) = 0;

    // The status line while the store holds readings up ("Waiting for "db.sqlite": …").
    virtual QString HeldUpStatus() const = 0;
    // Added to the message of a store that could not be readied for this session.
    virtual QString NotReadyNote() const = 0;

    // A window that only looks, because another process holds the store. A shared store
    // has no such lock and never gets here; the defaults are for it.
    // The process StartSession found holding the store.
    virtual std::optional<ResultsLockHolder> LockHolder() const { return std::nullopt; }
    // From now on the store is only read: nothing is locked, emptied or written.
    virtual void OpenReadOnly() { }
    // Read-only: whether the stored rows may have changed since the last call (true on the
    // first call once there is something to read).
    virtual bool StoredChanged() { return false; }
    // Read-only: the rows of `table` after Id `afterId`, and how many there are up to it.
    virtual RowsReadBack ReadStored(ResultsTable /*table*/, qint64 /*afterId*/) { return {}; }
};
