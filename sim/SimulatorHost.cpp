#include "sim/SimulatorHost.h"

#include "sim/InstrumentModel.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {
using Clock = std::chrono::steady_clock;

// No command comes near this; a longer line is noise and is dropped whole.
constexpr std::size_t kLongestLine = 256;

std::runtime_error SystemError(const char* what)
{
    return std::runtime_error(std::string("simulator: ") + what + ": " + std::strerror(errno));
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
} // namespace

struct SimulatorHost::Impl
{
    explicit Impl(const SimOptions& o)
        : options(o)
        , replyDelayMs(std::max(o.replyDelayMs, 0))
        , dropOnce(o.dropOnce)
        , model(BatteryCell(o.batteryCapacityAh, o.batteryInternalOhm, o.batteryFullVolts,
                    o.batteryEmptyVolts, o.batteryChemistry),
              o.cellInEveryMode ? CellWiring::EveryMode : CellWiring::BatteryModeOnly)
    { }

    // Where a line came from and its reply goes: the pty or the TCP client.
    enum Side { Pty = 0, Client = 1 };
    struct Line
    {
        std::string partial;
        bool overlong = false;
        std::string output;
    };
    struct PendingReply
    {
        Clock::time_point due;
        std::string text;
        Side side;
    };

    void Run();
    void Feed(const char* bytes, std::size_t count, Clock::time_point now, Side side);
    void EndLine(Clock::time_point now, Side side);
    void QueueDueReplies(Clock::time_point now);
    bool Flush();
    bool FlushClient();
    void DropClient();
    int PollTimeoutMs(Clock::time_point now) const;
    void Trace(SimTraffic kind, const std::string& text);

    const SimOptions options;
    SimulatorHost* owner = nullptr;

    // Written by Start() before the thread exists and by Stop() after it has been joined;
    // in between only the thread uses the descriptors and the owner reads the path.
    int master = -1;
    int slaveKeeper = -1; // our own slave descriptor: without it the master reports a
                          // hang-up whenever no program has the port open, and poll spins
    int stopFd = -1; // eventfd, readable for good once Stop() signals it
    int wakeFd = -1; // eventfd, readable while injected bytes wait for the thread
    int listenFd = -1; // written by Listen() before the thread exists, closed after the join
    uint16_t listenPort = 0;
    int clientFd = -1; // the thread's alone while it runs
    std::string slavePath;
    std::thread thread;
    Clock::time_point started;

    // Guards nothing else: the delay is read by the thread for each query and changed by
    // the owner at any time.
    std::atomic<int> replyDelayMs;

    mutable std::mutex logMutex; // guards log, appended by the thread, copied by the owner
    std::deque<SimReceivedLine> log;

    std::mutex cueMutex; // guards filter, injected and dropOnce, set by the owner, taken by the thread
    SimReplyFilter filter;
    std::string injected;
    std::vector<std::string> dropOnce;

    // Owned by the thread alone while it runs.
    InstrumentModel model;
    Clock::time_point modelTime;
    Line lines[2];
    std::deque<PendingReply> pending;
};

SimulatorHost::SimulatorHost(SimOptions options)
    : d(std::make_unique<Impl>(options))
{
    d->owner = this;
}

SimulatorHost::~SimulatorHost()
{
    Stop();
}

void SimulatorHost::Listen(const std::string& host, uint16_t port)
{
    if (d->thread.joinable() || d->listenFd >= 0)
        throw std::runtime_error("simulator: listen before starting, once");
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        throw std::runtime_error("simulator: not an IPv4 address: " + host);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw SystemError("socket");
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const auto error = SystemError(("listening on " + host + ":" + std::to_string(port)).c_str());
        ::close(fd);
        throw error;
    }
    d->listenFd = fd;
    d->listenPort = ntohs(address.sin_port);
}

uint16_t SimulatorHost::ListenPort() const
{
    return d->listenPort;
}

void SimulatorHost::Start()
{
    if (d->thread.joinable())
        throw std::runtime_error("simulator: already running");
    d->master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (d->master < 0)
        throw SystemError("posix_openpt");
    char name[128];
    termios raw {};
    const bool ready = ::grantpt(d->master) == 0 && ::unlockpt(d->master) == 0
        && ::ptsname_r(d->master, name, sizeof name) == 0 && ::tcgetattr(d->master, &raw) == 0;
    if (ready) {
        // Raw on the pair, so nothing the program writes is echoed back to it or changed.
        ::cfmakeraw(&raw);
        d->slavePath = name;
    }
    if (!ready || ::tcsetattr(d->master, TCSANOW, &raw) != 0
        || ::fcntl(d->master, F_SETFL, ::fcntl(d->master, F_GETFL) | O_NONBLOCK) != 0
        || ::fcntl(d->master, F_SETFD, FD_CLOEXEC) != 0) {
        const auto error = SystemError("preparing the pseudo-terminal");
        CloseFd(d->master);
        throw error;
    }
    d->slaveKeeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    d->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    d->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d->slaveKeeper < 0 || d->stopFd < 0 || d->wakeFd < 0) {
        const auto error = SystemError("opening the pseudo-terminal");
        CloseFd(d->master);
        CloseFd(d->slaveKeeper);
        CloseFd(d->stopFd);
        CloseFd(d->wakeFd);
        throw error;
    }
    d->started = Clock::now();
    d->modelTime = d->started;
    d->thread = std::thread([impl = d.get()] { impl->Run(); });
}

void SimulatorHost::Stop()
{
    if (!d->thread.joinable()) {
        CloseFd(d->listenFd); // listened, never started
        d->listenPort = 0;
        return;
    }
    const uint64_t one = 1;
    // Wake: the thread polls the eventfd first and ends when it is readable.
    [[maybe_unused]] const auto written = ::write(d->stopFd, &one, sizeof one);
    d->thread.join();
    CloseFd(d->master); // the program's side of the pair now sees a hang-up
    CloseFd(d->slaveKeeper);
    CloseFd(d->stopFd);
    CloseFd(d->wakeFd);
    CloseFd(d->clientFd);
    CloseFd(d->listenFd);
    d->listenPort = 0;
    d->pending.clear();
    for (Impl::Line& line : d->lines)
        line = {};
}

QString SimulatorHost::SlavePath() const
{
    return QString::fromStdString(d->slavePath);
}

std::vector<SimReceivedLine> SimulatorHost::ReceivedLines() const
{
    std::lock_guard lock(d->logMutex);
    return { d->log.begin(), d->log.end() };
}

void SimulatorHost::SetReplyDelayMs(int ms)
{
    d->replyDelayMs.store(std::max(ms, 0));
}

void SimulatorHost::DropAnswerOnce(const std::string& query)
{
    std::lock_guard lock(d->cueMutex);
    d->dropOnce.push_back(query);
}

void SimulatorHost::SetReplyFilter(SimReplyFilter filter)
{
    std::lock_guard lock(d->cueMutex);
    d->filter = std::move(filter);
}

void SimulatorHost::Inject(const std::string& bytes)
{
    {
        std::lock_guard lock(d->cueMutex);
        d->injected += bytes;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(d->wakeFd, &one, sizeof one);
}

void SimulatorHost::Impl::Run()
{
    char buf[512];
    for (;;) {
        Line& pty = lines[Pty];
        Line& client = lines[Client];
        // While a client is connected the next one waits in the listen queue.
        pollfd fds[5]
            = { { stopFd, POLLIN, 0 }, { master, short(POLLIN | (pty.output.empty() ? 0 : POLLOUT)), 0 },
                  { wakeFd, POLLIN, 0 }, { clientFd < 0 ? listenFd : -1, POLLIN, 0 },
                  { clientFd, short(POLLIN | (client.output.empty() ? 0 : POLLOUT)), 0 } };
        const int ready = ::poll(fds, 5, PollTimeoutMs(Clock::now()));
        if (ready < 0 && errno != EINTR)
            return;
        if (fds[0].revents != 0)
            return;
        const auto now = Clock::now();
        if (fds[2].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const auto drained = ::read(wakeFd, &count, sizeof count);
            std::lock_guard lock(cueMutex);
            Trace(SimTraffic::Replied, injected);
            lines[clientFd >= 0 ? Client : Pty].output += std::exchange(injected, {});
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t got = ::read(master, buf, sizeof buf);
            if (got > 0)
                Feed(buf, static_cast<std::size_t>(got), now, Pty);
            else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                return;
        } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            return; // the keeper holds the slave open, so this means the pair is gone
        }
        if (fds[3].revents & POLLIN) {
            clientFd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            const int on = 1;
            if (clientFd >= 0)
                ::setsockopt(clientFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        if (fds[4].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = ::recv(clientFd, buf, sizeof buf, 0);
            if (got > 0)
                Feed(buf, static_cast<std::size_t>(got), now, Client);
            else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                DropClient();
        }
        QueueDueReplies(now);
        if (!Flush())
            return;
        if (!FlushClient())
            DropClient();
    }
}

void SimulatorHost::Impl::DropClient()
{
    CloseFd(clientFd);
    lines[Client] = {};
    std::erase_if(pending, [](const PendingReply& r) { return r.side == Client; });
}

void SimulatorHost::Impl::Feed(const char* bytes, std::size_t count, Clock::time_point now, Side side)
{
    Line& from = lines[side];
    for (std::size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        if (c == '\r')
            EndLine(now, side);
        else if (c == '\n')
            continue; // a program that ends lines with CR LF is still understood
        else if (from.partial.size() < kLongestLine)
            from.partial += c;
        else
            from.overlong = true;
    }
}

void SimulatorHost::Impl::EndLine(Clock::time_point now, Side side)
{
    const std::string line = std::move(lines[side].partial);
    lines[side].partial.clear();
    const bool refused = std::exchange(lines[side].overlong, false);
    {
        std::lock_guard lock(logMutex);
        log.push_back({ std::chrono::duration<double>(now - started).count(), line });
        while (log.size() > options.receivedLinesKept)
            log.pop_front();
    }
    if (refused) {
        Trace(SimTraffic::Ignored, line);
        return;
    }
    model.Advance(std::chrono::duration<double>(now - modelTime).count() * options.timeScale);
    modelTime = now;
    std::optional<std::string> reply = model.Execute(line);
    if (!options.identity.empty() && !reply && (line == "*idn?" || line == "*IDN?"))
        reply = options.identity;
    Trace(model.LastLineIgnored() ? SimTraffic::Ignored : SimTraffic::Received, line);
    if (!reply)
        return;
    std::vector<SimReplyPiece> pieces { { *reply, 0 } };
    {
        std::lock_guard lock(cueMutex);
        const auto dropped = std::find(dropOnce.begin(), dropOnce.end(), line);
        if (dropped != dropOnce.end()) {
            dropOnce.erase(dropped);
            pieces.clear();
        } else if (filter) {
            pieces = filter(line, *reply);
        }
    }
    if (pieces.empty())
        return;
    pieces.back().bytes += options.terminator;
    // A delay shortened while replies wait must not overtake them: replies stay in order.
    auto due = now + std::chrono::milliseconds(replyDelayMs.load());
    if (!pending.empty())
        due = std::max(due, pending.back().due);
    for (const SimReplyPiece& piece : pieces) {
        pending.push_back({ due, piece.bytes, side });
        due += std::chrono::milliseconds(std::max(piece.pauseAfterMs, 0));
    }
}

void SimulatorHost::Impl::QueueDueReplies(Clock::time_point now)
{
    while (!pending.empty() && pending.front().due <= now) {
        Trace(SimTraffic::Replied, pending.front().text);
        lines[pending.front().side].output += pending.front().text;
        pending.pop_front();
    }
}

bool SimulatorHost::Impl::Flush()
{
    std::string& output = lines[Pty].output;
    while (!output.empty()) {
        const ssize_t put = ::write(master, output.data(), output.size());
        if (put > 0) {
            output.erase(0, static_cast<std::size_t>(put));
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        // The program is not reading and the pair's buffer is full: wait for POLLOUT.
        return put < 0 && errno == EAGAIN;
    }
    return true;
}

bool SimulatorHost::Impl::FlushClient()
{
    std::string& output = lines[Client].output;
    while (clientFd >= 0 && !output.empty()) {
        const ssize_t put = ::send(clientFd, output.data(), output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put > 0) {
            output.erase(0, static_cast<std::size_t>(put));
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        return put < 0 && errno == EAGAIN; // a client gone is dropped, the pty goes on
    }
    return true;
}

int SimulatorHost::Impl::PollTimeoutMs(Clock::time_point now) const
{
    if (pending.empty())
        return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(pending.front().due - now).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, 60000));
}

void SimulatorHost::Impl::Trace(SimTraffic kind, const std::string& text)
{
    if (owner->OnTraffic)
        owner->OnTraffic(owner, kind, text);
}
