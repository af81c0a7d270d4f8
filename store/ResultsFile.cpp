#include "store/ResultsFile.h"

#include "store/ResultsBackend.h"
#include "store/SqliteResults.h"

#include <QDateTime>
#include <QTimer>

namespace {

// While a lock, the start or a connection keeps rows waiting, they are tried this often.
constexpr int kRetryMs = 300;
// Once a failure has been reported, less often.
constexpr int kRetryAfterReportMs = 2000;
// How often a window that only reads looks whether the other process stored something.
constexpr int kWatchMs = 1000;

} // namespace

ResultsFile::ResultsFile(const QString& path, QObject* parent)
    : ResultsFile(std::make_unique<SqliteResults>(path), parent)
{ }

ResultsFile::ResultsFile(std::unique_ptr<ResultsBackend> backend, QObject* parent)
    : QObject(parent)
    , FBackend(std::move(backend))
    , FRetry(new QTimer(this))
    , FWatch(new QTimer(this))
{
    FRetry->setSingleShot(true);
    connect(FRetry, &QTimer::timeout, this, [this] { FReady ? TryToWrite() : TryToStart(); });
    FWatch->setInterval(kWatchMs);
    connect(FWatch, &QTimer::timeout, this, &ResultsFile::LookForChanges);
}

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

std::optional<QString> ResultsFile::Insert(
    ResultsTable table, const QStringList& values, std::function<void(QString id)> stored)
{
    if (FReadOnly) {
        ++FNotStored;
        ShowStatus();
        return std::nullopt;
    }
    if (FReady && FWaiting.empty()) {
        try {
            return FBackend->Write(table, values);
        } catch (const EDatabaseError& e) {
            if (!e.Passing())
                throw;
            FOutage = e.Unreachable();
        }
    }
    // Behind those already waiting: rows are written in the order they came.
    FWaiting.push_back({ table, values, std::move(stored) });
    if (!FRetry->isActive() && !FAskingPassword)
        FRetry->start(kRetryMs);
    ShowStatus();
    return std::nullopt;
}

void ResultsFile::StartSession()
{
    FReady = false;
    FWaitingSince = 0;
    FLockReported = false;
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
            emit Failed(QString::fromStdString(e.what()) + FBackend->NotReadyNote());
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
    while (!FWaiting.empty()) {
        Row& row = FWaiting.front();
        QString id;
        try {
            id = FBackend->Write(row.table, row.values);
        } catch (const EDatabaseError& e) {
            if (e.Unreachable())
                FOutage = true;
            if (e.NeedsPassword()) {
                FAskingPassword = true;
                ShowStatus();
                emit PasswordNeeded(QString::fromStdString(e.what()));
                return;
            }
            // Kept, in order: a lock passes, and the operator is told of anything else.
            if (!e.Busy() && !FLockReported) {
                FLockReported = true;
                emit Failed(QString::fromStdString(e.what())
                    + (e.Unreachable() ? QStringLiteral(" Readings are kept and stored once it is back.")
                                       : QString()));
            }
            FRetry->start(FLockReported ? kRetryAfterReportMs : kRetryMs);
            ShowStatus();
            return;
        }
        const std::function<void(QString)> stored = std::move(row.stored);
        FWaiting.pop_front();
        if (stored)
            stored(id);
    }
    FLockReported = false;
    FOutage = false;
    ShowStatus();
}

void ResultsFile::OpenReadOnly()
{
    FReadOnly = true;
    FRetry->stop();
    // Nothing will ever store them now; the status line counts them with the later ones.
    FNotStored += static_cast<int>(FWaiting.size());
    FWaiting.clear();
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
    PendingRow row;
    row.table = table;
    row.runId = RunId(table);
    row.runRecord = true;
    record.runId = row.runId;
    row.record = std::move(record);
    // For now written at once; a store that cannot take it loses it (the waiting rows'
    // queue takes run records next).
    try {
        FBackend->WriteRows({ row });
    } catch (const EDatabaseError& e) {
        emit Failed(QString::fromStdString(e.what()));
    }
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
    if (!FWaiting.empty()) {
        const QString waiting = QStringLiteral("%1 readings waiting to be stored").arg(FWaiting.size());
        status = status.isEmpty() ? waiting : status + QStringLiteral("; ") + waiting;
    }
    if (status == FStatus)
        return;
    FStatus = status;
    emit StatusChanged(status);
}
