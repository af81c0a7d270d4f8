// Reception: chunks end 100 ms after the last byte or at 2048 bytes, arrive in order on the
// owner's thread, survive a busy owner or a stop, and a vanished device is reported once.
#include "CommTestSupport.h"

#include <QThread>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

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

TEST_F(ReceiveFixture, BurstLongerThanAChunkArrivesAs2048Then952)
{
    comm.StartComm();
    const QByteArray burst = Pattern(3000);
    pty.Write(burst);
    ASSERT_TRUE(WaitUntil([&] { return probe.Received().size() == burst.size(); }));
    ASSERT_EQ(probe.Chunks.size(), 2u);
    EXPECT_EQ(probe.Chunks[0].size(), 2048);
    EXPECT_EQ(probe.Chunks[1].size(), 952);
    EXPECT_EQ(probe.Received(), burst);
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
        if (++calls == 1)
            throw std::runtime_error("handler failed");
    };
    comm.StartComm();
    pty.Write("one");
    ASSERT_TRUE(WaitUntil([&] { return calls == 1; }));
    pty.Write("two");
    ASSERT_TRUE(WaitUntil([&] { return calls == 2; })); // leaks would show under ASan
    EXPECT_EQ(probe.Chunks, (std::vector<QByteArray> { "one", "two" }));
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
