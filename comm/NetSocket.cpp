#include "comm/NetSocket.h"

#include "comm/PosixSerial.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
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

enum class TWait { Ready, Cancelled, TimedOut, Failed };

// Waits until fd shows one of events, the cancel signal (-1: none) is raised or the
// deadline passes; Failed leaves the cause in errno.
TWait WaitFor(int fd, short events, int cancelSignal, std::chrono::steady_clock::time_point until)
{
    for (;;) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return TWait::TimedOut;
        pollfd p[2] = { { fd, events, 0 }, { cancelSignal, POLLIN, 0 } };
        const int ready = poll(p, cancelSignal >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return TWait::Failed;
        if (cancelSignal >= 0 && p[1].revents != 0)
            return TWait::Cancelled;
        if (ready > 0)
            return TWait::Ready;
    }
}

// getaddrinfo cannot be interrupted; it runs on a thread of its own that may outlive the
// wait. Whichever of the two finds the other done, under the lock, frees the result and
// closes the signal, so nothing stays open once a wait that got its answer has returned.
struct TLookup
{
    explicit TLookup(int doneSignal)
        : Done(doneSignal)
    { }

    const int Done; // eventfd raised by the lookup thread once Finished is set
    std::mutex Lock; // guards the rest
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

// The addresses of host, or nothing with the reason in error (or cancelled set).
TAddresses Lookup(const std::string& host, uint16_t port, std::chrono::milliseconds limit, int cancelSignal,
    std::string& error, bool& cancelled)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    const int done = PosixSerial::CreateSignal();
    if (done < 0) {
        error = "no descriptor to wait for the name lookup";
        return nullptr;
    }
    auto lookup = std::make_shared<TLookup>(done);
    try {
        std::thread lookupThread([lookup, host, service = std::to_string(port)] {
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
                PosixSerial::CloseSignal(lookup->Done);
                return;
            }
            lookup->Error = rc;
            lookup->Result = rc == 0 ? result : nullptr;
            lookup->Finished = true;
            PosixSerial::Raise(lookup->Done);
        });
        // Named for itself, not after the thread that started it.
        (void)pthread_setname_np(lookupThread.native_handle(), "comm-lookup");
        lookupThread.detach();
    } catch (const std::system_error&) {
        PosixSerial::CloseSignal(done);
        error = "no thread for the name lookup";
        return nullptr;
    }
    const TWait waited = WaitFor(done, POLLIN, cancelSignal, until);
    std::lock_guard lock(lookup->Lock);
    TAddresses addresses(std::exchange(lookup->Result, nullptr));
    if (lookup->Finished)
        PosixSerial::CloseSignal(done); // raised already, never touched by the thread again
    if (waited == TWait::Cancelled || !lookup->Finished) {
        lookup->Abandoned = true;
        cancelled = waited == TWait::Cancelled;
        if (!cancelled)
            error = waited == TWait::Failed ? "the name lookup could not be waited for"
                                            : "the name lookup took too long";
        return nullptr;
    }
    if (lookup->Error != 0) {
        error = lookup->Error == EAI_SYSTEM ? "the name lookup failed" : gai_strerror(lookup->Error);
        return nullptr;
    }
    return addresses;
}

void SetOption(int fd, int level, int name, int value)
{
    (void)setsockopt(fd, level, name, &value, sizeof value);
}

// A non-blocking connect to one address; 0 or the errno that tells why not.
int ConnectOne(int fd, const addrinfo& a, std::chrono::milliseconds limit, int cancelSignal)
{
    if (connect(fd, a.ai_addr, a.ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    switch (WaitFor(fd, POLLOUT, cancelSignal, std::chrono::steady_clock::now() + limit)) {
    case TWait::Ready:
        break;
    case TWait::Cancelled:
        return ECANCELED;
    case TWait::TimedOut:
        return ETIMEDOUT;
    case TWait::Failed:
        return errno;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

} // namespace

TConnectResult Connect(const std::string& host, uint16_t port, std::chrono::milliseconds lookupLimit,
    std::chrono::milliseconds connectLimit, int cancelSignal)
{
    TConnectResult result;
    bool cancelled = false;
    const TAddresses addresses = Lookup(host, port, lookupLimit, cancelSignal, result.LookupError, cancelled);
    if (cancelled) {
        result.OsError = ECANCELED;
        return result;
    }
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
        if (const int error = ConnectOne(fd, *a, connectLimit, cancelSignal)) {
            result.OsError = error;
            CloseQuietly(fd);
            if (error == ECANCELED)
                return result;
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
