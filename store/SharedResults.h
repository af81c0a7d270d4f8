#pragma once
// A results database on a PostgreSQL server that several stations write to at once. Every
// row carries the station, the run it belongs to and its number within the run (seq),
// unique together, so a row written again after a lost acknowledgement is not doubled;
// nothing is ever deleted, since other stations' rows and earlier runs are the lab's
// history. Tables (the local columns plus station, run_id and seq) and their indexes are
// made when missing, and a table of an older version gets seq and its unique index.
//
// The instrument must never wait for the server: the connection lives on a worker thread
// of this store's own, and every statement runs there. StartSession, Write and WriteRows
// hand their work over and throw a Busy error while it is under way (Write waits a little
// first); the next call collects the outcome. Reading back (Runs, RunRows, RunRecords) is
// asked for by the operator, who waits for it, at most kReadBackWaitMs.
#include "store/ResultsBackend.h"
#include "store/ResultsUrl.h"

#include <QDeadlineTimer>
#include <functional>
#include <future>
#include <memory>
#include <optional>

class SharedResults : public ResultsBackend
{
public:
    // How long a read-back waits for the server before it gives up as unreachable.
    static constexpr int kReadBackWaitMs = 10000;
    // How long Write waits for a new row on a sound connection before it leaves it to the worker.
    static constexpr int kWriteWaitMs = 2000;
    // A write under way this long is reported as a server that does not answer.
    static constexpr int kStalledMs = 5000;
    // How long a statement waits for another client's lock (the server's lock_timeout).
    static constexpr int kLockTimeoutMs = 3000;
    // How long the destructor waits for the worker before leaving it to finish alone.
    static constexpr int kCloseWaitMs = 3000;

    // Starts the worker; nothing is connected here.
    SharedResults(SharedResultsLocation location, QString station);
    ~SharedResults() override;
    SharedResults(const SharedResults&) = delete;
    SharedResults& operator=(const SharedResults&) = delete;

    void StartSession() override;
    QString SetAsideDamaged() override;
    QString Write(ResultsTable table, const QStringList& values) override;
    std::vector<QString> WriteRows(const std::vector<PendingRow>& rows) override;
    bool Batches() const override { return true; }
    std::vector<RunRecord> RunRecords(const RunFilter& filter) override;
    void Clear(ResultsTable table) override;
    void BeginRun(ResultsTable table) override;
    void SetPassword(const QString& password) override;
    std::vector<StoredRun> Runs(std::optional<ResultsTable> table) override;
    std::vector<QStringList> RunRows(ResultsTable table, const QString& key) override;
    QString HeldUpStatus() const override;
    QString NotReadyNote() const override;

    QString RunKey(ResultsTable table) const override { return RunId(table); }

    QString Name() const override { return FLocation.Display(); }
    QString Station() const override { return FStation; }
    // The run the next row of `table` belongs to (a UUID); Profile and Resistance share one.
    QString RunId(ResultsTable table) const;

    // The worker's side: its connection and what the owner may look at. Defined in the
    // private SharedResultsWorker.h.
    struct Worker;

private:
    // A write handed to the worker and not yet collected.
    struct UnderWay
    {
        std::vector<PendingRow> rows;
        std::shared_ptr<std::vector<QString>> ids; // filled by the worker before the future is ready
        std::future<void> done;
        QDeadlineTimer stalled; // expires kStalledMs after the write was handed over
    };

    std::vector<QString> Collect(UnderWay& write, bool sameRows);
    [[noreturn]] void ThrowUnderWay(const UnderWay& write);
    UnderWay Hand(std::vector<PendingRow> rows);
    template <typename T> T Ask(std::function<T(Worker&)> work);

    const SharedResultsLocation FLocation;
    const QString FStation;
    QString FRunIds[kResultsTables]; // by table; Resistance's is never used (see RunId)
    qint64 FWriteSeqs[kResultsTables] = {}; // the last seq Write gave in each run slot
    std::optional<PendingRow> FWriteRow; // the row Write last handed over and not yet reported stored
    std::optional<UnderWay> FWrite; // Write's row under way
    std::optional<UnderWay> FBatch; // WriteRows' rows under way
    std::future<void> FStart; // StartSession's work under way
    bool FStalled = false; // a write under way has not answered for kStalledMs
    std::shared_ptr<Worker> FWorker; // shared with its thread, which may outlive this store
};
