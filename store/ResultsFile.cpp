#include "store/ResultsFile.h"

#include "store/ResultsJournal.h"
#include "store/SqliteResults.h"

#include <QDateTime>
#include <QTimer>
#include <algorithm>

namespace {

// While a lock, the start or a connection keeps rows waiting, they are tried this often.
constexpr int kRetryMs = 300;
// Once a failure has been reported, less often.
constexpr int kRetryAfterReportMs = 2000;
// How often a window that only reads looks whether the other process stored something.
constexpr int kWatchMs = 1000;
// A batching store gets rows gathered for at most this long, or this many at once: the
// rate of a lab of stations at one transaction per batch, without holding rows long.
constexpr int kBatchMs = 250;
constexpr size_t kBatchRows = 200;
// How often a batch under way in the store's background is looked at.
constexpr int kUnderWayPollMs = 25;

int RunSlot(ResultsTable table)
{
    return static_cast<int>(table == ResultsTable::Resistance ? ResultsTable::Profile : table);
}

// "The results database … refused …" reads as the second half of a status line.
QString Lowered(QString message)
{
    if (message.startsWith(QLatin1String("The ")))
        message[0] = u't';
    return message;
}

} // namespace

ResultsFile::ResultsFile(const QString& path, QObject* parent)
    : ResultsFile(std::make_unique<SqliteResults>(path), parent)
{ }

ResultsFile::ResultsFile(std::unique_ptr<ResultsBackend> backend, QObject* parent)
    : QObject(parent)
    , FBackend(std::move(backend))
    , FRetry(new QTimer(this))
    , FFlush(new QTimer(this))
    , FWatch(new QTimer(this))
{
    FRetry->setSingleShot(true);
    connect(FRetry, &QTimer::timeout, this, [this] { FReady ? TryToWrite() : TryToStart(); });
    FFlush->setSingleShot(true);
    connect(FFlush, &QTimer::timeout, this, [this] {
        if (FReady && !FRetry->isActive())
            TryToWrite();
    });
    FWatch->setInterval(kWatchMs);
    connect(FWatch, &QTimer::timeout, this, &ResultsFile::LookForChanges);
}

// Rows still waiting stay in the journal: the next session on this store stores them.
ResultsFile::~ResultsFile() = default;

void ResultsFile::BeginRun(ResultsTable table)
{
    FBackend->BeginRun(table);
}

void ResultsFile::Clear(ResultsTable table)
{
    // Read-only, only the grid starts afresh.
    if (!FReadOnly)
        FBackend->Clear(table);
}

PendingRow ResultsFile::Pending(ResultsTable table)
{
    PendingRow row;
    row.table = table;
    row.runId = FBackend->RunKey(table);
    // A new run id (BeginRun, or a shared store's Clear) counts from 1 again.
    RunCount& count = FRunCounts[RunSlot(table)];
    if (count.runId != row.runId)
        count = { row.runId, 0 };
    row.seq = ++count.last;
    return row;
}

std::optional<QString> ResultsFile::Insert(
    ResultsTable table, const QStringList& values, std::function<void(QString id)> stored)
{
    if (FReadOnly) {
        ++FNotStored;
        ShowStatus();
        return std::nullopt;
    }
    Row row { Pending(table), std::move(stored), 0 };
    row.pending.values = values;
    if (!FBackend->Batches() && FReady && FWaiting.empty()) {
        try {
            return FBackend->Write(table, values);
        } catch (const EDatabaseError& e) {
            // Kept below, behind nothing: it is the first to wait.
            Enqueue(std::move(row));
            WriteFailed(e);
            return std::nullopt;
        }
    }
    Enqueue(std::move(row));
    return std::nullopt;
}

// Behind those already waiting: rows are written in the order they came. On disk first,
// before anything can show the row as waiting.
void ResultsFile::Enqueue(Row row)
{
    if (row.journalKey == 0)
        JournalRows({ &row });
    FWaiting.push_back(std::move(row));
    if (FHeld)
        ResumeSession();
    // A batching store: a write under way or a retry due takes the rows with it;
    // otherwise a full batch goes now and a smaller one on its time.
    if (FBackend->Batches() && FReady && !FRetry->isActive()) {
        if (FWaiting.size() >= kBatchRows)
            TryToWrite();
        else if (!FFlush->isActive())
            FFlush->start(kBatchMs);
    } else if (!FRetry->isActive() && !FAskingPassword && (!FBackend->Batches() || !FReady))
        FRetry->start(kRetryMs);
    ShowStatus();
}

void ResultsFile::StartSession()
{
    StartSessionHeld();
    // A shared store's rows from an earlier run are queued, and said, at once.
    if (FBackend->Batches() && std::exchange(FJournalDue, false))
        LoadJournal();
    ResumeSession();
}

void ResultsFile::StartSessionHeld()
{
    FReady = false;
    FWaitingSince = 0;
    FLockReported = false;
    FJournalDue = true;
    FHeld = true;
}

void ResultsFile::ResumeSession()
{
    FHeld = false;
    if (!FReady && !FRetry->isActive())
        FRetry->start(0);
}

void ResultsFile::SetPassword(const QString& password)
{
    FBackend->SetPassword(password);
    FAskingPassword = false;
    FRetry->start(0);
}

void ResultsFile::TryToStart()
{
    try {
        if (std::exchange(FJournalDue, false))
            LoadJournal();
        if (!FEarlier.empty()) {
            // Takes the file's lock first, as StartSession does.
            FBackend->WriteRows(FEarlier);
            const int readings = static_cast<int>(std::count_if(
                FEarlier.begin(), FEarlier.end(), [](const PendingRow& r) { return !r.runRecord; }));
            const size_t rows = FEarlier.size();
            FEarlier.clear();
            Unjournal(std::exchange(FEarlierKeys, {}));
            TellReplayed(rows, readings);
        }
        FBackend->StartSession();
    } catch (const EDatabaseError& e) {
        if (e.Damaged()) {
            emit Failed(FBackend->SetAsideDamaged());
            FRetry->start(0);
            return;
        }
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (FWaitingSince == 0)
            FWaitingSince = now;
        if (e.NeedsPassword()) {
            // Nothing is tried again until the operator answers.
            FAskingPassword = true;
            ShowStatus();
            emit PasswordNeeded(QString::fromStdString(e.what()));
            return;
        }
        if (e.InUse()) {
            // Nor here: whether this window only looks or goes is the operator's choice.
            ShowStatus();
            emit InUse(FBackend->LockHolder().value_or(ResultsLockHolder {}));
            return;
        }
        if (!FLockReported && (!e.Busy() || now - FWaitingSince >= FLockWaitMs)) {
            FLockReported = true;
            Report(QString::fromStdString(e.what()) + FBackend->NotReadyNote());
        }
        ShowStatus();
        FRetry->start(FLockReported ? kRetryAfterReportMs : kRetryMs);
        return;
    }
    FReady = true;
    FLockReported = false;
    TryToWrite();
}

void ResultsFile::TryToWrite()
{
    FFlush->stop();
    while (!FWaiting.empty()) {
        // A batch under way goes on with the same front rows, so the store can match them.
        const size_t count = FUnderWay > 0 ? FUnderWay : std::min(FWaiting.size(), kBatchRows);
        std::vector<PendingRow> rows;
        rows.reserve(count);
        for (size_t i = 0; i < count; ++i)
            rows.push_back(FWaiting[i].pending);
        std::vector<QString> ids;
        try {
            ids = FBackend->WriteRows(rows);
        } catch (const EDatabaseError& e) {
            if (e.Busy() && FBackend->Batches()) {
                // Under way in the store's background: looked at again soon, never waited for.
                FUnderWay = count;
                FRetry->start(kUnderWayPollMs);
                return;
            }
            FUnderWay = 0;
            WriteFailed(e);
            return;
        }
        FUnderWay = 0;
        if (ids.empty())
            break; // nothing taken, nothing refused: tried again below
        Stored(ids);
        // A batching store writes what is gathered now only once a batch is full; the
        // rest waits for its batch time.
        if (FBackend->Batches() && FWaiting.size() < kBatchRows)
            break;
    }
    if (FWaiting.empty()) {
        FReported.clear();
        FLockReported = false;
    } else if (FBackend->Batches())
        FFlush->start(kBatchMs);
    else
        Retry(kRetryMs);
    FOutage = false;
    FRefusing = false;
    FReason.clear();
    ShowStatus();
}

// The front rows (as many as `ids`) are in the store.
void ResultsFile::Stored(const std::vector<QString>& ids)
{
    const size_t count = std::min(ids.size(), FWaiting.size());
    std::vector<std::function<void(QString)>> told;
    told.reserve(count);
    std::vector<qint64> keys;
    for (size_t i = 0; i < count; ++i) {
        told.push_back(std::move(FWaiting.front().stored));
        if (FWaiting.front().journalKey != 0)
            keys.push_back(FWaiting.front().journalKey);
        FWaiting.pop_front();
    }
    Unjournal(keys);
    // Told last: a grid's callback may insert again.
    for (size_t i = 0; i < count; ++i)
        if (told[i])
            told[i](ids[i]);
}

void ResultsFile::WriteFailed(const EDatabaseError& e)
{
    FOutage = e.Unreachable();
    FReason = QString::fromStdString(e.what());
    FRefusing = !e.Passing();
    if (e.NeedsPassword()) {
        FAskingPassword = true;
        ShowStatus();
        emit PasswordNeeded(FReason);
        return;
    }
    // Kept, in order: a lock passes by itself; anything else the operator is told, once
    // per reason.
    if (!e.Busy()) {
        FLockReported = true;
        Report(FReason + (FReason.endsWith(u'.') ? QString() : QStringLiteral("."))
            + (e.Unreachable() ? QStringLiteral(" Readings are kept and stored once it is back.")
                               : QStringLiteral(" Readings are kept and tried again.")));
    }
    Retry(FLockReported ? kRetryAfterReportMs : kRetryMs);
    ShowStatus();
}

void ResultsFile::Report(const QString& message)
{
    if (FReported.contains(message))
        return;
    FReported << message;
    emit Failed(message);
}

void ResultsFile::Retry(int ms)
{
    if (!FAskingPassword)
        FRetry->start(ms);
}

void ResultsFile::OpenReadOnly()
{
    FReadOnly = true;
    FRetry->stop();
    // Nothing will ever store them now; the status line counts them with the later ones.
    // Nor may the session that holds the file take them from the journal they share.
    FNotStored += static_cast<int>(FWaiting.size());
    std::vector<qint64> keys;
    for (const Row& row : FWaiting)
        if (row.journalKey != 0)
            keys.push_back(row.journalKey);
    Unjournal(keys);
    FWaiting.clear();
    // An earlier session's rows stay in the journal for the next session that holds the file.
    FEarlier.clear();
    FEarlierKeys.clear();
    FUnderWay = 0;
    FFlush->stop();
    FBackend->OpenReadOnly();
    ShowStatus();
    FWatch->start();
    LookForChanges();
}

std::optional<RowsReadBack> ResultsFile::ReadStored(ResultsTable table, qint64 afterId)
{
    try {
        RowsReadBack rows = FBackend->ReadStored(table, afterId);
        FReadReported = false;
        return rows;
    } catch (const EDatabaseError& e) {
        ReportReadFailure(e);
        return std::nullopt;
    }
}

QString ResultsFile::RunId(ResultsTable table) const
{
    return FBackend->RunKey(table);
}

void ResultsFile::RecordRun(ResultsTable table, RunRecord record)
{
    if (FReadOnly)
        return;
    Row row;
    row.pending.table = table;
    row.pending.runId = RunId(table);
    row.pending.runRecord = true;
    record.runId = row.pending.runId;
    row.pending.record = std::move(record);
    if (!FBackend->Batches() && FReady && FWaiting.empty()) {
        try {
            FBackend->WriteRows({ row.pending });
            return;
        } catch (const EDatabaseError& e) {
            Enqueue(std::move(row));
            WriteFailed(e);
            return;
        }
    }
    // In order with the rows: a run's end is never stored before its last reading.
    Enqueue(std::move(row));
}

std::vector<RunRecord> ResultsFile::RunRecords(const RunFilter& filter)
{
    return FBackend->RunRecords(filter);
}

std::vector<StoredRun> ResultsFile::Runs(std::optional<ResultsTable> table)
{
    return FBackend->Runs(table);
}

std::vector<QStringList> ResultsFile::RunRows(ResultsTable table, const QString& key)
{
    return FBackend->RunRows(table, key);
}

void ResultsFile::LookForChanges()
{
    try {
        if (FBackend->StoredChanged() || FRereadDue) {
            FRereadDue = false;
            emit StoredChanged();
        }
    } catch (const EDatabaseError& e) {
        ReportReadFailure(e);
    }
}

void ResultsFile::ReportReadFailure(const EDatabaseError& error)
{
    // Looked at again on the next tick, whatever the last change was.
    FRereadDue = true;
    // A lock the other process holds for a moment passes by itself.
    if (error.Busy() || FReadReported)
        return;
    FReadReported = true;
    emit Failed(QString::fromStdString(error.what())
        + QStringLiteral(" The grids show what could be read; this window never writes the file."));
}

void ResultsFile::ShowStatus()
{
    QString status;
    if (FReadOnly) {
        status = FNotStored == 0 ? QStringLiteral("Read-only: readings are not stored")
            : FNotStored == 1    ? QStringLiteral("Read-only: 1 reading not stored")
                                 : QStringLiteral("Read-only: %1 readings not stored").arg(FNotStored);
    } else if ((!FReady && FWaitingSince != 0) || FOutage || FAskingPassword)
        status = FBackend->HeldUpStatus();
    if (FRefusing && !FWaiting.empty())
        // What the store said stands alone: the operator must see why, not only how many.
        status = QStringLiteral("%1 readings not stored: %2").arg(FWaiting.size()).arg(Lowered(FReason));
    else if (!FWaiting.empty() && (!FBackend->Batches() || !status.isEmpty() || FReported.size() > 0)) {
        const QString waiting = QStringLiteral("%1 readings waiting to be stored").arg(FWaiting.size());
        status = status.isEmpty() ? waiting : status + QStringLiteral("; ") + waiting;
    }
    if (status == FStatus)
        return;
    FStatus = status;
    emit StatusChanged(status);
}
