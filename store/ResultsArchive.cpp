#include "store/ResultsArchive.h"

#include "store/ResultsDatabase.h"
#include "store/ResultsTable.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kWritingPrefix[] = ".writing-";

QString SystemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A connection of its own for one job, closed and removed however the job ends.
class Connection
{
public:
    Connection(const QString& path, const QString& options)
        : FName(NewName())
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), FName);
        db.setDatabaseName(path);
        db.setConnectOptions(options);
    }
    ~Connection()
    {
        QSqlDatabase::database(FName, false).close();
        QSqlDatabase::removeDatabase(FName);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Nothing on success, else the reason.
    QString Open()
    {
        QSqlDatabase db = QSqlDatabase::database(FName, false);
        return db.open() ? QString() : Reason(db.lastError());
    }
    // The first value `statement` returns (with `bound` bound to its one parameter, when
    // given); sets `failure` when it is refused.
    QString Value(const QString& statement, QString& failure, const QString& bound = {})
    {
        QSqlQuery query(QSqlDatabase::database(FName, false));
        bool ok = query.prepare(statement);
        if (ok && !bound.isNull())
            query.addBindValue(bound);
        ok = ok && query.exec();
        if (!ok) {
            failure = Reason(query.lastError());
            return {};
        }
        return query.next() ? query.value(0).toString() : QString();
    }

private:
    static QString NewName()
    {
        // Numbers the connections of this process; only ever incremented.
        static std::atomic<unsigned> next { 0 };
        return QStringLiteral("dcload-archive-%1").arg(++next);
    }
    static QString Reason(const QSqlError& error)
    {
        const QString own = error.databaseText().trimmed();
        return own.isEmpty() ? error.text().trimmed() : own;
    }

    const QString FName;
};

// Flushes a file or folder to disk; the errno of the failure, or 0.
int Sync(const QString& path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

// Moves `from` to `to` unless `to` exists (EEXIST then); the errno of the failure, or 0.
int RenameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the flag: a hard link fails just the same on a taken name.
    if (::link(source.constData(), target.constData()) != 0)
        return errno;
    ::unlink(source.constData());
    return 0;
}

void RemoveWithJournals(const QString& path)
{
    for (const char* suffix : { "", "-journal", "-wal", "-shm" })
        QFile::remove(path + QLatin1String(suffix));
}

} // namespace

ResultsArchive::ResultsArchive(const QString& databasePath, int kept)
    : FDatabasePath(databasePath)
    , FFolder(QFileInfo(databasePath)
                  .absoluteDir()
                  .filePath(QFileInfo(databasePath).completeBaseName() + QStringLiteral("-archive")))
    , FBaseName(QFileInfo(databasePath).completeBaseName())
    , FKept(std::max(kept, 1))
{ }

QString ResultsArchive::Write(const std::array<qint64, kResultsTables>& rows) const
{
    const auto fail = [this](const QString& reason) {
        throw EDatabaseError(
            QStringLiteral("The rows of the results database \"%1\" could not be archived into \"%2\": %3.")
                .arg(DisplayPath(FDatabasePath), QDir::toNativeSeparators(FFolder), reason)
                .toStdString());
    };

    if (::mkdir(QFile::encodeName(FFolder).constData(), 0755) != 0 && errno != EEXIST)
        fail(SystemReason(errno));
    if (!QFileInfo(FFolder).isDir())
        fail(QStringLiteral("there is a file of that name, not a folder"));
    // Left by a copy that was cut short: this process holds the results file's lock, so no
    // other copy can be on its way.
    QDir folder(FFolder);
    for (const QString& stale : folder.entryList(
             { QLatin1String(kWritingPrefix) + QLatin1Char('*') }, QDir::Files | QDir::Hidden | QDir::System))
        folder.remove(stale);

    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString temporary = folder.filePath(
        QLatin1String(kWritingPrefix) + FBaseName + u'-' + stamp + QStringLiteral(".sqlite"));
    struct Cleanup
    {
        QString path;
        ~Cleanup()
        {
            if (!path.isEmpty())
                RemoveWithJournals(path);
        }
    } cleanup { temporary };

    QString failure;
    {
        Connection source(
            FDatabasePath, QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyWaitMs));
        failure = source.Open();
        if (failure.isEmpty())
            source.Value(QStringLiteral("vacuum into ?"), failure, temporary);
    }
    if (!failure.isEmpty())
        fail(failure);
    {
        // The copy must read back whole and hold every row: only then may the file be emptied.
        Connection copy(temporary, QString());
        failure = copy.Open();
        // A plain file on its own, without a log that would have to travel with it.
        if (failure.isEmpty())
            copy.Value(QStringLiteral("pragma journal_mode=DELETE"), failure);
        QString check;
        if (failure.isEmpty())
            check = copy.Value(QStringLiteral("pragma integrity_check"), failure);
        if (failure.isEmpty() && check != QLatin1String("ok"))
            failure = QStringLiteral("the copy does not read back whole (%1)").arg(check);
        for (const ResultsTable table : kAllResultsTables) {
            if (!failure.isEmpty())
                break;
            const QString count = QStringLiteral("select count(*) from ") + TableShape(table).Name;
            const qint64 expected = rows[static_cast<size_t>(table)];
            const QString got = copy.Value(count, failure);
            if (failure.isEmpty() && got.toLongLong() != expected)
                failure = QStringLiteral("the copy holds %1 rows where %2 were expected (%3)")
                              .arg(got)
                              .arg(expected)
                              .arg(count);
        }
    }
    if (!failure.isEmpty())
        fail(failure);
    if (const int error = Sync(temporary, O_RDONLY))
        fail(SystemReason(error));

    // After any archive of the same second, kept or not, so the numbers follow the order
    // the archives were made in even where older ones have been deleted.
    int n = 1;
    const QRegularExpression sameSecond(
        QStringLiteral("^%1-%2(?:-(\\d+))?\\.sqlite$").arg(QRegularExpression::escape(FBaseName), stamp));
    for (const QString& file : folder.entryList(QDir::Files)) {
        const QRegularExpressionMatch match = sameSecond.match(file);
        if (match.hasMatch())
            n = std::max(n, (match.captured(1).isEmpty() ? 1 : match.captured(1).toInt()) + 1);
    }
    QString archive;
    for (;; ++n) {
        archive = folder.filePath(FBaseName + u'-' + stamp
            + (n > 1 ? QStringLiteral("-%1").arg(n) : QString()) + QStringLiteral(".sqlite"));
        const int error = RenameNoReplace(temporary, archive);
        if (error == 0)
            break;
        if (error != EEXIST)
            fail(SystemReason(error));
    }
    cleanup.path.clear();
    // The new name is on disk too before the file is emptied.
    Sync(FFolder, O_RDONLY | O_DIRECTORY);
    DropOldest(archive);
    return archive;
}

void ResultsArchive::DropOldest(const QString& newest) const
{
    const QRegularExpression name(QStringLiteral("^%1-(\\d{8}-\\d{6})(?:-(\\d+))?\\.sqlite$")
                                      .arg(QRegularExpression::escape(FBaseName)));
    struct Entry
    {
        QString stamp;
        int n;
        QString file;
    };
    std::vector<Entry> archives;
    QDir folder(FFolder);
    for (const QString& file : folder.entryList(QDir::Files)) {
        const QRegularExpressionMatch match = name.match(file);
        if (match.hasMatch() && folder.filePath(file) != newest)
            archives.push_back(
                { match.captured(1), match.captured(2).isEmpty() ? 1 : match.captured(2).toInt(), file });
    }
    // Newest first; the one just written is kept whatever the clock said before.
    std::sort(archives.begin(), archives.end(),
        [](const Entry& a, const Entry& b) { return a.stamp != b.stamp ? a.stamp > b.stamp : a.n > b.n; });
    for (size_t i = static_cast<size_t>(FKept - 1); i < archives.size(); ++i)
        RemoveWithJournals(folder.filePath(archives[i].file));
}
