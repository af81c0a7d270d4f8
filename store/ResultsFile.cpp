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

} // namespace

ResultsFile::ResultsFile(const QString& path, QObject* parent)
    : ResultsFile(std::make_unique<SqliteResults>(path), parent)
{ }

ResultsFile::ResultsFile(std::unique_ptr<ResultsBackend> backend, QObject* parent)
    : QObject(parent)
    , FBackend(std::move(backend))
    , FRetry(new QTimer(this))
{
    FRetry->setSingleShot(true);
    connect(FRetry, &QTimer::timeout, this, [this] { FReady ? TryToWrite() : TryToStart(); });
}

ResultsFile::~ResultsFile() = default;

void ResultsFile::BeginRun(ResultsTable table)
{
    FBackend->BeginRun(table);
}

void ResultsFile::Clear(ResultsTable table)
{
    FBackend->Clear(table);
}

std::optional<QString> ResultsFile::Insert(
    ResultsTable table, const QStringList& values, std::function<void(QString id)> stored)
{
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

void ResultsFile::ShowStatus()
{
    QString status;
    if ((!FReady && FWaitingSince != 0) || FOutage || FAskingPassword)
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
