// Reception: chunks end 100 ms after the last byte, when the total time-out runs out, or at
// 2048 bytes, arrive in order on the owner's thread, survive a busy owner, a flood or a stop,
// and a vanished device is reported once.
#include "CommTestSupport.h"

#include "comm/CommWindow.h"
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <utility>

namespace {

struct ReceiveFixture : ::testing::Test
{
    ReceiveFixture()
    {
        comm.setCommName(pty.SlavePath());
        comm.setDtrControl(TDtrControl::DtrDisable);
        comm.setRtsControl(TRtsControl::RtsDisable);
        comm.setOutx_XonXoffFlow(false);
        comm.setInx_XonXoffFlow(false);
    }
    ~ReceiveFixture() override { comm.StopComm(); }

    TPty pty;
    TComm comm;
    TCommProbe probe { comm };
};

QByteArray Pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 7 + 1);
    return bytes;
}

} // namespace

TEST_F(ReceiveFixture, BurstsAreCutInto2048ByteChunks)
{
    struct Case
    {
        int size;
        uint32_t interval; // 0: only a full chunk ends one
        std::vector<int> expected;
    };
    const Case cases[] = {
        { 3000, 100, { 2048, 952 } }, { 2048, 0, { 2048 } },
        { 5000, 100, { 2048, 2048, 904 } }, // more than one read of the driver's buffer
    };
    comm.StartComm();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        probe.Chunks.clear();
        comm.setReadIntervalTimeout(c.interval);
        const QByteArray burst = Pattern(c.size);
        pty.Write(burst);
        ASSERT_TRUE(WaitUntil([&] { return probe.Received().size() == burst.size(); }));
        PumpEvents(150ms); // nothing follows, not even an empty chunk
        std::vector<int> sizes;
        for (const auto& chunk : probe.Chunks)
            sizes.push_back(static_cast<int>(chunk.size()));
        EXPECT_EQ(sizes, c.expected);
        EXPECT_EQ(probe.Received(), burst);
    }
}

TEST_F(ReceiveFixture, WithoutIntervalAChunkEndsWhenTheTotalTimeoutRunsOut)
{
    struct Case
    {
        uint32_t multiplier, constant;
        std::chrono::milliseconds total; // multiplier x 2048 + constant
    };
    for (const Case& c : { Case { 0, 300, 300ms }, Case { 1, 0, 2048ms } }) {
        SCOPED_TRACE(c.total.count());
        probe.Chunks.clear();
        comm.setReadIntervalTimeout(0);
        comm.setReadTotalTimeoutMultiplier(c.multiplier);
        comm.setReadTotalTimeoutConstant(c.constant);
        std::chrono::steady_clock::time_point arrived;
        comm.OnReceiveData = [&](TComm*, const char* buffer, uint16_t length) {
            arrived = std::chrono::steady_clock::now();
            probe.Chunks.emplace_back(buffer, length);
        };
        const auto started = std::chrono::steady_clock::now();
        comm.StartComm(); // the total time-out runs from here
        pty.Write("12.5V,");
        PumpEvents(c.total / 2);
        EXPECT_TRUE(probe.Chunks.empty());
        ASSERT_TRUE(WaitUntil([&] { return !probe.Chunks.empty(); }));
        EXPECT_GE(arrived - started, c.total);
        EXPECT_EQ(probe.Chunks, std::vector<QByteArray> { "12.5V," });
        comm.StopComm();
    }
}

TEST_F(ReceiveFixture, PauseLongerThanTheIntervalSplitsAReply)
{
    comm.StartComm();
    pty.Write("12.5V,");
    QThread::msleep(150);
    pty.Write("0.3A\r");
    ASSERT_TRUE(WaitUntil([&] { return probe.Chunks.size() == 2; }));
    EXPECT_EQ(probe.Chunks[0], "12.5V,");
    EXPECT_EQ(probe.Chunks[1], "0.3A\r");
}

TEST_F(ReceiveFixture, ReadIntervalChangedWhileOpenDecidesWhereChunksEnd)
{
    struct Case
    {
        uint32_t interval;
        QByteArray first, second; // sent 150 ms apart
        std::vector<QByteArray> expected;
    };
    const QByteArray half = Pattern(1024);
    const Case cases[] = {
        { 300, "12.5V,", "0.3A\r", { "12.5V,0.3A\r" } },
        { 0xFFFFFFFF, "12.5V,", "0.3A\r", { "12.5V,", "0.3A\r" } }, // whatever one read gives
        { 0, half, half, { half + half } }, // no interval: only a full chunk ends it
    };
    comm.StartComm();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.interval);
        probe.Chunks.clear();
        comm.setReadIntervalTimeout(c.interval);
        pty.Write(c.first);
        QThread::msleep(150);
        pty.Write(c.second);
        ASSERT_TRUE(WaitUntil([&] { return probe.Chunks.size() == c.expected.size(); }));
        PumpEvents(150ms);
        EXPECT_EQ(probe.Chunks, c.expected);
    }
}

TEST_F(ReceiveFixture, ChunksReadWhileTheOwnerIsBusyAreAllDeliveredInOrder)
{
    comm.StartComm();
    std::thread instrument([this] {
        for (const char* reply : { "first\r", "second\r", "third\r" }) {
            pty.Write(reply);
            QThread::msleep(150);
        }
    });
    QThread::msleep(700); // the owner's thread does not look at its events meanwhile
    instrument.join();
    ASSERT_TRUE(WaitUntil([&] { return probe.Chunks.size() == 3; }));
    EXPECT_EQ(probe.Chunks, (std::vector<QByteArray> { "first\r", "second\r", "third\r" }));
}

// An owner far slower than the line: the receive thread holds back, the driver's queue and
// the pseudo-terminal's own flow control stop the writer, and the owner's event loop goes on.
TEST_F(ReceiveFixture, FloodFasterThanTheOwnerIsHeldBackAndReportedOncePerOpenPort)
{
    auto* const window = comm.findChild<TCommWindow*>();
    ASSERT_NE(window, nullptr);
    QByteArray received;
    uint32_t mostInFlight = 0;
    int chunksSinceTick = 0, mostChunksBetweenTicks = 0, ticks = 0, backlogs = 0;
    comm.OnReceiveData = [&](TComm*, const char* buffer, uint16_t length) {
        received.append(buffer, length);
        mostInFlight = std::max(mostInFlight, window->ChunksInFlight());
        ++chunksSinceTick;
        QThread::usleep(500);
    };
    comm.OnReceiveBacklog = [&](TComm*) { ++backlogs; };
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        mostChunksBetweenTicks = std::max(mostChunksBetweenTicks, std::exchange(chunksSinceTick, 0));
    });
    timer.start(20);

    std::atomic<bool> stop { false };
    comm.StartComm();
    // Limited only so that a receiver that does not hold back fails in time and memory.
    std::thread instrument([&] { pty.Flood(stop, 16u << 20); });
    // Many times the limit, so the receive thread must have resumed again and again.
    constexpr int kEnough = 8 * 2048 * TCommWindow::kMaxChunksInFlight;
    const bool flooded = WaitUntil([&] { return backlogs >= 1 && ticks >= 10 && received.size() > kEnough; });
    comm.StopComm(); // in the middle of the flood, while the receive thread waits for room
    // What was posted before the stop still arrives, and then nothing is held any more.
    const bool drained = WaitUntil([&] { return window->ChunksInFlight() == 0; });
    const QByteArray firstPort = received;

    comm.StartComm(); // a new open port reports its own backlog
    const bool reported = WaitUntil([&] { return backlogs >= 2; });
    comm.StopComm();
    stop = true;
    instrument.join();
    ASSERT_TRUE(flooded && drained && reported);
    EXPECT_TRUE(WaitUntil([&] { return window->ChunksInFlight() == 0; }));
    PumpEvents(50ms);
    EXPECT_EQ(backlogs, 2);
    EXPECT_LE(mostInFlight, TCommWindow::kMaxChunksInFlight);
    // A pass of the event loop over posted events takes no more than the limit, and the
    // timer gets its turn after a pass or two; unbounded, one pass takes thousands of chunks.
    EXPECT_LE(mostChunksBetweenTicks, 4 * static_cast<int>(TCommWindow::kMaxChunksInFlight));
    EXPECT_TRUE(firstPort == FloodBytes(firstPort.size())); // nothing lost, doubled or reordered
}

// Chunks of a flood travel together; a handler that runs a nested event loop in the middle of
// them must still see every chunk in order, including one that arrives meanwhile.
TEST_F(ReceiveFixture, NestedEventLoopInAHandlerKeepsTheOrder)
{
    int calls = 0;
    comm.OnReceiveData = [&](TComm*, const char* buffer, uint16_t length) {
        probe.Chunks.emplace_back(buffer, length);
        if (++calls == 2) {
            pty.Write("tail");
            PumpEvents(300ms);
        }
    };
    comm.StartComm();
    const QByteArray burst = Pattern(5 * 2048);
    pty.Write(burst);
    ASSERT_TRUE(WaitUntil([&] { return probe.Received().size() == burst.size() + 4; }));
    EXPECT_EQ(probe.Received(), burst + "tail");
}

TEST_F(ReceiveFixture, BytesAreDeliveredExactlyWithATrailingNul)
{
    struct Case
    {
        bool ignoreNull;
        QByteArray expected;
    };
    const QByteArray sent("a\0b\r\n", 5);
    for (const Case& c : { Case { false, sent }, Case { true, QByteArray("ab\r\n") } }) {
        SCOPED_TRACE(c.ignoreNull);
        std::vector<bool> terminated;
        comm.OnReceiveData = [&](TComm* sender, const char* buffer, uint16_t length) {
            EXPECT_EQ(sender, &comm);
            terminated.push_back(buffer[length] == '\0');
            probe.Chunks.emplace_back(buffer, length);
        };
        probe.Chunks.clear();
        comm.setIgnoreNullChar(c.ignoreNull);
        comm.StartComm();
        pty.Write(sent);
        ASSERT_TRUE(WaitUntil([&] { return probe.Chunks.size() == 1; }));
        EXPECT_EQ(probe.Chunks[0], c.expected);
        EXPECT_EQ(terminated, std::vector<bool> { true });
        comm.StopComm();
    }
}

TEST_F(ReceiveFixture, ThrowingHandlerFreesItsBlockAndReceptionGoesOn)
{
    int calls = 0;
    comm.OnReceiveData = [&](TComm*, const char* buffer, uint16_t length) {
        probe.Chunks.emplace_back(buffer, length);
        if (++calls == 2)
            throw std::runtime_error("handler failed");
    };
    comm.StartComm();
    const QByteArray burst = Pattern(5 * 2048); // the throw comes amid chunks that travel together
    pty.Write(burst);
    ASSERT_TRUE(WaitUntil([&] { return probe.Received().size() == burst.size(); }));
    pty.Write("tail");
    // Reception went on; a block the throw left behind would show under ASan.
    ASSERT_TRUE(WaitUntil([&] { return probe.Received().size() == burst.size() + 4; }));
    EXPECT_EQ(probe.Received(), burst + "tail");
}

TEST_F(ReceiveFixture, DataReadBeforeAStopIsStillDeliveredAndStopIsNoHangup)
{
    comm.StartComm();
    pty.Write("late reply\r");
    QThread::msleep(400); // read and posted by now, not yet delivered
    comm.StopComm();
    ASSERT_TRUE(WaitUntil([&] { return probe.Chunks.size() == 1; }));
    EXPECT_EQ(probe.Chunks[0], "late reply\r");

    comm.StartComm(); // and a stop while a read waits for its first byte
    comm.StopComm();
    PumpEvents(200ms);
    EXPECT_EQ(probe.Hangups, 0);
}

TEST_F(ReceiveFixture, VanishedDeviceIsReportedOnceAndTheWorkersEnd)
{
    comm.setReadIntervalTimeout(1000); // so the chunk is surely still being collected
    comm.StartComm();
    pty.Write("partial");
    QThread::msleep(100); // read by now (closing the master discards unread input)
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return probe.Hangups == 1; }));
    EXPECT_EQ(probe.Received(), "partial"); // what was read before the loss still arrives
    // No polling on a dead descriptor: the receive thread is gone.
    EXPECT_TRUE(WaitUntil([] { return ThreadsNamed("comm-read") == 0; }));

    // The transmit thread meets the loss at its next write, ends, and refuses more blocks;
    // the owner still hears of the loss only once.
    EXPECT_TRUE(WaitUntil([&] { return !comm.WriteCommData("fetch?\r", 7); }));
    EXPECT_TRUE(WaitUntil([] { return ThreadsNamed("comm-write") == 0; }));
    PumpEvents(200ms);
    EXPECT_EQ(probe.Hangups, 1);
    EXPECT_NE(comm.Handle(), 0); // nominally open until the owner stops it
    comm.StopComm();
    EXPECT_EQ(comm.Handle(), 0);
}
