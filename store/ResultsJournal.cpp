#include "store/ResultsJournal.h"

#include "store/ResultsDatabase.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>
#include <atomic>
#include <sys/stat.h>

namespace {

// Long enough for another process's append or removal of a few rows to finish; short
// enough that the owner's thread never stalls noticeably on a journal someone keeps locked.
constexpr int kJournalBusyMs = 500;

// SQLite's result codes as its driver reports them (extended codes on).
constexpr int kBusy = 5, kLocked = 6, kCorrupt = 11, kNotADatabase = 26;
// A write to a file that was deleted or renamed since this connection opened it: it would
// land in a file nobody finds again, so SQLite refuses it. Only a rollback journal gets
// this check, which is one reason the journal does not use write-ahead logging.
constexpr int kReadOnlyMoved = 8 | (4 << 8);

const char* const kCompanions[] = { "-journal", "-wal", "-shm" };

const QString kColumns = QStringLiteral(
    "tbl, run_record, run_id, seq, vals, record_run_id, station, kind, started, ended, outcome, parameters, "
    "program_version, instrument");

QString NewConnectionName()
{
    // Numbers the journal connections of this process; only ever incremented.
    static std::atomic<unsigned> next { 0 };
    return QStringLiteral("dcload-journal-%1").arg(++next);
}

// A statement that failed, with the database's reason; turned into the operator's message
// by the journal, which knows its file.
struct SqlFailure
{
    QString reason;
    int code;
};

SqlFailure FailureOf(const QSqlError& error)
{
    const QString own = error.databaseText().trimmed();
    return { own.isEmpty() ? error.text().trimmed() : own, error.nativeErrorCode().toInt() };
}

void Exec(QSqlQuery& query, const QString& statement)
{
    if (!query.exec(statement))
        throw FailureOf(query.lastError());
}

void Prepare(QSqlQuery& query, const QString& statement)
{
    if (!query.prepare(statement))
        throw FailureOf(query.lastError());
}

void Exec(QSqlQuery& query)
{
    if (!query.exec())
        throw FailureOf(query.lastError());
}

QString Text(const QString& value)
{
    return value.isNull() ? QStringLiteral("") : value;
}

// The instant to the millisecond, with the offset it was taken in.
QVariant TimeValue(const QDateTime& time)
{
    if (!time.isValid())
        return QVariant(QMetaType::fromType<QString>());
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString ValuesText(const QStringList& values)
{
    QJsonArray array;
    for (const QString& value : values)
        array.append(Text(value));
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

bool FileId(const QString& path, quint64& device, quint64& inode)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    device = info.st_dev;
    inode = info.st_ino;
    return true;
}

// A readable hint of what the file is for; the hash beside it keeps names apart.
QString Readable(const QString& text, qsizetype most)
{
    QString out;
    for (const QChar c : text) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
            || c == u'.' || c == u'-';
        if (plain)
            out += c;
        else if (!out.endsWith(u'_'))
            out += u'_';
    }
    // The end of a store's text tells most (the database, the file's name).
    out = out.right(most);
    while (out.startsWith(u'.') || out.startsWith(u'_') || out.startsWith(u'-'))
        out.remove(0, 1);
    return out;
}

} // namespace

QString ResultsJournal::PathFor(const QString& store, const QString& station, const QString& folder)
{
    QString where = folder;
    if (where.isEmpty()) {
        where = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        QDir().mkpath(where);
    }
    // Each text goes in whole (UTF-16, so no two texts read alike) and with its length, so
    // no split of one pair between store and station gives another pair's bytes.
    QCryptographicHash hash(QCryptographicHash::Sha1);
    for (const QString& part : { store, station }) {
        hash.addData(QByteArray::number(part.size()) + ':');
        hash.addData(QByteArrayView(reinterpret_cast<const char*>(part.utf16()), part.size() * 2));
    }
    const QString hint = Readable(store + u' ' + station, 48);
    return QDir(where).filePath(
        QStringLiteral("journal-%1%2.sqlite")
            .arg(hint.isEmpty() ? QString() : hint + u'-', QString::fromLatin1(hash.result().toHex())));
}

ResultsJournal::ResultsJournal(QString path)
    : FPath(std::move(path))
    , FConnectionName(NewConnectionName())
{ }

ResultsJournal::~ResultsJournal()
{
    Close();
}

void ResultsJournal::Close()
{
    if (!FDb.isValid())
        return;
    FDb.close();
    FDb = QSqlDatabase();
    QSqlDatabase::removeDatabase(FConnectionName);
}

bool ResultsJournal::Open(bool create)
{
    if (FDb.isValid() && FDb.isOpen()) {
        quint64 device = 0, inode = 0;
        if (FileId(FPath, device, inode) && device == FDevice && inode == FInode)
            return true;
        // Another journal object deleted the file once it was empty (and perhaps made a
        // new one): what this connection still holds is nobody's file.
        Close();
    }
    if (!create && !QFileInfo::exists(FPath))
        return false;
    if (create)
        QDir().mkpath(QFileInfo(FPath).absolutePath());
    if (!FDb.isValid()) {
        FDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), FConnectionName);
        FDb.setDatabaseName(FPath);
        FDb.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kJournalBusyMs));
    }
    if (!FDb.open()) {
        const SqlFailure failure = FailureOf(FDb.lastError());
        Close();
        throw failure;
    }
    if (!FileId(FPath, FDevice, FInode)) {
        Close();
        throw SqlFailure { QStringLiteral("the file went away while it was opened"), 0 };
    }
    try {
        QSqlQuery query(FDb);
        // A rollback journal, truncated at each commit: with synchronous=FULL that truncation
        // is synced, so a row is on the disk once Append returns. Write-ahead logging would
        // be as durable but would not refuse a write to a file deleted under the connection.
        // The first statement reads the file's header: garbage fails here.
        Exec(query, QStringLiteral("pragma journal_mode=TRUNCATE"));
        query.finish();
        Exec(query, QStringLiteral("pragma synchronous=FULL"));
        Exec(query, QStringLiteral("select count(*) from sqlite_master where name = 'waiting'"));
        const bool made = query.next() && query.value(0).toInt() > 0;
        query.finish();
        if (!made) {
            Exec(query, QStringLiteral("begin immediate"));
            try {
                Exec(query,
                    QStringLiteral(
                        "create table if not exists waiting(key INTEGER PRIMARY KEY AUTOINCREMENT, "
                        "tbl INTEGER NOT NULL, run_record INTEGER NOT NULL, run_id TEXT NOT NULL, "
                        "seq INTEGER NOT NULL, vals TEXT NOT NULL, record_run_id TEXT, station TEXT, "
                        "kind TEXT, started TEXT, ended TEXT, outcome TEXT, parameters TEXT, "
                        "program_version TEXT, instrument TEXT)"));
                // Keys start from the clock, so a file made after an earlier one was emptied
                // and deleted never hands out a key that named one of the earlier rows.
                Prepare(query,
                    QStringLiteral(
                        "insert into sqlite_sequence(name, seq) select 'waiting', ? where not exists "
                        "(select 1 from sqlite_sequence where name = 'waiting')"));
                query.addBindValue(QDateTime::currentMSecsSinceEpoch() * 1000);
                Exec(query);
                Exec(query, QStringLiteral("commit"));
            } catch (const SqlFailure&) {
                query.exec(QStringLiteral("rollback"));
                throw;
            }
        }
    } catch (const SqlFailure&) {
        Close();
        throw;
    }
    return true;
}

void ResultsJournal::Fail(const QString& reason, int code, bool reading)
{
    const int primary = code & 0xff;
    if (primary == kCorrupt || primary == kNotADatabase)
        SetAsideDamaged(reason);
    const bool busy = primary == kBusy || primary == kLocked;
    throw EDatabaseError(
        QStringLiteral("The journal of readings waiting, \"%1\", cannot be %2: %3%4")
            .arg(DisplayPath(FPath), reading ? QStringLiteral("read") : QStringLiteral("written"), reason,
                busy ? QStringLiteral(" (another program keeps it busy)") : QString())
            .toStdString(),
        busy ? EDatabaseError::Cause::Busy : EDatabaseError::Cause::Other);
}

void ResultsJournal::SetAsideDamaged(const QString& reason)
{
    Close();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = FPath + QStringLiteral(".damaged-") + stamp;
    // Never over an earlier damaged file: it may hold readings too.
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = FPath + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    bool moved = QFile::rename(FPath, aside);
    // Its rollback journal belongs with it: a fresh file must not pick it up.
    for (const char* suffix : kCompanions) {
        const QString part = FPath + QLatin1String(suffix);
        if (QFile::exists(part))
            moved = QFile::rename(part, aside + QLatin1String(suffix)) && moved;
    }
    if (!moved)
        throw EDatabaseError(
            QStringLiteral("The journal of readings waiting, \"%1\", is damaged (%2) and could "
                           "not be moved aside.")
                .arg(DisplayPath(FPath), reason)
                .toStdString(),
            EDatabaseError::Cause::Damaged);
    throw EDatabaseError(
        QStringLiteral("The journal of readings waiting, \"%1\", was damaged (%2): it was moved "
                       "aside as \"%3\", with whatever readings it still held, and a new one is "
                       "made.")
            .arg(DisplayPath(FPath), reason, DisplayPath(aside))
            .toStdString(),
        EDatabaseError::Cause::Damaged);
}

template <typename Work> void ResultsJournal::Write(Work work)
{
    for (int attempt = 0;; ++attempt) {
        try {
            Open(true);
            QSqlQuery query(FDb);
            Exec(query, QStringLiteral("begin immediate"));
            try {
                work(query);
                Exec(query, QStringLiteral("commit"));
                return;
            } catch (const SqlFailure&) {
                query.exec(QStringLiteral("rollback"));
                throw;
            }
        } catch (const SqlFailure& failure) {
            // Deleted between the check in Open and the write lock: once more, on the new file.
            if (failure.code == kReadOnlyMoved && attempt == 0) {
                Close();
                continue;
            }
            Fail(failure.reason, failure.code);
        }
    }
}

std::vector<qint64> ResultsJournal::Append(const std::vector<PendingRow>& rows)
{
    std::vector<qint64> keys;
    if (rows.empty())
        return keys;
    Write([&](QSqlQuery& query) {
        keys.clear();
        Prepare(query,
            QStringLiteral("insert into waiting(%1) values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                .arg(kColumns));
        for (const PendingRow& row : rows) {
            const RunRecord& record = row.record;
            const QVariant values[] = { static_cast<int>(row.table), row.runRecord ? 1 : 0, Text(row.runId),
                row.seq, ValuesText(row.values), Text(record.runId), Text(record.station), Text(record.kind),
                TimeValue(record.started), TimeValue(record.ended), Text(record.outcome),
                Text(record.parameters), Text(record.programVersion), Text(record.instrument) };
            for (int i = 0; i < static_cast<int>(std::size(values)); ++i)
                query.bindValue(i, values[i]);
            Exec(query);
            keys.push_back(query.lastInsertId().toLongLong());
        }
    });
    return keys;
}

void ResultsJournal::Remove(const std::vector<qint64>& keys)
{
    // No file holds no rows: nothing to drop, and nothing to make.
    if (keys.empty() || !QFileInfo::exists(FPath))
        return;
    Write([&](QSqlQuery& query) {
        Prepare(query, QStringLiteral("delete from waiting where key = ?"));
        for (const qint64 key : keys) {
            query.addBindValue(key);
            Exec(query);
        }
    });
    DeleteIfEmpty();
}

void ResultsJournal::DeleteIfEmpty()
{
    try {
        if (!Open(false))
            return;
        QSqlQuery query(FDb);
        // The write lock is held from the count to the deletion, so no row appended by
        // another process meanwhile goes with the file; one that waits for the lock finds
        // its file gone (SQLite refuses the write) and writes it to a new one.
        Exec(query, QStringLiteral("begin immediate"));
        Exec(query, QStringLiteral("select count(*) from waiting"));
        const bool empty = query.next() && query.value(0).toLongLong() == 0;
        query.finish();
        if (empty) {
            // The companions first: while the file itself is there, nobody makes new ones.
            for (const char* suffix : kCompanions)
                QFile::remove(FPath + QLatin1String(suffix));
            QFile::remove(FPath);
        }
        query.exec(QStringLiteral("rollback"));
        query = QSqlQuery();
        if (empty)
            Close();
    } catch (const SqlFailure&) {
        // Someone else is writing to it, so it is not empty for long: the next Remove or
        // Load that finds it empty deletes it.
    }
}

std::vector<std::pair<qint64, PendingRow>> ResultsJournal::Load()
{
    std::vector<std::pair<qint64, PendingRow>> rows;
    try {
        if (!Open(false))
            return rows;
    } catch (const SqlFailure& failure) {
        Fail(failure.reason, failure.code, true);
    }
    {
        QSqlQuery query(FDb);
        query.setForwardOnly(true);
        try {
            Exec(query, QStringLiteral("select key, %1 from waiting order by key").arg(kColumns));
        } catch (const SqlFailure& failure) {
            const int code = failure.code & 0xff;
            if (code == kBusy || code == kLocked)
                Fail(failure.reason, failure.code, true);
            query = QSqlQuery();
            SetAsideDamaged(failure.reason);
        }
        QString unreadable;
        while (unreadable.isEmpty() && query.next()) {
            PendingRow row;
            const int table = query.value(1).toInt();
            const QJsonDocument values = QJsonDocument::fromJson(query.value(5).toString().toUtf8());
            if (table < 0 || table >= kResultsTables || !values.isArray()) {
                unreadable = QStringLiteral("row %1 does not read").arg(query.value(0).toLongLong());
                break;
            }
            row.table = static_cast<ResultsTable>(table);
            row.runRecord = query.value(2).toInt() != 0;
            row.runId = query.value(3).toString();
            row.seq = query.value(4).toLongLong();
            for (const QJsonValue value : values.array())
                row.values << value.toString();
            RunRecord& record = row.record;
            record.runId = query.value(6).toString();
            record.station = query.value(7).toString();
            record.kind = query.value(8).toString();
            for (const auto& [column, time] :
                { std::pair { 9, &record.started }, std::pair { 10, &record.ended } })
                if (!query.value(column).isNull())
                    *time = QDateTime::fromString(query.value(column).toString(), Qt::ISODateWithMs);
            record.outcome = query.value(11).toString();
            record.parameters = query.value(12).toString();
            record.programVersion = query.value(13).toString();
            record.instrument = query.value(14).toString();
            rows.emplace_back(query.value(0).toLongLong(), std::move(row));
        }
        if (!unreadable.isEmpty() || query.lastError().isValid()) {
            const QString reason = unreadable.isEmpty() ? FailureOf(query.lastError()).reason : unreadable;
            query = QSqlQuery();
            SetAsideDamaged(reason);
        }
    }
    if (rows.empty())
        DeleteIfEmpty();
    return rows;
}

int ResultsJournal::Count()
{
    try {
        if (!Open(false))
            return 0;
        QSqlQuery query(FDb);
        Exec(query, QStringLiteral("select count(*) from waiting"));
        return query.next() ? query.value(0).toInt() : 0;
    } catch (const SqlFailure& failure) {
        Fail(failure.reason, failure.code, true);
    }
}
