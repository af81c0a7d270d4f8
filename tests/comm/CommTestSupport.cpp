#include "CommTestSupport.h"

#include "comm/PosixSerial.h"
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTextStream>
#include <QThread>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
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

std::optional<TLineSettings> TPty::SlaveLineSettings() const
{
    return PosixSerial::ReadLineSettings(FMaster);
}

TLoopbackSocket::TLoopbackSocket()
{
    Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (Fd < 0 || bind(Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || getsockname(Fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (Fd >= 0)
            close(Fd);
        throw std::runtime_error("no free loopback port");
    }
    Port = ntohs(address.sin_port);
}

TLoopbackSocket::~TLoopbackSocket()
{
    close(Fd);
}

TMuteServers::TMuteServers()
{
    // A backlog of 0 holds one connection; the kernel drops the handshakes that come after.
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(FFull.Port);
    FQueued = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen(FFull.Fd, 0) != 0 || listen(FSilent.Fd, 8) != 0 || FQueued < 0
        || connect(FQueued, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (FQueued >= 0)
            close(FQueued);
        throw std::runtime_error("cannot set up the servers that never answer");
    }
}

TMuteServers::~TMuteServers()
{
    close(FQueued);
}

QString TMuteServers::Unanswered() const
{
    return QStringLiteral("tcp://127.0.0.1:%1").arg(FFull.Port);
}

QString TMuteServers::Silent() const
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(FSilent.Port);
}

namespace {

// A TCP port on 127.0.0.1 that nothing listens on at the moment.
uint16_t FreeLoopbackPort()
{
    return TLoopbackSocket().Port;
}

// Whether process pid listens on 127.0.0.1:port. Another process may hold the port: tests
// run side by side pick their ports the same way, and a ser2net that cannot have one of its
// ports goes on serving the other.
bool ListensOn(pid_t pid, uint16_t port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local
        = QStringLiteral("0100007F:%1").arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1();
    QByteArray inode;
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 9 && fields[1] == local && fields[3] == "0A")
            inode = fields[9];
    }
    if (inode.isEmpty())
        return false;
    const QByteArray socket = "socket:[" + inode + "]";
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& fd : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        char target[64] = {};
        const ssize_t n
            = readlink(QFile::encodeName(fds.filePath(fd)).constData(), target, sizeof target - 1);
        if (n > 0 && socket == QByteArray(target, static_cast<qsizetype>(n)))
            return true;
    }
    return false;
}

QString Ser2netProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("ser2net"),
        { QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/sbin") });
}

} // namespace

TSer2net::TSer2net(const QString& device)
{
    const QString program = Ser2netProgram();
    if (program.isEmpty())
        throw std::runtime_error("ser2net is not installed: run scripts/deps (Debian package ser2net)");
    if (!FFolder.isValid())
        throw std::runtime_error("no temporary folder for the ser2net configuration");
    // A free port can be taken by another test between the pick and ser2net's bind; then
    // this one starts again on new ports rather than let a client reach the other's server.
    std::string log;
    for (int attempt = 0; attempt < 5; ++attempt) {
        log = Start(program, device);
        if (log.empty())
            return;
    }
    throw std::runtime_error("ser2net does not listen on its ports: " + log);
}

std::string TSer2net::Start(const QString& program, const QString& device)
{
    FRaw = FreeLoopbackPort();
    do
        FTelnet = FreeLoopbackPort();
    while (FTelnet == FRaw);
    const QString config = FFolder.filePath(QStringLiteral("ser2net.yaml"));
    {
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            throw std::runtime_error("cannot write the ser2net configuration");
        QTextStream out(&file);
        // The device opens when a client connects and closes when it leaves.
        out << "connection: &raw\n"
            << "  accepter: tcp,127.0.0.1," << FRaw << "\n"
            << "  connector: serialdev," << device << ",9600n81,local\n"
            << "connection: &telnet\n"
            << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << FTelnet << "\n"
            << "  connector: serialdev," << device << ",9600n81,local\n";
    }
    // Started with fork and exec rather than QProcess: its child shares the parent's memory
    // until exec, which confuses ThreadSanitizer's picture of the parent's locks.
    const QByteArray logPath = QFile::encodeName(FFolder.filePath(QStringLiteral("ser2net.log")));
    const QByteArray pidPath = QFile::encodeName(FFolder.filePath(QStringLiteral("ser2net.pid")));
    const QByteArray configPath = QFile::encodeName(config);
    const QByteArray programPath = QFile::encodeName(program);
    // -u: no UUCP lock files, which would outlive a killed test in /var/lock.
    std::vector<char*> argv { const_cast<char*>(programPath.constData()), const_cast<char*>("-n"),
        const_cast<char*>("-d"), const_cast<char*>("-u"), const_cast<char*>("-P"),
        const_cast<char*>(pidPath.constData()), const_cast<char*>("-c"),
        const_cast<char*>(configPath.constData()), nullptr };
    FPid = fork();
    if (FPid == 0) {
        const int log = open(logPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) {
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (FPid < 0)
        throw std::runtime_error("ser2net did not start: no process");
    const auto logText = [&] {
        QFile file(QString::fromLocal8Bit(logPath));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(); // not made yet
    };
    const auto listening = [&] { return ListensOn(FPid, FRaw) && ListensOn(FPid, FTelnet); };
    // ser2net says so in its log when it cannot have a port, and goes on with the other.
    WaitUntil([&] { return !Running() || logText().contains("Unable to startup") || listening(); }, 10s);
    if (Running() && listening())
        return {};
    Stop();
    const QByteArray said = logText();
    return said.isEmpty() ? std::string("nothing in its log") : said.toStdString();
}

TSer2net::~TSer2net()
{
    Stop();
}

QString TSer2net::RawPort() const
{
    return QStringLiteral("tcp://127.0.0.1:%1").arg(FRaw);
}

QString TSer2net::TelnetPort() const
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(FTelnet);
}

bool TSer2net::Running()
{
    if (FPid <= 0)
        return false;
    int status = 0;
    if (waitpid(FPid, &status, WNOHANG) == 0)
        return true;
    FPid = -1;
    return false;
}

void TSer2net::Stop()
{
    if (!Running())
        return;
    kill(FPid, SIGTERM);
    if (!WaitUntil([this] { return !Running(); }, 5s)) {
        kill(FPid, SIGKILL);
        waitpid(FPid, nullptr, 0);
    }
    FPid = -1;
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
