#include "CommTestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

TPty::TPty()
{
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    if (ptsname_r(FMaster, name, sizeof name) != 0)
        throw std::runtime_error("no pseudo-terminal name");
    FSlavePath = QString::fromLocal8Bit(name);
    termios t {};
    tcgetattr(FMaster, &t);
    cfmakeraw(&t);
    tcsetattr(FMaster, TCSANOW, &t);
}

TPty::~TPty()
{
    CloseMaster();
}

void TPty::Write(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(FMaster, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            throw std::runtime_error("pty write failed");
        if (n > 0)
            done += n;
    }
}

QByteArray TPty::Read(std::size_t count, std::chrono::milliseconds limit)
{
    QByteArray got;
    const QDeadlineTimer deadline(limit);
    char buffer[4096];
    while (static_cast<std::size_t>(got.size()) < count && !deadline.hasExpired()) {
        pollfd p { FMaster, POLLIN, 0 };
        if (poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
            continue;
        const ssize_t n = read(FMaster, buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, n);
    }
    return got;
}

namespace {
constexpr int kFloodPeriod = 251; // prime, so the stream never lines up with chunk boundaries
}

void TPty::Flood(const std::atomic<bool>& stop, std::size_t limit)
{
    const QByteArray bytes = FloodBytes(kFloodPeriod * 17);
    const int flags = fcntl(FMaster, F_GETFL);
    fcntl(FMaster, F_SETFL, flags | O_NONBLOCK); // so that the stop is seen while the port is full
    for (std::size_t written = 0; !stop && written < limit;) {
        pollfd p { FMaster, POLLOUT, 0 };
        if (poll(&p, 1, 10) <= 0)
            continue;
        const ssize_t n = write(FMaster, bytes.constData() + written % kFloodPeriod, kFloodPeriod * 16);
        if (n > 0)
            written += static_cast<std::size_t>(n);
        else if (errno != EAGAIN && errno != EINTR)
            QThread::msleep(1); // no reader on the other side for the moment
    }
    fcntl(FMaster, F_SETFL, flags);
}

QByteArray FloodBytes(qsizetype size)
{
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % kFloodPeriod);
    return bytes;
}

void TPty::CloseMaster()
{
    if (FMaster >= 0)
        close(FMaster);
    FMaster = -1;
}

TCommProbe::TCommProbe(TComm& comm)
{
    comm.OnReceiveData
        = [this](TComm*, const char* buffer, uint16_t length) { Chunks.emplace_back(buffer, length); };
    comm.OnRequestHangup = [this](TComm*) { ++Hangups; };
    comm.OnSendDataEmpty = [this](TComm*) { ++SendEmpties; };
}

QByteArray TCommProbe::Received() const
{
    QByteArray all;
    for (const auto& c : Chunks)
        all += c;
    return all;
}

void PumpEvents(std::chrono::milliseconds period)
{
    WaitUntil([] { return false; }, period);
}

int OpenFdCount()
{
    DIR* dir = opendir("/proc/self/fd");
    int count = -1; // the directory's own descriptor is not counted
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count - 2; // "." and ".."
}

int ThreadsNamed(const std::string& name)
{
    int count = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid) + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed().toStdString() == name)
            ++count;
    }
    return count;
}
