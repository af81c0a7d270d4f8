#pragma once
// The socket calls a network port stands on: a name lookup and a connect that both give up
// after a while, or at once when told to, so an unreachable device server cannot hold the
// program, and a connection that notices a silent peer within about ten seconds. Nothing
// here throws.
#include <chrono>
#include <cstdint>
#include <string>

namespace NetSocket {

struct TConnectResult
{
    int Fd = -1; // >= 3 on success, so 0 can keep meaning "closed"; non-blocking
    // errno of the failed connect (ECONNREFUSED, EHOSTUNREACH, ETIMEDOUT...); ECANCELED when
    // the cancel signal ended it
    int OsError = 0;
    std::string LookupError; // why the host name gave no address; empty when it did
};

// Looks host up (waiting at most lookupLimit) and connects to the first address that takes
// the connection, each attempt within connectLimit. On success the socket sends small
// writes at once (TCP_NODELAY) and a peer that stops answering fails it within about ten
// seconds, whether it is idle (keep-alive probes) or has data outstanding (user time-out).
// cancelSignal (an eventfd, or -1 for none) ends every wait as soon as it is readable.
TConnectResult Connect(const std::string& host, uint16_t port, std::chrono::milliseconds lookupLimit,
    std::chrono::milliseconds connectLimit, int cancelSignal = -1);

// send() that never raises SIGPIPE and never waits.
long Send(int fd, const void* data, std::size_t size);

} // namespace NetSocket
