#pragma once
// Where the results go: the local file db.sqlite or a shared database server. ResultsFile
// keeps the readings that cannot be stored yet and decides when to try again; a backend
// only speaks to its database, so the window and the workflows never learn which one
// they talk to. Every call runs on the owner's thread and throws EDatabaseError.
#include "store/ResultsTable.h"

#include <QString>
#include <QStringList>

class ResultsBackend
{
public:
    virtual ~ResultsBackend() = default;

    // Readies the store for this session's rows. The local file is emptied (both tables
    // or neither); a shared store is reached and its tables made when missing, and keeps
    // everything it holds. Damaged(): SetAsideDamaged, then try again.
    virtual void StartSession() = 0;
    // A store StartSession found damaged is put aside; what the operator is told.
    virtual QString SetAsideDamaged() = 0;
    // Stores one row (values in the table's insert order) and returns its Id.
    virtual QString Write(ResultsTable table, const QStringList& values) = 0;
    // The grid of `table` starts afresh: the local file drops the table's rows, a shared
    // store starts a new run for it (its rows stay, as history).
    virtual void Clear(ResultsTable table) = 0;
    // A battery or list run begins: rows of `table` from now on belong to it.
    virtual void BeginRun(ResultsTable table) = 0;
    // A password for a server that asked for one (never shown, logged or stored on disk).
    virtual void SetPassword(const QString& password) = 0;

    // The status line while the store holds readings up ("Waiting for "db.sqlite": …").
    virtual QString HeldUpStatus() const = 0;
    // Added to the message of a store that could not be readied for this session.
    virtual QString NotReadyNote() const = 0;
};
