// What a device server sends a network port with remote line control, hostile or broken:
// through the Telnet parser in pieces the input chooses, and through the transport itself
// on a socket pair. Nothing may crash, loop or grow: the data is never more than what came
// in, the answers never more than the commands, and the way the bytes were cut changes
// nothing.
#include "comm/Rfc2217Transport.h"
#include "comm/TelnetParser.h"
#include "fuzz/FuzzTargets.h"

#include <array>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct TParsed
{
    std::string data;
    std::string answers;
    TComPortNotices notices;
};

bool operator==(const TComPortNotices& a, const TComPortNotices& b)
{
    return a.ModemState == b.ModemState && a.CarrierChanges == b.CarrierChanges && a.Rings == b.Rings
        && a.Overruns == b.Overruns && a.ParityErrors == b.ParityErrors && a.FrameErrors == b.FrameErrors
        && a.Breaks == b.Breaks && a.BaudRate == b.BaudRate && a.Purges == b.Purges;
}

// Fed in pieces of the sizes cuts gives in turn (0: the rest at once).
TParsed Parse(const uint8_t* bytes, size_t size, const std::array<uint8_t, 3>& cuts)
{
    TTelnetParser parser;
    const std::string opening = parser.Start();
    TParsed p;
    std::string data(size, '\0');
    for (size_t done = 0, turn = 0; done < size; ++turn) {
        const size_t cut = cuts[turn % cuts.size()];
        const size_t piece = cut == 0 ? size - done : std::min<size_t>(cut, size - done);
        const size_t before = p.answers.size();
        const size_t n = parser.Feed(bytes + done, piece, data.data(), p.answers);
        Promise(n <= piece, "more data than bytes fed");
        Promise(p.answers.size() - before <= piece + 2, "answers beyond the commands fed");
        p.data.append(data.data(), n);
        done += piece;
    }
    Promise(p.answers.size() <= size, "answers beyond the commands fed");
    p.notices = parser.Notices();
    return p;
}

// The transport reading the input from a server on the other end of a socket pair.
void ThroughTheTransport(const uint8_t* bytes, size_t size, size_t expected)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
        return;
    {
        TRfc2217Transport transport(pair[0]);
        transport.ApplyLineSettings(TLineSettings {});
        size_t written = 0;
        while (written < size) {
            const ssize_t n = write(pair[1], bytes + written, size - written);
            if (n <= 0)
                break;
            written += static_cast<size_t>(n);
        }
        std::array<char, 700> a {}, b {}, c {};
        size_t got = 0;
        for (;;) {
            // Small and uneven blocks, so the data is spread over all three.
            const std::array<iovec, 3> iov { iovec { a.data(), 5 }, iovec { b.data(), 300 },
                iovec { c.data(), c.size() } };
            const ssize_t n = transport.Read(iov.data(), 3);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            Promise(static_cast<size_t>(n) <= 1005, "read beyond its blocks");
            got += static_cast<size_t>(n);
        }
        Promise(got == expected, "the transport read other data than the parser");
        (void)transport.ModemStatus();
        (void)transport.ReadLineCounters();
        transport.Flush(PosixSerial::TQueue::Both);
        (void)transport.Send("x\xFF", 2);
    }
    close(pair[1]);
}

} // namespace

void FuzzTelnet(const uint8_t* data, size_t size)
{
    if (size < 3)
        return;
    const std::array<uint8_t, 3> cuts { data[0], data[1], data[2] };
    data += 3;
    size -= 3;
    const TParsed whole = Parse(data, size, { 0, 0, 0 });
    const TParsed cut = Parse(data, size, cuts);
    Promise(cut.data == whole.data, "data depends on where the bytes were cut");
    Promise(cut.answers == whole.answers, "answers depend on where the bytes were cut");
    Promise(cut.notices == whole.notices, "line state depends on where the bytes were cut");

    // The data escaped again passes a parser in binary mode unchanged.
    const std::string wire
        = std::string("\xFF\xFB\x00", 3) + TTelnetParser::Escape(whole.data.data(), whole.data.size(), true);
    const TParsed again = Parse(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), cuts);
    Promise(again.data == whole.data, "escaped data did not come back unchanged");

    ThroughTheTransport(data, size, whole.data.size());
}
