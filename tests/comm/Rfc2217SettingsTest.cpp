// What a Telnet port with remote line control tells the device server, read off the other
// end of a socket pair: each setting as its COM-PORT command and value, each purge with the
// queue it names. A pseudo-terminal behind a real server keeps 8 bits without parity and
// has no modem lines, so these codes cannot be seen end to end.
#include "TelnetBytes.h"
#include "comm/Rfc2217Transport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace Telnet;

namespace {

// A transport on one end of a socket pair, the device server's end in the test's hand,
// with every option agreed.
class Rfc2217Settings : public ::testing::Test
{
protected:
    void SetUp() override
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ASSERT_EQ(fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK), 0);
        server = pair[1];
        transport = std::make_unique<TRfc2217Transport>(pair[0]);
        const std::string agreed = EveryOptionAgreed();
        ASSERT_EQ(write(server, agreed.data(), agreed.size()), static_cast<ssize_t>(agreed.size()));
        char data[64];
        iovec iov { data, sizeof data };
        ASSERT_TRUE(Readable(transport->Fd()));
        transport->Read(&iov, 1); // the answers only: nothing for the instrument
        ASSERT_FALSE(Received().empty()) << "the opening requests";
    }
    void TearDown() override { close(server); }

    static bool Readable(int fd)
    {
        pollfd p { fd, POLLIN, 0 };
        return poll(&p, 1, 2000) == 1;
    }

    // Everything the transport has sent so far.
    std::string Received()
    {
        std::string all;
        char buffer[512];
        while (Readable(server)) {
            const ssize_t n = read(server, buffer, sizeof buffer);
            if (n <= 0)
                break;
            all.append(buffer, static_cast<size_t>(n));
            pollfd p { server, POLLIN, 0 };
            if (poll(&p, 1, 50) != 1)
                break;
        }
        return all;
    }

    // The COM-PORT commands among the bytes: command -> its values in order.
    static std::map<int, std::vector<std::string>> Commands(const std::string& wire)
    {
        std::map<int, std::vector<std::string>> commands;
        const std::string open = Bytes({ IAC, SB, COM_PORT });
        for (size_t at = wire.find(open); at != std::string::npos; at = wire.find(open, at + 1)) {
            const size_t end = wire.find(Bytes({ IAC, SE }), at);
            if (end == std::string::npos)
                break;
            const int command = static_cast<uint8_t>(wire[at + 3]);
            std::string value = wire.substr(at + 4, end - at - 4);
            commands[command].push_back(value);
        }
        return commands;
    }

    int server = -1;
    std::unique_ptr<TRfc2217Transport> transport;
};

TEST_F(Rfc2217Settings, EachSettingReachesTheServerUnderItsOwnCode)
{
    // Modem lines left to the driver unless a case drives them.
    const auto with = [](auto change) {
        TLineSettings s;
        s.Dtr = TModemLine::DriverControlled;
        s.Rts = TModemLine::DriverControlled;
        change(s);
        return s;
    };
    struct Case
    {
        const char* name;
        TLineSettings settings;
        int parity;
        std::vector<int> control; // outbound flow, inbound flow, then DTR and RTS when driven
    };
    const Case cases[] = {
        { "no parity", with([](TLineSettings&) {}), 1, { 1, 14 } },
        { "odd parity", with([](TLineSettings& s) { s.Parity = TParity::Odd; }), 2, { 1, 14 } },
        { "even parity", with([](TLineSettings& s) { s.Parity = TParity::Even; }), 3, { 1, 14 } },
        { "mark parity", with([](TLineSettings& s) { s.Parity = TParity::Mark; }), 4, { 1, 14 } },
        { "space parity", with([](TLineSettings& s) { s.Parity = TParity::Space; }), 5, { 1, 14 } },
        { "XON/XOFF on what we send only", with([](TLineSettings& s) { s.XonXoffOut = true; }), 1,
            { 2, 14 } },
        { "XON/XOFF on what we receive only", with([](TLineSettings& s) { s.XonXoffIn = true; }), 1,
            { 1, 15 } },
        { "hardware handshake", with([](TLineSettings& s) { s.RtsCtsFlow = true; }), 1, { 3, 16 } },
        { "DTR and RTS raised", TLineSettings {}, 1, { 1, 14, 8, 11 } },
        { "DTR and RTS lowered", with([](TLineSettings& s) {
             s.Dtr = TModemLine::Lower;
             s.Rts = TModemLine::Lower;
         }),
            1, { 1, 14, 9, 12 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        transport->ApplyLineSettings(c.settings);
        const auto commands = Commands(Received());
        ASSERT_EQ(commands.count(SET_PARITY), 1u);
        EXPECT_EQ(commands.at(SET_PARITY), std::vector<std::string> { Bytes({ c.parity }) });
        std::vector<std::string> control;
        for (const int code : c.control)
            control.push_back(Bytes({ code }));
        ASSERT_EQ(commands.count(SET_CONTROL), 1u);
        EXPECT_EQ(commands.at(SET_CONTROL), control);
    }
}

// The server's receive buffer holds what we read, its transmit buffer what we write.
TEST_F(Rfc2217Settings, APurgeNamesTheServersQueueThatHoldsIt)
{
    const struct
    {
        PosixSerial::TQueue queue;
        int code;
    } cases[] = { { PosixSerial::TQueue::Input, 1 }, { PosixSerial::TQueue::Output, 2 },
        { PosixSerial::TQueue::Both, 3 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        transport->Flush(c.queue);
        const auto commands = Commands(Received());
        ASSERT_EQ(commands.count(PURGE_DATA), 1u);
        EXPECT_EQ(commands.at(PURGE_DATA), std::vector<std::string> { Bytes({ c.code }) });
    }
}

} // namespace
