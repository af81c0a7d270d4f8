#pragma once
// The worker of a shared results store: its thread, its connection and every statement it
// runs. Private to the store's files: SharedResults.cpp (the owner's side, which queues
// work and collects its outcome), SharedResultsWorker.cpp (the thread, the connection,
// read-backs), SharedResultsSchema.cpp (making and completing the tables) and
// SharedResultsWrites.cpp (the rows' transactions).
#include "store/SharedResults.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

// Everything the worker thread touches. It is shared between the store and the thread,
// so a thread left to finish alone (see ~SharedResults) holds nothing of the store's.
struct SharedResults::Worker
{
    enum class Link { Closed, Connecting, Unreachable, NeedsPassword, Locked, Open };

    struct Job
    {
        std::packaged_task<void()> task;
        std::shared_ptr<std::atomic<bool>> cancelled; // set by an owner that stopped waiting
    };

    // A statement that failed inside a write's transaction.
    struct Failure
    {
        QString what;
        QSqlError error;
    };

    Worker(SharedResultsLocation at, QString ofStation);

    // Owner side: queues `work`; its future is ready once it ran, and carries its error.
    std::future<void> Post(
        std::function<void(Worker&)> work, std::shared_ptr<std::atomic<bool>> cancelled = nullptr);
    // The thread's body (SharedResultsWorker.cpp).
    void Loop();

    // What follows runs on the worker thread only.

    // The connection (SharedResultsWorker.cpp).
    void Open();
    void Close();
    void Exec(QSqlQuery& query, const QString& statement);
    [[noreturn]] void Fail(const QString& what, const QSqlError& error);
    void Rollback();
    void StartSession();
    static bool ConnectionLost(const QSqlError& error);

    // The tables (SharedResultsSchema.cpp).
    void MakeTables();

    // Writing rows (SharedResultsWrites.cpp).
    std::vector<QString> WriteRows(const std::vector<PendingRow>& rows);
    std::optional<Failure> Transaction(const std::vector<PendingRow>& rows, std::vector<QString>& ids);
    std::optional<Failure> Insert(ResultsTable table, const std::vector<PendingRow>& rows,
        const std::vector<size_t>& mine, std::vector<QString>& ids);

    // Reading back (SharedResultsWorker.cpp).
    bool HasTable(QSqlQuery& query, const QString& name);
    std::vector<StoredRun> Runs(const std::vector<ResultsTable>& tables);
    std::vector<QStringList> RunRows(ResultsTable table, const QString& runId);
    std::vector<RunRecord> RunRecords(const RunFilter& filter);

    const SharedResultsLocation location;
    const QString station;
    const QString connectionName;

    // The worker thread's alone.
    QString password; // handed over by a job, so it changes between two of them
    QSqlDatabase db;
    std::unique_ptr<QSqlQuery> inserts[kResultsTables]; // the batch insert of each table, prepared
    bool broken = false; // the connection was found lost; reopened by the next job

    // Written by the worker, read by the owner for the status line.
    std::atomic<Link> link { Link::Closed };

    // Guards jobs, stop and finished; `wake` wakes the worker, `ended` the owner.
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable ended;
    std::deque<Job> jobs;
    bool stop = false;
    bool finished = false;
    std::thread thread;
};
