#pragma once
// Where the results go: the local file db.sqlite or a shared database server. ResultsFile
// keeps the readings that cannot be stored yet and decides when to try again; a backend
// only speaks to its database, so the window and the workflows never learn which one
// they talk to. Every call runs on the owner's thread and throws EDatabaseError.
#include "store/ResultsFileLock.h"
#include "store/ResultsTable.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

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
    // The rows of the run `key` (a StoredRun's) in `table`, oldest first, each with its
    // values in table order without the Id; none when there is no such run.
    virtual std::vector<QStringList> RunRows(ResultsTable table, const QString& key) = 0;

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
