// The local results file's session and writes: opening, archiving and emptying it, and
// storing rows. Reading it back is in SqliteResultsRead.cpp.
#include "store/SqliteResults.h"

#include "store/ResultsDatabase.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>
#include <array>
#include <atomic>
#include <numeric>
#include <sys/stat.h>

namespace {

QString NewConnectionName()
{
    // Numbers the connections of this process; only ever incremented.
    static std::atomic<unsigned> next { 0 };
    return QStringLiteral("dcload-results-%1").arg(++next);
}

QString InsertStatement(ResultsTable table)
{
    return ::InsertStatement(TableShape(table));
}

int RunSlot(ResultsTable table)
{
    return static_cast<int>(table == ResultsTable::Resistance ? ResultsTable::Profile : table);
}

} // namespace

SqliteResults::SqliteResults(const QString& path, int archivesKept)
    : FPath(path)
    , FConnectionName(NewConnectionName())
    , FLock(path)
    , FArchive(path, archivesKept)
{
    for (const ResultsTable table : kAllResultsTables)
        BeginRun(table);
}

SqliteResults::~SqliteResults()
{
    Close();
}

QSqlDatabase& SqliteResults::Database()
{
    if (!FDb.isValid()) {
        FDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), FConnectionName);
        FDb.setDatabaseName(FPath);
    }
    if (!FDb.isOpen()) {
        // A read-only connection writes nothing, not even the tables or the log mode.
        if (FReadOnly)
            OpenResultsDatabaseReadOnly(FDb, FPath);
        else
            OpenResultsDatabase(FDb, FPath);
        struct stat file
        {
        };
        if (::stat(QFile::encodeName(FPath).constData(), &file) == 0) {
            FDevice = file.st_dev;
            FInode = file.st_ino;
        }
    }
    return FDb;
}

QSqlQuery& SqliteResults::InsertQuery(ResultsTable table)
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

void SqliteResults::Close()
{
    CloseResultsConnection(FDb, FConnectionName, FInserts);
}

// A file deleted (or moved, or replaced) under the open connection would take every later
// row with it, unseen: SQLite writes on into the unlinked file. One stat per write tells.
// Then a new file is readied at the path, as a session's start would (a replacement's rows
// archived first, then emptied), the rows go there from now on, and the operator is told
// once that the rows stored before are not in it; the row at hand is refused this once
// and kept, so it follows in order.
void SqliteResults::CheckSameFile()
{
    if (FReadOnly)
        return;
    bool gone = FRemake;
    bool replaced = false;
    if (!gone && FDb.isOpen()) {
        struct stat file
        {
        };
        const bool there = ::stat(QFile::encodeName(FPath).constData(), &file) == 0;
        replaced = there && (file.st_dev != FDevice || file.st_ino != FInode);
        gone = !there || replaced;
    }
    if (!gone)
        return;
    if (FDb.isOpen()) {
        // SQLite leaves the log of a file that moved where it was, and would read it into
        // whatever file comes to the path next: its rows go into the file that went, first,
        // and the log and its index leave the path.
        QSqlQuery(FDb).exec(QStringLiteral("pragma wal_checkpoint(TRUNCATE)"));
        Close();
        for (const char* suffix : { "-wal", "-shm" })
            QFile::remove(FPath + QLatin1String(suffix));
    }
    FRemake = true;
    Empty();
    FRemake = false;
    throw EDatabaseError(
        QStringLiteral("The results database \"%1\" was %2 while this session stored readings in it: the "
                       "readings stored before are not in the new file%3. Readings are stored in it from "
                       "now on.")
            .arg(DisplayPath(FPath), replaced ? QStringLiteral("replaced") : QStringLiteral("deleted"),
                replaced ? QStringLiteral(" (the rows the new file held were archived first)")
                         : QStringLiteral(", which was made with its tables"))
            .toStdString());
}

QString SqliteResults::Write(ResultsTable table, const QStringList& values)
{
    CheckSameFile();
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

void SqliteResults::BeginRun(ResultsTable table)
{
    if (table != ResultsTable::Resistance)
        FRunIds[RunSlot(table)] = QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString SqliteResults::RunKey(ResultsTable table) const
{
    return FRunIds[RunSlot(table)];
}

std::vector<QString> SqliteResults::WriteRows(const std::vector<PendingRow>& rows)
{
    try {
        return WriteAll(rows);
    } catch (const EDatabaseError& e) {
        NoteHeldUp(e);
        throw;
    }
}

std::vector<QString> SqliteResults::WriteAll(const std::vector<PendingRow>& rows)
{
    // Rows an earlier session left come before this session's start: never into a file
    // another window holds.
    TakeLock();
    CheckSameFile();
    QSqlDatabase& db = Database();
    QSqlQuery query(db);
    const auto fail = [&](const QString& statement, const QSqlError& error) {
        query.exec(QStringLiteral("rollback"));
        ThrowStatementError(FPath, statement, error);
    };
    // These rows leave the journal once this returns, so the commit must outlast a power cut
    // as the journal's own does, not only a crash of the program.
    if (!query.exec(QStringLiteral("pragma synchronous=FULL")))
        ThrowStatementError(FPath, QStringLiteral("pragma synchronous=FULL"), query.lastError());
    const auto normal = qScopeGuard([&query] { query.exec(QStringLiteral("pragma synchronous=NORMAL")); });
    // Every row or none: a batch refused half-way is tried again whole, never doubled.
    if (!query.exec(QStringLiteral("begin immediate")))
        ThrowStatementError(FPath, QStringLiteral("begin immediate"), query.lastError());
    std::vector<QString> ids;
    ids.reserve(rows.size());
    QSqlQuery written(db);
    const QString mark = QStringLiteral("insert or ignore into %1 values (?, ?)").arg(kWrittenRowsTable);
    written.prepare(mark);
    for (const PendingRow& row : rows) {
        if (!row.runRecord) {
            // A row the file took before its journal let it go (the program ended in between)
            // comes again at the next start: known by its run and number, it is taken once.
            written.addBindValue(row.runId);
            written.addBindValue(row.seq);
            if (!written.exec()) {
                const QSqlError error = written.lastError();
                written = QSqlQuery();
                fail(mark, error);
            }
            if (written.numRowsAffected() == 0) {
                ids.emplace_back();
                continue;
            }
            QSqlQuery& insert = InsertQuery(row.table);
            for (qsizetype i = 0; i < row.values.size(); ++i)
                insert.bindValue(
                    static_cast<int>(i), row.values[i].isNull() ? QString(QLatin1String("")) : row.values[i]);
            if (!insert.exec()) {
                const QSqlError error = insert.lastError();
                insert.finish();
                fail(InsertStatement(row.table), error);
            }
            ids.push_back(insert.lastInsertId().toString());
            insert.finish();
            continue;
        }
        const QString statement = UpsertRunStatement(RunsDialect::Sqlite);
        QSqlQuery upsert(db);
        upsert.prepare(statement);
        BindRunRecord(upsert, QString(), row.record);
        if (!upsert.exec()) {
            const QSqlError error = upsert.lastError();
            upsert = QSqlQuery();
            fail(statement, error);
        }
        ids.push_back(row.runId);
    }
    written = QSqlQuery();
    if (!query.exec(QStringLiteral("commit")))
        fail(QStringLiteral("commit"), query.lastError());
    return ids;
}
void SqliteResults::Clear(ResultsTable table)
{
    const QString statement = QStringLiteral("delete from ") + TableShape(table).Name;
    QSqlQuery query(Database());
    if (!query.exec(statement))
        ThrowStatementError(FPath, statement, query.lastError());
}

void SqliteResults::StartSession()
{
    FHeldUp = HeldUp::Other;
    try {
        // The lock first: a file another window writes to is neither archived nor emptied.
        TakeLock();
        Empty();
    } catch (const EDatabaseError& e) {
        NoteHeldUp(e);
        throw;
    }
}

void SqliteResults::NoteHeldUp(const EDatabaseError& e)
{
    FHeldUp = e.InUse()                    ? HeldUp::InUse
        : e.Busy()                         ? HeldUp::Busy
        : !ReadOnlyReason(FPath).isEmpty() ? HeldUp::ReadOnly
                                           : FHeldUp;
}

void SqliteResults::TakeLock()
{
    if (FLock.Take())
        return;
    FHeldUp = HeldUp::InUse;
    throw EDatabaseError(InUseMessage(FLock.Holder()).toStdString(), EDatabaseError::Cause::InUse);
}

void SqliteResults::Empty()
{
    // Known before anything is archived: a file that cannot be emptied would be archived
    // again at every try.
    if (const QString why = ReadOnlyReason(FPath); !why.isEmpty())
        ThrowOpenError(FPath, QStringLiteral("it cannot be emptied for this session"));
    QSqlDatabase& db = Database();
    QSqlQuery query(db);
    // A file SQLite can open may still be broken inside; only a sound one is kept.
    if (!query.exec(QStringLiteral("pragma quick_check")))
        ThrowStatementError(FPath, QStringLiteral("pragma quick_check"), query.lastError());
    if (!query.next() || query.value(0).toString() != QLatin1String("ok"))
        throw EDatabaseError("damaged", EDatabaseError::Cause::Damaged);
    query.finish();
    const auto run = [&](const QString& statement) {
        if (!query.exec(statement)) {
            const QSqlError error = query.lastError();
            query.exec(QStringLiteral("rollback"));
            ThrowStatementError(FPath, statement, error);
        }
    };
    // Every table or none, and the write lock held from the count to the emptying, so the
    // archive holds exactly the rows that go.
    run(QStringLiteral("begin immediate"));
    std::array<qint64, kResultsTables> rows {};
    for (const ResultsTable table : kAllResultsTables) {
        run(QStringLiteral("select count(*) from ") + TableShape(table).Name);
        rows[static_cast<size_t>(table)] = query.next() ? query.value(0).toLongLong() : 0;
        query.finish();
    }
    if (std::accumulate(rows.begin(), rows.end(), qint64 { 0 }) > 0) {
        try {
            FArchive.Write(rows);
        } catch (const EDatabaseError&) {
            FHeldUp = HeldUp::Archive;
            query.exec(QStringLiteral("rollback"));
            throw;
        }
    }
    for (const ResultsTable table : kAllResultsTables)
        run(QStringLiteral("delete from ") + TableShape(table).Name);
    run(QStringLiteral("delete from runs"));
    run(QStringLiteral("delete from ") + kWrittenRowsTable);
    run(QStringLiteral("commit"));
}

QString SqliteResults::SetAsideDamaged()
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
    if (!moved)
        return QStringLiteral("The results database \"%1\" is damaged and could not be moved aside.")
            .arg(DisplayPath(FPath));
    return QStringLiteral("The results database \"%1\" was damaged: it was moved aside as \"%2\" and a new "
                          "one was made.")
        .arg(DisplayPath(FPath), DisplayPath(aside));
}

QString SqliteResults::HeldUpStatus() const
{
    const QString file = QFileInfo(FPath).fileName();
    switch (FHeldUp) {
    case HeldUp::Busy:
        return QStringLiteral("Waiting for \"%1\": another program holds it").arg(file);
    case HeldUp::InUse:
        return InUseMessage(FLock.Holder());
    case HeldUp::Archive:
        return QStringLiteral("Waiting for \"%1\": its previous results could not be archived").arg(file);
    case HeldUp::ReadOnly:
        return QStringLiteral("Waiting for \"%1\": it is read-only").arg(file);
    case HeldUp::Other:
        break;
    }
    return QStringLiteral("Waiting for \"%1\": it could not be emptied").arg(file);
}

QString SqliteResults::Name() const
{
    return DisplayPath(FPath);
}

QString SqliteResults::NotReadyNote() const
{
    return QStringLiteral(" It was not emptied for this run; readings are kept until it can be.");
}

std::optional<ResultsLockHolder> SqliteResults::LockHolder() const
{
    if (FHeldUp != HeldUp::InUse)
        return std::nullopt;
    return FLock.Holder();
}
