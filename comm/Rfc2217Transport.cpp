#include "comm/Rfc2217Transport.h"

#include "comm/NetSocket.h"
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Telnet;

namespace {

std::string Byte(uint8_t b)
{
    return std::string(1, static_cast<char>(b));
}

uint8_t ParityCode(TParity p)
{
    switch (p) {
    case TParity::None:
        return 1;
    case TParity::Odd:
        return 2;
    case TParity::Even:
        return 3;
    case TParity::Mark:
        return 4;
    case TParity::Space:
        return 5;
    }
    return 1;
}

} // namespace

TRfc2217Transport::TRfc2217Transport(int socket)
    : FFd(socket)
    , FSignal(PosixSerial::CreateSignal())
{
    std::lock_guard lock(FLock);
    QueueLocked(FParser.Start(), false);
}

TRfc2217Transport::~TRfc2217Transport()
{
    while (close(FFd) < 0 && errno == EINTR) { }
    if (FSignal >= 0)
        PosixSerial::CloseSignal(FSignal);
}

int TRfc2217Transport::Negotiate(std::chrono::milliseconds limit, int cancelSignal)
{
    if (FSignal < 0)
        return errno != 0 ? errno : EMFILE;
    const auto until = std::chrono::steady_clock::now() + limit;
    uint8_t raw[512];
    char data[sizeof raw];
    bool purging = false;
    for (;;) {
        bool waiting = false;
        {
            std::lock_guard lock(FLock);
            if (const int error = PushLocked())
                return error;
            if (!FParser.Negotiating()) {
                if (!FParser.ComPortAgreed())
                    return 0;
                // The port opens with the server's queues empty, as a local port's are; the
                // purge is confirmed before anything counts as received, or bytes sent after
                // the opening could be purged with the old ones.
                if (!purging) {
                    purging = true;
                    QueueLocked(TTelnetParser::ComPortCommand(PURGE_DATA, Byte(3)), false);
                }
                if (FParser.Notices().Purges > 0)
                    return 0;
            }
            waiting = !FOut.empty();
        }
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return 0; // a server that does not answer gets the plain stream
        pollfd p[2] = { { FFd, static_cast<short>(POLLIN | (waiting ? POLLOUT : 0)), 0 },
            { cancelSignal, POLLIN, 0 } };
        const int ready = poll(p, cancelSignal >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            return errno;
        if (ready > 0 && cancelSignal >= 0 && p[1].revents != 0)
            return ECANCELED;
        if (ready <= 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = recv(FFd, raw, sizeof raw, 0);
        if (n == 0)
            return ECONNRESET;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return errno;
        }
        std::string answers;
        std::lock_guard lock(FLock);
        FParser.Feed(raw, static_cast<std::size_t>(n), data, answers);
        QueueLocked(answers, false);
    }
}

ssize_t TRfc2217Transport::Read(const iovec* iov, int count)
{
    std::size_t room = 0;
    for (int i = 0; i < count; ++i)
        room += iov[i].iov_len;
    FRaw.resize(room);
    FData.resize(room);
    const ssize_t n = recv(FFd, FRaw.data(), room, 0);
    if (n <= 0)
        return n;
    std::size_t got = 0;
    {
        std::string answers;
        std::lock_guard lock(FLock);
        got = FParser.Feed(FRaw.data(), static_cast<std::size_t>(n), FData.data(), answers);
        QueueLocked(answers, true);
        if (!FSettingsSent && FParser.ComPortAgreed())
            SendSettingsLocked(true);
    }
    if (got == 0) {
        errno = EINTR;
        return -1;
    }
    std::size_t done = 0;
    for (int i = 0; i < count && done < got; ++i) {
        const std::size_t take = std::min(got - done, iov[i].iov_len);
        std::memcpy(iov[i].iov_base, FData.data() + done, take);
        done += take;
    }
    return static_cast<ssize_t>(got);
}

ssize_t TRfc2217Transport::Send(const char* data, std::size_t size)
{
    std::lock_guard lock(FLock);
    if (const int error = PushLocked()) {
        errno = error;
        return -1;
    }
    if (!FOut.empty()) {
        errno = EAGAIN;
        return -1;
    }
    const std::size_t take = std::min(size, kSendBlock);
    if (take == 0)
        return 0;
    FOut = TTelnetParser::Escape(data, take, FParser.SendBinary());
    // Taken whole: the escaped tail the socket did not take waits in FOut and goes first
    // next time, so a doubled IAC is never torn apart by a command between its halves.
    if (const int error = PushLocked()) {
        errno = error;
        return -1;
    }
    return static_cast<ssize_t>(take);
}

bool TRfc2217Transport::OutputPending()
{
    std::lock_guard lock(FLock);
    return !FOut.empty();
}

void TRfc2217Transport::ApplyLineSettings(const TLineSettings& settings)
{
    std::lock_guard lock(FLock);
    FWanted = settings;
    if (FParser.ComPortAgreed())
        SendSettingsLocked(true);
}

std::optional<uint32_t> TRfc2217Transport::ModemStatus()
{
    std::lock_guard lock(FLock);
    if (!FParser.ComPortAgreed())
        return std::nullopt;
    return FParser.Notices().ModemState;
}

std::optional<PosixSerial::TLineCounters> TRfc2217Transport::ReadLineCounters()
{
    std::lock_guard lock(FLock);
    if (!FParser.ComPortAgreed())
        return std::nullopt;
    const TComPortNotices& n = FParser.Notices();
    PosixSerial::TLineCounters c;
    c.Carrier = n.CarrierChanges;
    c.Ring = n.Rings;
    c.Frame = n.FrameErrors;
    c.Overrun = n.Overruns;
    c.Parity = n.ParityErrors;
    c.Break = n.Breaks;
    return c;
}

void TRfc2217Transport::Flush(PosixSerial::TQueue queue)
{
    std::lock_guard lock(FLock);
    if (!FParser.ComPortAgreed())
        return;
    // The server's receive buffer is our input, its transmit buffer our output.
    const uint8_t which = queue == PosixSerial::TQueue::Input ? 1
        : queue == PosixSerial::TQueue::Output                ? 2
                                                              : 3;
    QueueLocked(TTelnetParser::ComPortCommand(PURGE_DATA, Byte(which)), true);
}

void TRfc2217Transport::SendSettingsLocked(bool signal)
{
    if (!FWanted)
        return;
    FSettingsSent = true;
    const TLineSettings& s = *FWanted;
    std::string commands;
    const uint32_t baud = s.BaudRate;
    commands += TTelnetParser::ComPortCommand(SET_BAUDRATE,
        { static_cast<char>(baud >> 24), static_cast<char>(baud >> 16), static_cast<char>(baud >> 8),
            static_cast<char>(baud) });
    commands += TTelnetParser::ComPortCommand(SET_DATASIZE, Byte(static_cast<uint8_t>(s.DataBits)));
    commands += TTelnetParser::ComPortCommand(SET_PARITY, Byte(ParityCode(s.Parity)));
    commands += TTelnetParser::ComPortCommand(SET_STOPSIZE, Byte(s.TwoStopBits ? 2 : 1));
    // Outbound flow control (1 none, 2 XON/XOFF, 3 hardware), then inbound (14, 15, 16).
    const uint8_t outbound = s.RtsCtsFlow ? 3 : s.XonXoffOut ? 2 : 1;
    const uint8_t inbound = s.RtsCtsFlow ? 16 : s.XonXoffIn ? 15 : 14;
    commands += TTelnetParser::ComPortCommand(SET_CONTROL, Byte(outbound));
    commands += TTelnetParser::ComPortCommand(SET_CONTROL, Byte(inbound));
    if (s.Dtr != TModemLine::DriverControlled)
        commands += TTelnetParser::ComPortCommand(SET_CONTROL, Byte(s.Dtr == TModemLine::Raise ? 8 : 9));
    if (s.Rts != TModemLine::DriverControlled)
        commands += TTelnetParser::ComPortCommand(SET_CONTROL, Byte(s.Rts == TModemLine::Raise ? 11 : 12));
    QueueLocked(commands, signal);
}

void TRfc2217Transport::QueueLocked(const std::string& bytes, bool signal)
{
    if (bytes.empty() || FOut.size() + bytes.size() > kLongestQueue)
        return;
    FOut += bytes;
    // A lost connection shows in the next read or send; here the bytes just stay queued.
    (void)PushLocked();
    if (!FOut.empty() && signal && FSignal >= 0)
        PosixSerial::Raise(FSignal);
}

int TRfc2217Transport::PushLocked()
{
    std::size_t sent = 0;
    int error = 0;
    while (sent < FOut.size()) {
        const long n = NetSocket::Send(FFd, FOut.data() + sent, FOut.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            error = errno;
        break;
    }
    FOut.erase(0, sent);
    return error;
}
