// The Telnet side of a network port, fed as a device server might cut its bytes: every
// split of the same bytes must give the same data, answers and line state.
#include "TelnetBytes.h"
#include "comm/TelnetParser.h"

#include <gtest/gtest.h>

using namespace Telnet;

namespace {

struct TOutcome
{
    std::string data;
    std::string answers;
    TComPortNotices notices;
    bool negotiating;
    bool comPort;
    bool sendBinary;
};

// A parser that has sent its opening requests, fed the wire in the given pieces.
TOutcome Parse(const std::string& wire, std::size_t cut1, std::size_t cut2)
{
    TTelnetParser parser;
    (void)parser.Start();
    TOutcome o;
    const std::size_t cuts[] = { 0, cut1, cut2, wire.size() };
    for (int i = 0; i < 3; ++i) {
        std::string piece = wire.substr(cuts[i], cuts[i + 1] - cuts[i]);
        std::string data(piece.size(), '\0');
        const std::size_t n = parser.Feed(
            reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), data.data(), o.answers);
        o.data += data.substr(0, n);
    }
    o.notices = parser.Notices();
    o.negotiating = parser.Negotiating();
    o.comPort = parser.ComPortAgreed();
    o.sendBinary = parser.SendBinary();
    return o;
}

const std::string kAgreed = EveryOptionAgreed();

} // namespace

TEST(TelnetParser, SplitsDataFromCommandsWhereverTheBytesAreCut)
{
    struct Case
    {
        const char* name;
        std::string wire;
        std::string data;
        std::string answers;
        uint8_t modemState = 0;
        uint32_t baudRate = 0;
        bool negotiating = false;
        bool comPort = true;
    };
    const std::string longSub
        = Bytes({ IAC, SB, COM_PORT, 107 }) + std::string(40, '\x30') + Bytes({ IAC, SE });
    const Case cases[] = {
        { "plain data after the agreement", kAgreed + "fetch?\r", "fetch?\r", "" },
        { "IAC IAC is one data byte", kAgreed + Bytes({ 'a', IAC, IAC, 'b' }), Bytes({ 'a', 0xFF, 'b' }),
            "" },
        { "commands without options carry nothing", kAgreed + Bytes({ 'a', IAC, 241, IAC, 249, 'b' }), "ab",
            "" },
        { "unknown options refused, once per request",
            kAgreed + Bytes({ IAC, WILL, 1, 'x', IAC, DO, 24, IAC, WONT, 1, IAC, DONT, 24 }), "x",
            Bytes({ IAC, DONT, 1, IAC, WONT, 24 }) },
        { "an agreed option asked again is not answered",
            kAgreed + Bytes({ IAC, DO, BINARY, IAC, WILL, SGA }), "", "" },
        { "an option withdrawn is acknowledged", kAgreed + Bytes({ IAC, WONT, BINARY, IAC, DONT, SGA }), "",
            Bytes({ IAC, DONT, BINARY, IAC, WONT, SGA }) },
        { "modem state and confirmed baud rate",
            kAgreed
                + Bytes({ IAC, SB, COM_PORT, 107, 0xB0, IAC, SE, 'y', IAC, SB, COM_PORT, 101, 0, 0, 0x38,
                    0x40, IAC, SE }),
            "y", "", 0xB0, 14400 },
        { "IAC doubled inside a subnegotiation",
            kAgreed + Bytes({ IAC, SB, COM_PORT, 101, 0, 0, 0, IAC, IAC, IAC, SE }), "", "", 0, 255 },
        { "an overlong subnegotiation is dropped whole", kAgreed + longSub + "z", "z", "" },
        { "a subnegotiation cut off by a command",
            kAgreed + Bytes({ IAC, SB, COM_PORT, 107, 0x80, IAC, WILL, 1 }) + "q", "q",
            Bytes({ IAC, DONT, 1 }) },
        { "other options' subnegotiations are ignored", kAgreed + Bytes({ IAC, SB, 24, 1, IAC, SE, 'k' }),
            "k", "" },
        { "binary refused: CR NUL from the server is a bare CR",
            Bytes({ IAC, WONT, BINARY, IAC, DONT, BINARY, IAC, DO, SGA, IAC, WILL, SGA, IAC, DO, COM_PORT,
                'a', '\r', 0, 'b', '\r', '\n' }),
            "a\rb\r\n", "" },
        { "binary agreed: CR NUL is data", kAgreed + Bytes({ '\r', 0 }), Bytes({ '\r', 0 }), "" },
        // How the server's CR reads follows the server's side alone: whether it sends binary.
        { "binary refused by the server only: CR NUL from it is a bare CR",
            Bytes({ IAC, WONT, BINARY, IAC, DO, BINARY, IAC, DO, SGA, IAC, WILL, SGA, IAC, DO, COM_PORT, 'a',
                '\r', 0, 'b' }),
            "a\rb", "" },
        { "binary refused on our side only: CR NUL from the server is data",
            Bytes({ IAC, WILL, BINARY, IAC, DONT, BINARY, IAC, DO, SGA, IAC, WILL, SGA, IAC, DO, COM_PORT,
                'a', '\r', 0, 'b' }),
            Bytes({ 'a', '\r', 0, 'b' }), "" },
        { "an option withdrawn and asked again is agreed once, on either side",
            kAgreed
                + Bytes({ IAC, DONT, SGA, IAC, DO, SGA, IAC, DO, SGA, IAC, WONT, SGA, IAC, WILL, SGA, IAC,
                    WILL, SGA }),
            "", Bytes({ IAC, WONT, SGA, IAC, WILL, SGA, IAC, DONT, SGA, IAC, DO, SGA }) },
        { "line control refused, answers still awaited", Bytes({ IAC, DONT, COM_PORT, IAC, DO, BINARY, 'd' }),
            "d", "", 0, 0, true, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TOutcome whole = Parse(c.wire, c.wire.size(), c.wire.size());
        EXPECT_EQ(whole.data, c.data);
        EXPECT_EQ(whole.answers, c.answers);
        EXPECT_EQ(whole.notices.ModemState, c.modemState);
        EXPECT_EQ(whole.notices.BaudRate, c.baudRate);
        EXPECT_EQ(whole.negotiating, c.negotiating);
        EXPECT_EQ(whole.comPort, c.comPort);
        // Every cut into three pieces: the same outcome, bytes split inside commands included.
        for (std::size_t a = 0; a <= c.wire.size(); ++a) {
            for (std::size_t b = a; b <= c.wire.size(); ++b) {
                const TOutcome cut = Parse(c.wire, a, b);
                ASSERT_EQ(cut.data, whole.data) << "cut at " << a << " and " << b;
                ASSERT_EQ(cut.answers, whole.answers) << "cut at " << a << " and " << b;
                ASSERT_EQ(cut.notices.ModemState, whole.notices.ModemState);
                ASSERT_EQ(cut.notices.BaudRate, whole.notices.BaudRate);
            }
        }
    }
}

// What goes on the wire comes back unchanged through a receiving parser, in binary mode
// and outside it, for every byte value.
TEST(TelnetParser, EveryByteValueSurvivesEscaping)
{
    std::string all;
    for (int v = 0; v < 256; ++v)
        all += static_cast<char>(v);
    all += "\r\r\xFF\xFF\r";
    for (const bool binary : { true, false }) {
        SCOPED_TRACE(binary ? "binary" : "not binary");
        const std::string wire = TTelnetParser::Escape(all.data(), all.size(), binary);
        EXPECT_EQ(wire.size(), all.size() + 3 + (binary ? 0 : 4));
        const std::string opening = binary ? Bytes({ IAC, WILL, BINARY }) : Bytes({ IAC, WONT, BINARY });
        EXPECT_EQ(Parse(opening + wire, 1, opening.size() + 200).data, all);
    }
    EXPECT_EQ(TTelnetParser::ComPortCommand(SET_BAUDRATE, Bytes({ 0, 0, 0, 0xFF })),
        Bytes({ IAC, SB, COM_PORT, SET_BAUDRATE, 0, 0, 0, IAC, IAC, IAC, SE }));
}

// What the server reports of its line is counted by kind: a carrier change by its delta bit,
// a ring once it has ended, each line error under its own name.
TEST(TelnetParser, LineAndModemReportsAreCountedByKind)
{
    const auto report = [](uint8_t command, uint8_t value) {
        return Bytes({ IAC, SB, COM_PORT, command, value, IAC, SE });
    };
    constexpr uint8_t kModem = kServerOffset + NOTIFY_MODEMSTATE, kLine = kServerOffset + NOTIFY_LINESTATE;
    struct Case
    {
        const char* name;
        std::string reports;
        TComPortNotices expected;
    };
    const Case cases[] = {
        { "carrier up, with its delta bit", report(kModem, 0x88), { 0x80, 1 } },
        { "a ring that began and ended", report(kModem, 0x40) + report(kModem, 0x00), { 0, 0, 1 } },
        { "line errors by kind",
            report(kLine, 0x04) + report(kLine, 0x08) + report(kLine, 0x04) + report(kLine, 0x12),
            { 0, 0, 0, 1, 2, 1, 1 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TComPortNotices n = Parse(kAgreed + c.reports, 0, 0).notices;
        EXPECT_EQ(n.ModemState, c.expected.ModemState);
        EXPECT_EQ(n.CarrierChanges, c.expected.CarrierChanges);
        EXPECT_EQ(n.Rings, c.expected.Rings);
        EXPECT_EQ(n.Overruns, c.expected.Overruns);
        EXPECT_EQ(n.ParityErrors, c.expected.ParityErrors);
        EXPECT_EQ(n.FrameErrors, c.expected.FrameErrors);
        EXPECT_EQ(n.Breaks, c.expected.Breaks);
    }
}
