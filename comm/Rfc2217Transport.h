#pragma once
// TRfc2217Transport: a device server spoken to in Telnet with remote line control
// (RFC 2217). The line settings, purges and modem lines of TComm reach the server's serial
// port; the modem state and line events it reports come back. Binary mode both ways is
// asked for, so every byte value passes (IAC doubled on the wire).
//
// The parser and the bytes waiting for the wire are shared by the receive thread (which
// feeds the parser and may have to answer), the transmit thread and the owner's thread
// (settings, purges); one lock guards them, and no call waits for the network under it.
#include "comm/TelnetParser.h"
#include "comm/Transport.h"
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

class TRfc2217Transport : public TTransport
{
public:
    // Takes over a connected, non-blocking socket and sends the opening requests.
    explicit TRfc2217Transport(int socket);
    ~TRfc2217Transport() override;
    TRfc2217Transport(const TRfc2217Transport&) = delete;
    TRfc2217Transport& operator=(const TRfc2217Transport&) = delete;

    // Reads the server's answers until none of the requests is open and the server's queues
    // are purged, or limit has passed; what it sends for the instrument meanwhile is dropped,
    // as a local port's queues are purged at opening. 0 when the server answered or stayed
    // silent (a server without Telnet then gets the plain stream), the errno when the
    // connection failed (then this object only closes); ECANCELED as soon as cancelSignal
    // (an eventfd, or -1 for none) is raised.
    int Negotiate(std::chrono::milliseconds limit, int cancelSignal = -1);

    int Fd() const override { return FFd; }
    ssize_t Read(const iovec* iov, int count) override;
    ssize_t Send(const char* data, std::size_t size) override;
    bool OutputPending() override;
    int OutputSignal() const override { return FSignal; }
    void ApplyLineSettings(const TLineSettings& settings) override;
    std::optional<uint32_t> ModemStatus() override;
    std::optional<PosixSerial::TLineCounters> ReadLineCounters() override;
    void Flush(PosixSerial::TQueue queue) override;

    // A server that never reads could make its answers pile up; beyond this they are dropped.
    static constexpr std::size_t kLongestQueue = 64 * 1024;
    // The most of the instrument's bytes escaped at once.
    static constexpr std::size_t kSendBlock = 4096;

private:
    // FLock held: queue whole protocol units and push out what the socket takes.
    void QueueLocked(const std::string& bytes, bool signal);
    int PushLocked(); // 0 or the errno of a lost connection
    void SendSettingsLocked(bool signal);

    const int FFd;
    int FSignal = -1; // eventfd raised when protocol bytes wait for the transmit thread

    std::mutex FLock; // guards FParser, FOut, FWanted, FSettingsSent
    TTelnetParser FParser;
    std::string FOut; // bytes for the wire, in order; never split inside a protocol unit
    std::optional<TLineSettings> FWanted; // what TComm asked for last
    bool FSettingsSent = false;

    // The receive thread's own buffers.
    std::vector<uint8_t> FRaw;
    std::vector<char> FData;
};
