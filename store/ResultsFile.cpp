#include "store/ResultsFile.h"

#include "store/ResultsDatabase.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <atomic>

namespace {

// While a lock or the emptying keeps rows waiting, they are tried this often.
constexpr int kRetryMs = 300;
// Once a lock has been reported, less often.
constexpr int kRetryAfterReportMs = 2000;

QString NewConnectionName()
{
    // Numbers the connections of this process; only ever incremented.
    static std::atomic<unsigned> next { 0 };
    return QStringLiteral("dcload-results-%1").arg(++next);
}

QString InsertStatement(ResultsTable table)
{
    return table == ResultsTable::Battery
        ? QStringLiteral(
            "insert into battery(InputVoltage,InputCurrent,DischargeTime,BatteryCapacity,MeasTime) "
            "values (?,?,?,?,?)")
        : QStringLiteral("insert into listS(Nr,LoadPattern,Setpoint,mValueV,mValueI,upLimit,downLimit,sTime,"
                         "Result) values (?,?,?,?,?,?,?,?,?)");
}

QString FileName(const QString& path)
{
    return QFileInfo(path).fileName();
}

} // namespace

ResultsFile::ResultsFile(const QString& path, QObject* parent)
    : QObject(parent)
    , FPath(path)
    , FConnectionName(NewConnectionName())
    , FRetry(new QTimer(this))
{
    FRetry->setSingleShot(true);
    connect(FRetry, &QTimer::timeout, this, [this] { FEmptied ? TryToWrite() : TryToEmpty(); });
}

ResultsFile::~ResultsFile()
{
    Close();
}

QSqlDatabase& ResultsFile::Database()
{
    if (!FDb.isValid()) {
        FDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), FConnectionName);
        FDb.setDatabaseName(FPath);
    }
    if (!FDb.isOpen())
        OpenResultsDatabase(FDb, FPath);
    return FDb;
}

QSqlQuery& ResultsFile::InsertQuery(ResultsTable table)
{
    std::unique_ptr<QSqlQuery>& insert = FInserts[static_cast<int>(table)];
    if (!insert) {
        auto prepared = std::make_unique<QSqlQuery>(Database());
        if (!prepared->prepare(InsertStatement(table)))
            ThrowStatementError(FPath, InsertStatement(table), prepared->lastError());
        insert = std::move(prepared);
    }
    return *insert;
}

void ResultsFile::Close()
{
    // The statements and the handle must be gone before the connection can be removed.
    for (std::unique_ptr<QSqlQuery>& insert : FInserts)
        insert.reset();
    if (!FDb.isValid())
        return;
    FDb.close();
    FDb = QSqlDatabase();
    QSqlDatabase::removeDatabase(FConnectionName);
}

QString ResultsFile::Write(ResultsTable table, const QStringList& values)
{
    QSqlQuery& insert = InsertQuery(table);
    for (qsizetype i = 0; i < values.size(); ++i)
        // A null text would be stored as NULL; every stored value is text, an empty one too.
        insert.bindValue(static_cast<int>(i), values[i].isNull() ? QString(QLatin1String("")) : values[i]);
    if (!insert.exec()) {
        const QSqlError error = insert.lastError();
        insert.finish();
        ThrowStatementError(FPath, InsertStatement(table), error);
    }
    const QString id = insert.lastInsertId().toString();
    insert.finish();
    return id;
}

void ResultsFile::Clear(ResultsTable table)
{
    const QString statement = table == ResultsTable::Battery ? QStringLiteral("delete from battery")
                                                             : QStringLiteral("delete from listS");
    QSqlQuery query(Database());
    if (!query.exec(statement))
        ThrowStatementError(FPath, statement, query.lastError());
}

std::optional<QString> ResultsFile::Insert(
    ResultsTable table, const QStringList& values, std::function<void(QString id)> stored)
{
    if (FEmptied && FWaiting.empty()) {
        try {
            return Write(table, values);
        } catch (const EDatabaseError& e) {
            if (!e.Busy())
                throw;
        }
    }
    // Behind those already waiting: rows are written in the order they came.
    FWaiting.push_back({ table, values, std::move(stored) });
    if (!FRetry->isActive())
        FRetry->start(kRetryMs);
    ShowStatus();
    return std::nullopt;
}

void ResultsFile::EmptyForNewRun()
{
    FEmptied = false;
    FWaitingSince = 0;
    FLockReported = false;
    FRetry->start(0);
}

void ResultsFile::TryToEmpty()
{
    try {
        Empty();
    } catch (const EDatabaseError& e) {
        if (e.Damaged()) {
            MoveAsideDamaged();
            FRetry->start(0);
            return;
        }
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (FWaitingSince == 0)
            FWaitingSince = now;
        if (!FLockReported && (!e.Busy() || now - FWaitingSince >= FLockWaitMs)) {
            FLockReported = true;
            emit Failed(QString::fromStdString(e.what())
                + QStringLiteral(" It was not emptied for this run; readings are kept until it can be."));
        }
        ShowStatus();
        FRetry->start(FLockReported ? kRetryAfterReportMs : kRetryMs);
        return;
    }
    FEmptied = true;
    TryToWrite();
}

void ResultsFile::Empty()
{
    QSqlDatabase& db = Database();
    QSqlQuery query(db);
    // A file SQLite can open may still be broken inside; only a sound one is kept.
    if (!query.exec(QStringLiteral("pragma quick_check")))
        ThrowStatementError(FPath, QStringLiteral("pragma quick_check"), query.lastError());
    if (!query.next() || query.value(0).toString() != QLatin1String("ok"))
        throw EDatabaseError("damaged", EDatabaseError::Cause::Damaged);
    query.finish();
    // Both tables or neither: a run never starts with one emptied and the other not.
    for (const char* statement :
        { "begin immediate", "delete from listS", "delete from battery", "commit" }) {
        if (!query.exec(QString::fromLatin1(statement))) {
            const QSqlError error = query.lastError();
            query.exec(QStringLiteral("rollback"));
            ThrowStatementError(FPath, QString::fromLatin1(statement), error);
        }
    }
}

void ResultsFile::MoveAsideDamaged()
{
    Close();
    const QString aside = FPath + QStringLiteral(".damaged-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    bool moved = QFile::rename(FPath, aside);
    // Its journal belongs with it: a fresh file must not pick it up.
    for (const char* suffix : { "-wal", "-shm" }) {
        const QString part = FPath + QLatin1String(suffix);
        if (QFile::exists(part))
            moved = QFile::rename(part, aside + QLatin1String(suffix)) && moved;
    }
    if (!moved) {
        emit Failed(QStringLiteral("The results database \"%1\" is damaged and could not be moved aside.")
                        .arg(DisplayPath(FPath)));
        return;
    }
    emit Failed(
        QStringLiteral("The results database \"%1\" was damaged: it was moved aside as \"%2\" and a new "
                       "one was made.")
            .arg(DisplayPath(FPath), DisplayPath(aside)));
}

void ResultsFile::TryToWrite()
{
    while (!FWaiting.empty()) {
        Row& row = FWaiting.front();
        QString id;
        try {
            id = Write(row.table, row.values);
        } catch (const EDatabaseError& e) {
            // Kept, in order: a lock passes, and the operator is told of anything else.
            if (!e.Busy() && !FLockReported) {
                FLockReported = true;
                emit Failed(QString::fromStdString(e.what()));
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
    ShowStatus();
}

void ResultsFile::ShowStatus()
{
    QString status;
    if (!FEmptied && FWaitingSince != 0)
        status = QStringLiteral("Waiting for \"%1\": another program holds it").arg(FileName(FPath));
    if (!FWaiting.empty()) {
        const QString waiting = QStringLiteral("%1 readings waiting to be stored").arg(FWaiting.size());
        status = status.isEmpty() ? waiting : status + QStringLiteral("; ") + waiting;
    }
    if (status == FStatus)
        return;
    FStatus = status;
    emit StatusChanged(status);
}
