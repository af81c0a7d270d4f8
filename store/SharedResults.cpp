#include "store/SharedResults.h"

#include "store/ResultsDatabase.h"
#include "store/SharedResultsWorker.h"

#include <QUuid>
#include <chrono>

namespace {

// A transaction takes at most this many rows; the caller's further rows wait for the next.
constexpr size_t kMostRowsPerWrite = 1000;

QString NewRunId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// A profile run's resistance rows carry the profile run's id.
int RunSlot(ResultsTable table)
{
    return static_cast<int>(table == ResultsTable::Resistance ? ResultsTable::Profile : table);
}

bool SameRow(const PendingRow& a, const PendingRow& b)
{
    return a.runRecord == b.runRecord && a.table == b.table && a.seq == b.seq && a.runId == b.runId
        && a.values == b.values;
}

bool BeginsWith(const std::vector<PendingRow>& rows, const std::vector<PendingRow>& front)
{
    if (rows.size() < front.size())
        return false;
    for (size_t i = 0; i < front.size(); ++i)
        if (!SameRow(rows[i], front[i]))
            return false;
    return true;
}

bool Ready(const std::future<void>& done, std::chrono::milliseconds wait = std::chrono::milliseconds(0))
{
    return done.wait_for(wait) == std::future_status::ready;
}

} // namespace

SharedResults::SharedResults(SharedResultsLocation location, QString station)
    : FLocation(std::move(location))
    , FStation(std::move(station))
    , FRunIds { NewRunId(), NewRunId(), NewRunId(), NewRunId() }
    , FWorker(std::make_shared<Worker>(FLocation, FStation))
{
    FWorker->thread = std::thread([worker = FWorker] { worker->Loop(); });
}

SharedResults::~SharedResults()
{
    {
        const std::lock_guard<std::mutex> hold(FWorker->lock);
        FWorker->stop = true;
    }
    FWorker->wake.notify_one();
    std::unique_lock<std::mutex> hold(FWorker->lock);
    const bool finished = FWorker->ended.wait_for(
        hold, std::chrono::milliseconds(kCloseWaitMs), [this] { return FWorker->finished; });
    hold.unlock();
    // A server stopped mid-statement (kill -STOP) may hold the worker for as long as it
    // stays stopped. The window or the command line must still be able to close, so the
    // thread is then left to finish alone: it holds its own share of the Worker and
    // nothing of this store's, and closes its connection once the server answers or the
    // connection breaks. Rows it was writing were never reported stored, so the caller
    // still counts them as waiting.
    if (finished)
        FWorker->thread.join();
    else
        FWorker->thread.detach();
}

SharedResults::UnderWay SharedResults::Hand(std::vector<PendingRow> rows)
{
    if (rows.size() > kMostRowsPerWrite)
        rows.resize(kMostRowsPerWrite);
    UnderWay write;
    write.ids = std::make_shared<std::vector<QString>>();
    write.stalled = QDeadlineTimer(kStalledMs);
    write.done = FWorker->Post([rows, ids = write.ids](Worker& worker) { *ids = worker.WriteRows(rows); });
    write.rows = std::move(rows);
    return write;
}

std::vector<QString> SharedResults::Collect(UnderWay& write, bool sameRows)
{
    FStalled = false;
    // Rethrows the worker's error; the Ids were filled before the future became ready.
    write.done.get();
    if (!sameRows)
        return {};
    return std::move(*write.ids);
}

void SharedResults::ThrowUnderWay(const UnderWay& write)
{
    // The server has the rows in hand and says nothing (stopped, or a network that drops
    // without a reset): the caller keeps them and is told, as for a server away.
    if (write.stalled.hasExpired()) {
        FStalled = true;
        throw EDatabaseError(QStringLiteral("The results database %1 has not answered for %2 s.")
                                 .arg(FLocation.Display())
                                 .arg(kStalledMs / 1000)
                                 .toStdString(),
            EDatabaseError::Cause::Unreachable);
    }
    throw EDatabaseError(
        QStringLiteral("Storing readings in the results database %1").arg(FLocation.Display()).toStdString(),
        EDatabaseError::Cause::Busy);
}

void SharedResults::StartSession()
{
    if (!FStart.valid()) {
        FStart = FWorker->Post([](Worker& worker) { worker.StartSession(); });
    } else if (Ready(FStart)) {
        std::future<void> start = std::move(FStart);
        start.get();
        return;
    }
    throw EDatabaseError(
        QStringLiteral("Connecting to the results database %1").arg(FLocation.Display()).toStdString(),
        EDatabaseError::Cause::Busy);
}

QString SharedResults::Write(ResultsTable table, const QStringList& values)
{
    const auto sameRow = [&](const PendingRow& row) { return row.table == table && row.values == values; };
    if (FWrite) {
        const bool mine = sameRow(FWrite->rows.front());
        if (!Ready(FWrite->done)) {
            if (mine)
                ThrowUnderWay(*FWrite);
            throw EDatabaseError(QStringLiteral("Storing a reading in the results database %1")
                                     .arg(FLocation.Display())
                                     .toStdString(),
                EDatabaseError::Cause::Busy);
        }
        UnderWay write = std::move(*FWrite);
        FWrite.reset();
        if (mine) {
            const QString id = Collect(write, true).front();
            FWriteRow.reset();
            return id;
        }
    }
    // A row tried before (its write failed, perhaps after the server had it) keeps its
    // seq, so that it is not stored twice; a new row takes the next one of its run.
    const bool retry = FWriteRow && sameRow(*FWriteRow);
    if (!retry) {
        PendingRow row;
        row.table = table;
        row.values = values;
        row.runId = RunId(table);
        row.seq = ++FWriteSeqs[RunSlot(table)];
        FWriteRow = std::move(row);
    }
    FWrite = Hand({ *FWriteRow });
    // Rows stored one at a time come from a caller that waits for each: a short wait
    // gives it the Id at once. A retry, or a server known to be in trouble, is not
    // waited for: the caller keeps the row and asks again.
    const bool healthy = !retry && FWorker->link.load() == Worker::Link::Open;
    if (!Ready(FWrite->done, std::chrono::milliseconds(healthy ? kWriteWaitMs : 0)))
        ThrowUnderWay(*FWrite);
    UnderWay write = std::move(*FWrite);
    FWrite.reset();
    const QString id = Collect(write, true).front();
    FWriteRow.reset();
    return id;
}

std::vector<QString> SharedResults::WriteRows(const std::vector<PendingRow>& rows)
{
    if (FBatch) {
        const bool same = BeginsWith(rows, FBatch->rows);
        if (!Ready(FBatch->done)) {
            if (same)
                ThrowUnderWay(*FBatch);
            throw EDatabaseError(QStringLiteral("Storing other readings in the results database %1")
                                     .arg(FLocation.Display())
                                     .toStdString(),
                EDatabaseError::Cause::Busy);
        }
        UnderWay write = std::move(*FBatch);
        FBatch.reset();
        if (same)
            return Collect(write, true);
        // The caller no longer offers those rows: their outcome goes unread (written or not,
        // a later write of the same rows is not doubled).
        try {
            Collect(write, false);
        } catch (const EDatabaseError&) { }
    }
    if (rows.empty())
        return {};
    FBatch = Hand(rows);
    throw EDatabaseError(QStringLiteral("Storing %1 readings in the results database %2")
                             .arg(FBatch->rows.size())
                             .arg(FLocation.Display())
                             .toStdString(),
        EDatabaseError::Cause::Busy);
}

template <typename T> T SharedResults::Ask(std::function<T(Worker&)> work)
{
    auto result = std::make_shared<std::optional<T>>();
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    std::future<void> done = FWorker->Post(
        [result, work = std::move(work)](Worker& worker) { *result = work(worker); }, cancelled);
    // The operator asked and waits, but not for ever: a write under way on a server that
    // stopped answering comes first in the worker's queue.
    if (!Ready(done, std::chrono::milliseconds(kReadBackWaitMs))) {
        cancelled->store(true);
        throw EDatabaseError(QStringLiteral("The results database %1 did not answer within %2 s.")
                                 .arg(FLocation.Display())
                                 .arg(kReadBackWaitMs / 1000)
                                 .toStdString(),
            EDatabaseError::Cause::Unreachable);
    }
    done.get();
    return std::move(**result);
}

std::vector<RunRecord> SharedResults::RunRecords(const RunFilter& filter)
{
    return Ask<std::vector<RunRecord>>([filter](Worker& worker) { return worker.RunRecords(filter); });
}

void SharedResults::Clear(ResultsTable table)
{
    BeginRun(table);
}

void SharedResults::BeginRun(ResultsTable table)
{
    if (table != ResultsTable::Resistance) {
        FRunIds[RunSlot(table)] = NewRunId();
        FWriteSeqs[RunSlot(table)] = 0;
    }
}

QString SharedResults::RunId(ResultsTable table) const
{
    return FRunIds[RunSlot(table)];
}

std::vector<StoredRun> SharedResults::Runs(std::optional<ResultsTable> table)
{
    const std::vector<ResultsTable> tables = table
        ? std::vector { *table }
        : std::vector { ResultsTable::Battery, ResultsTable::ListS, ResultsTable::Profile };
    std::vector<StoredRun> runs
        = Ask<std::vector<StoredRun>>([tables](Worker& worker) { return worker.Runs(tables); });
    SortNewestFirst(runs);
    return runs;
}

std::vector<QStringList> SharedResults::RunRows(ResultsTable table, const QString& key)
{
    // Only a run id can name a run here; anything else names none.
    const QUuid runId = QUuid::fromString(key);
    if (runId.isNull())
        return {};
    return Ask<std::vector<QStringList>>([table, id = runId.toString(QUuid::WithoutBraces)](
                                             Worker& worker) { return worker.RunRows(table, id); });
}

void SharedResults::SetPassword(const QString& password)
{
    // Handed to the worker only, which hides it in every message it makes.
    FWorker->Post([password](Worker& worker) {
        worker.password = password;
        worker.Close();
    });
    // A start under way carries the old password: its outcome is of no use now.
    FStart = {};
}

QString SharedResults::SetAsideDamaged()
{
    return QStringLiteral("The results database %1 reports damage: ask whoever looks after the server.")
        .arg(FLocation.Display());
}

QString SharedResults::HeldUpStatus() const
{
    const QString where = FLocation.Display();
    if (FStalled)
        return QStringLiteral("The results database %1 does not answer").arg(where);
    switch (FWorker->link.load()) {
    case Worker::Link::Closed:
    case Worker::Link::Connecting:
        return QStringLiteral("Connecting to the results database %1").arg(where);
    case Worker::Link::NeedsPassword:
        return QStringLiteral("The results database %1 waits for a password").arg(where);
    case Worker::Link::Unreachable:
        return QStringLiteral("The results database %1 cannot be reached").arg(where);
    case Worker::Link::Locked:
        return QStringLiteral("Another client holds a lock on the results database %1").arg(where);
    case Worker::Link::Open:
        break;
    }
    return QStringLiteral("The results database %1 holds readings up").arg(where);
}

QString SharedResults::NotReadyNote() const
{
    return QStringLiteral(" Readings are kept and stored once it can be reached.");
}
