// The simulator behind a real pseudo-terminal, opened the way the program opens a port.
#include "sim/SimulatorHost.h"

#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {
// Generous: these bound a wait for something that must come, never a speed.
constexpr int kPatienceMs = 5000;

class SimHost : public ::testing::Test
{
protected:
    void Open(SimOptions options = {})
    {
        host = std::make_unique<SimulatorHost>(options);
        host->Start();
        port = ::open(host->SlavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(port, 0);
    }
    void TearDown() override
    {
        if (host)
            host->Stop();
        if (port >= 0)
            ::close(port);
    }

    void Write(const std::string& bytes)
    {
        ASSERT_EQ(::write(port, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    // Bytes that arrive within waitMs of the call and of each other.
    std::string ReadFor(int waitMs)
    {
        std::string got;
        char buf[256];
        pollfd p { port, POLLIN, 0 };
        while (::poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(port, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, size_t(n));
            waitMs = 150;
        }
        return got;
    }

    // Reads until `expected` bytes have come or patience runs out.
    std::string ReadUntil(std::size_t expected)
    {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        while (got.size() < expected && std::chrono::steady_clock::now() < end)
            got += ReadFor(50);
        return got;
    }

    std::unique_ptr<SimulatorHost> host;
    int port = -1;
};
} // namespace

TEST_F(SimHost, AnswersQueriesInOrderWithTheTerminatorAndNoEcho)
{
    SimOptions options;
    options.terminator = "\r\n";
    Open(options);
    Write("load:curr 2\rload:curr?\rmset:imax?\r");
    const std::string expected = "2.000A\r\n30.000A\r\n";
    EXPECT_EQ(ReadUntil(expected.size()), expected);
}

TEST_F(SimHost, LinesSplitAcrossWritesAreJoinedAndLineFeedsIgnored)
{
    Open();
    // The reads between the writes let each piece arrive on its own.
    std::string replies;
    for (const char* piece : { "mset:", "vm", "ax?", "\r\n", "\nbat:vm", "in?\r" }) {
        Write(piece);
        replies += ReadFor(30);
    }
    replies += ReadUntil(8 + 6 - replies.size());
    EXPECT_EQ(replies, "150.000V8.000V");
    const auto lines = host->ReceivedLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].line, "mset:vmax?");
    EXPECT_EQ(lines[1].line, "bat:vmin?");
    EXPECT_LE(lines[0].atSeconds, lines[1].atSeconds);
}

TEST_F(SimHost, KeepsOnlyTheNewestReceivedLines)
{
    SimOptions options;
    options.receivedLinesKept = 2;
    Open(options);
    Write("mset:vmax?\rbat:vmin?\rmset:imax?\r");
    EXPECT_EQ(ReadUntil(8 + 6 + 7), "150.000V8.000V30.000A");
    const auto lines = host->ReceivedLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].line, "bat:vmin?");
    EXPECT_EQ(lines[1].line, "mset:imax?");
}

TEST_F(SimHost, ALongerReplyDelayMakesTheInstrumentLate)
{
    Open();
    Write("list:smod?\r");
    EXPECT_EQ(ReadUntil(4), "AUTO");

    host->SetReplyDelayMs(1500);
    Write("list:rep?\r");
    EXPECT_EQ(ReadFor(300), "") << "nothing may come before the delay has passed";
    EXPECT_EQ(ReadUntil(3), "OFF");
}

// A misbehaving instrument on cue: a reply split by a pause, one replaced, one withheld,
// and bytes nobody asked for.
TEST_F(SimHost, RepliesCanBeSplitReplacedOrWithheldAndBytesInjected)
{
    SimOptions options;
    options.terminator = "\r";
    Open(options);
    host->SetReplyFilter([](const std::string& line, const std::string& reply) -> std::vector<SimReplyPiece> {
        if (line == "list:smod?")
            return { { "AU", 400 }, { "TO", 0 } };
        if (line == "list:rep?")
            return { { "#$%^&", 0 } };
        if (line == "mset:imax?")
            return {};
        return { { reply, 0 } };
    });
    Write("list:smod?\r");
    EXPECT_EQ(ReadFor(kPatienceMs), "AU") << "the pause splits the reply";
    EXPECT_EQ(ReadUntil(3), "TO\r") << "the terminator ends the last piece";
    Write("mset:imax?\rlist:rep?\rmset:vmax?\r");
    EXPECT_EQ(ReadUntil(15), "#$%^&\r150.000V\r");
    host->Inject("L3:1,1,1\n");
    EXPECT_EQ(ReadUntil(9), "L3:1,1,1\n");
}

// An answer lost on the way, once per call or option: the next ask of the same query is
// answered again, and other queries are not touched.
TEST_F(SimHost, AnAnswerCanBeDroppedOnce)
{
    SimOptions options;
    options.dropOnce = { "mset:imax?" };
    Open(options);
    host->DropAnswerOnce("mset:vmax?");
    Write("mset:imax?\rmset:vmax?\rmset:pmax?\rmset:imax?\rmset:vmax?\r");
    EXPECT_EQ(ReadUntil(8 + 7 + 8), "300.000W30.000A150.000V");
}

TEST_F(SimHost, TimeScaleSpeedsUpTheBattery)
{
    SimOptions options;
    options.timeScale = 1000;
    Open(options);
    Write("load:mode bat\rload on\r");
    // At a thousand simulated seconds per real one the discharge time soon passes a minute.
    std::string reading;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    int seconds = 0;
    while (seconds < 60 && std::chrono::steady_clock::now() < end) {
        Write("fetch?\r");
        reading = ReadFor(200);
        const auto comma = reading.find(" A,");
        if (comma != std::string::npos)
            seconds = std::stoi(reading.substr(comma + 3));
    }
    EXPECT_GE(seconds, 60) << reading;
}

TEST_F(SimHost, StopHangsUpTheProgramsSide)
{
    Open();
    pollfd p { port, POLLIN, 0 };
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "an open, quiet port reports nothing";
    host->Stop();
    ASSERT_EQ(::poll(&p, 1, kPatienceMs), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
}
