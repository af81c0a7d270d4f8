#include "comm/NetSocket.h"

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace NetSocket {

namespace {

constexpr int kLowestFd = 3;
// Keep-alive: first probe after 4 s of silence, then every 2 s, given up after 3 misses:
// a peer gone without a word is noticed after about 10 s. Data left unacknowledged as long
// fails the connection too.
constexpr int kKeepIdleSeconds = 4;
constexpr int kKeepIntervalSeconds = 2;
constexpr int kKeepProbes = 3;
constexpr unsigned kUserTimeoutMs = 10000;

void CloseQuietly(int fd)
{
    while (close(fd) < 0 && errno == EINTR) { }
}

// getaddrinfo cannot be interrupted; it runs on a thread of its own that may outlive the
// wait, and whichever of the two comes last frees the result.
struct TLookup
{
    std::mutex Lock; // guards the rest
    std::condition_variable Done;
    bool Finished = false;
    bool Abandoned = false;
    int Error = 0;
    addrinfo* Result = nullptr;
};

struct TFreeAddresses
{
    void operator()(addrinfo* a) const
    {
        if (a)
            freeaddrinfo(a);
    }
};
using TAddresses = std::unique_ptr<addrinfo, TFreeAddresses>;

TAddresses Lookup(const std::string& host, uint16_t port, std::chrono::milliseconds limit, std::string& error)
{
    auto lookup = std::make_shared<TLookup>();
    try {
        std::thread([lookup, host, service = std::to_string(port)] {
            addrinfo hints {};
            hints.ai_family = AF_UNSPEC;
            // No AI_ADDRCONFIG: on a machine with nothing but loopback it hides 127.0.0.1.
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* result = nullptr;
            const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
            std::lock_guard lock(lookup->Lock);
            if (lookup->Abandoned) {
                if (result)
                    freeaddrinfo(result);
                return;
            }
            lookup->Error = rc;
            lookup->Result = rc == 0 ? result : nullptr;
            lookup->Finished = true;
            lookup->Done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        error = "no thread for the name lookup";
        return nullptr;
    }
    std::unique_lock lock(lookup->Lock);
    if (!lookup->Done.wait_for(lock, limit, [&] { return lookup->Finished; })) {
        lookup->Abandoned = true;
        error = "the name lookup took too long";
        return nullptr;
    }
    if (lookup->Error != 0) {
        error = lookup->Error == EAI_SYSTEM ? "the name lookup failed" : gai_strerror(lookup->Error);
        return nullptr;
    }
    return TAddresses(std::exchange(lookup->Result, nullptr));
}

void SetOption(int fd, int level, int name, int value)
{
    (void)setsockopt(fd, level, name, &value, sizeof value);
}

// A non-blocking connect to one address; 0 or the errno that tells why not.
int ConnectOne(int fd, const addrinfo& a, std::chrono::milliseconds limit)
{
    if (connect(fd, a.ai_addr, a.ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return ETIMEDOUT;
        pollfd p { fd, POLLOUT, 0 };
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return errno;
        if (ready == 0)
            return ETIMEDOUT;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return errno;
        return error;
    }
}

} // namespace

TConnectResult Connect(const std::string& host, uint16_t port, std::chrono::milliseconds lookupLimit,
    std::chrono::milliseconds connectLimit)
{
    TConnectResult result;
    const TAddresses addresses = Lookup(host, port, lookupLimit, result.LookupError);
    if (!addresses) {
        if (result.LookupError.empty())
            result.LookupError = "the host name has no address";
        return result;
    }
    result.OsError = EHOSTUNREACH;
    for (const addrinfo* a = addresses.get(); a; a = a->ai_next) {
        int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            result.OsError = errno;
            continue;
        }
        if (fd < kLowestFd) {
            const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kLowestFd);
            CloseQuietly(fd);
            if (moved < 0) {
                result.OsError = errno;
                continue;
            }
            fd = moved;
        }
        if (const int error = ConnectOne(fd, *a, connectLimit)) {
            result.OsError = error;
            CloseQuietly(fd);
            continue;
        }
        SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepProbes);
        SetOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(kUserTimeoutMs));
        result.Fd = fd;
        result.OsError = 0;
        return result;
    }
    return result;
}

long Send(int fd, const void* data, std::size_t size)
{
    return send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

} // namespace NetSocket
