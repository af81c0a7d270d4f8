#pragma once
// A results database on a PostgreSQL server that several stations write to at once. Every
// row carries the station and the run it belongs to; nothing is ever deleted, since other
// stations' rows and earlier runs are the lab's history. Tables (the local columns plus
// station and run_id) and their (station, run_id) index are made when missing.
//
// The window must not stall on a server that is slow to answer a connect: a connection is
// first tried on a thread of its own, and only once the server has answered there is the
// owner's connection opened (then at once). While that try runs, Write and StartSession
// throw a Busy error and the caller keeps its rows.
#include "store/ResultsBackend.h"
#include "store/ResultsUrl.h"

#include <QSqlDatabase>
#include <future>
#include <memory>

class QSqlQuery;
class QSqlError;

class SharedResults : public ResultsBackend
{
public:
    // Nothing is opened here. The destructor waits for a connection being tried (at most
    // the connect time-out).
    SharedResults(SharedResultsLocation location, QString station);
    ~SharedResults() override;
    SharedResults(const SharedResults&) = delete;
    SharedResults& operator=(const SharedResults&) = delete;

    void StartSession() override;
    QString SetAsideDamaged() override;
    QString Write(ResultsTable table, const QStringList& values) override;
    std::vector<QString> WriteRows(const std::vector<PendingRow>& rows) override;
    std::vector<RunRecord> RunRecords(const RunFilter& filter) override;
    void Clear(ResultsTable table) override;
    void BeginRun(ResultsTable table) override;
    void SetPassword(const QString& password) override;
    std::vector<StoredRun> Runs(std::optional<ResultsTable> table) override;
    std::vector<QStringList> RunRows(ResultsTable table, const QString& key) override;
    QString HeldUpStatus() const override;
    QString NotReadyNote() const override;

    QString RunKey(ResultsTable table) const override { return RunId(table); }

    QString Station() const { return FStation; }
    // The run the next row of `table` belongs to (a UUID); Profile and Resistance share one.
    QString RunId(ResultsTable table) const;

    // The outcome of one connection tried on the worker thread.
    struct Attempt
    {
        bool ok = false;
        EDatabaseError::Cause cause = EDatabaseError::Cause::Other;
        QString message;
    };

private:
    enum class Link { Closed, Connecting, Unreachable, NeedsPassword, Open };

    void Open();
    void OpenWaiting();
    QSqlQuery& InsertQuery(ResultsTable table);
    void Exec(QSqlQuery& query, const QString& statement);
    [[noreturn]] void Fail(const QString& statement, const QSqlError& error);
    void Close();
    QString Hidden(QString text) const;

    const SharedResultsLocation FLocation;
    const QString FStation;
    const QString FConnectionName;
    QString FPassword; // only ever handed to the driver
    QString FRunIds[kResultsTables]; // by table; Resistance's is never used (see RunId)
    Link FLink = Link::Closed;
    QSqlDatabase FDb;
    std::unique_ptr<QSqlQuery> FInserts[kResultsTables];
    std::future<Attempt> FAttempt; // the connection being tried on its own thread
};
