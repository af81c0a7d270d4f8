#include "store/ResultsFileLock.h"

#include "store/ResultsDatabase.h"
#include "store/ResultsTable.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

QString ThisProgram()
{
    return QCoreApplication::instance() ? QFileInfo(QCoreApplication::applicationFilePath()).fileName()
                                        : QString();
}

bool Alive(qint64 pid)
{
    // EPERM: it lives, under another user.
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// "pid 1234\nprogram dcload\nstarted 2024-05-01T14:02:11\n"
QByteArray Describe(const ResultsLockHolder& holder)
{
    return QStringLiteral("pid %1\nprogram %2\nstarted %3\n")
        .arg(holder.pid)
        .arg(holder.program, holder.started.toString(Qt::ISODate))
        .toUtf8();
}

ResultsLockHolder ReadHolder(int fd, const QString& file)
{
    ResultsLockHolder holder { file, 0, {}, {} };
    char buffer[1024];
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, 0);
    if (got <= 0)
        return holder;
    for (const QByteArray& line : QByteArray(buffer, static_cast<qsizetype>(got)).split('\n')) {
        const qsizetype blank = line.indexOf(' ');
        if (blank < 0)
            continue;
        const QByteArray key = line.left(blank);
        const QString value = QString::fromUtf8(line.mid(blank + 1)).trimmed();
        if (key == "pid")
            holder.pid = value.toLongLong();
        else if (key == "program")
            holder.program = value;
        else if (key == "started")
            holder.started = QDateTime::fromString(value, Qt::ISODate);
    }
    // A name left by a holder that is gone (the lock now held by one that wrote nothing)
    // would point the operator at the wrong process.
    if (!Alive(holder.pid))
        holder = { file, 0, {}, {} };
    return holder;
}

[[noreturn]] void ThrowLockError(const QString& databasePath, const QString& lockPath, int error)
{
    throw EDatabaseError(QStringLiteral("Cannot lock the results database \"%1\" (with \"%2\"): %3")
                             .arg(DisplayPath(databasePath), DisplayPath(lockPath),
                                 QString::fromLocal8Bit(std::strerror(error)))
                             .toStdString());
}

} // namespace

QString InUseMessage(const ResultsLockHolder& holder)
{
    if (holder.pid == 0)
        return QStringLiteral("%1 is in use by another program").arg(holder.file);
    QString text
        = QStringLiteral("%1 is in use by %2, process %3")
              .arg(holder.file, holder.program.isEmpty() ? QStringLiteral("a program") : holder.program)
              .arg(holder.pid);
    if (holder.started.isValid())
        text += QStringLiteral(", started ")
            + QLocale::system().toString(holder.started, QLocale::ShortFormat);
    return text;
}

ResultsFileLock::ResultsFileLock(const QString& databasePath)
    : FDatabasePath(databasePath)
    , FPath(databasePath + QStringLiteral(".lock"))
{ }

ResultsFileLock::~ResultsFileLock()
{
    Close();
}

void ResultsFileLock::Close()
{
    if (FFd >= 0)
        ::close(FFd); // drops the lock
    FFd = -1;
    FHeld = false;
}

bool ResultsFileLock::Take()
{
    if (Held())
        return true;
    if (FFd < 0) {
        const QByteArray path = QFile::encodeName(FPath);
        // Close-on-exec: a program this one starts must not keep the lock alive after it.
        FFd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        // Someone else's lock file we may not write still locks.
        if (FFd < 0 && (errno == EACCES || errno == EROFS))
            FFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (FFd < 0)
            ThrowLockError(FDatabasePath, FPath, errno);
    }
    int result = 0;
    do
        result = ::flock(FFd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    const QString file = QFileInfo(FDatabasePath).fileName();
    if (result != 0) {
        const int error = errno;
        if (error != EWOULDBLOCK)
            ThrowLockError(FDatabasePath, FPath, error);
        FHolder = ReadHolder(FFd, file);
        return false;
    }
    FHeld = true;
    FHolder = { file, ::getpid(), ThisProgram(), QDateTime::currentDateTime() };
    // The name is only for another window's message: the lock itself is what counts, so a
    // lock file that cannot be written (someone else's) still serves.
    const QByteArray text = Describe(FHolder);
    if (::ftruncate(FFd, 0) == 0)
        (void)!::pwrite(FFd, text.constData(), static_cast<size_t>(text.size()), 0);
    return true;
}
