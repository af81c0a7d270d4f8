// Transmission: blocks leave the port whole and in order, also when the driver takes them
// in pieces, and the send-empty report follows the queue.
#include "CommTestSupport.h"

#include <QThread>
#include <gtest/gtest.h>

namespace {

struct TransmitFixture : ::testing::Test
{
    TransmitFixture()
    {
        comm.setCommName(pty.SlavePath());
        comm.setOutx_XonXoffFlow(false); // a flow-control byte in the data must not stop output
        comm.setInx_XonXoffFlow(false);
    }
    ~TransmitFixture() override { comm.StopComm(); }

    TPty pty;
    TComm comm;
    TCommProbe probe { comm };
};

} // namespace

TEST_F(TransmitFixture, FortyByteBlockLeavesThePortWhole)
{
    comm.StartComm();
    const QByteArray block("mset:imax 12.345;mset:vmax 150.000;\r\n\t\x7f", 40);
    ASSERT_TRUE(comm.WriteCommData(block.constData(), static_cast<uint16_t>(block.size())));
    EXPECT_EQ(pty.Read(40), block);
    EXPECT_EQ(pty.Read(1, 200ms), QByteArray()); // nothing more
}

TEST_F(TransmitFixture, BlocksLargerThanTheDriverQueueArriveCompleteAndInOrder)
{
    comm.StartComm();
    QByteArray expected;
    QByteArray big(65535, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i % 251);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(comm.WriteCommData(big.constData(), 65535));
        const QByteArray line = QByteArray("fetch?") + char('0' + round) + '\r';
        ASSERT_TRUE(comm.WriteCommData(line.constData(), static_cast<uint16_t>(line.size())));
        expected += big + line;
    }
    // Nobody reads for a while: the transmit thread meets a full queue and must wait.
    QThread::msleep(200);
    EXPECT_FALSE(comm.SendDataEmpty());
    EXPECT_EQ(pty.Read(expected.size(), 5s), expected);
    EXPECT_TRUE(WaitUntil([&] { return comm.SendDataEmpty(); }));
}

TEST_F(TransmitFixture, SendEmptyIsReportedAtStartAndWheneverTheQueueRunsDry)
{
    comm.StartComm();
    ASSERT_TRUE(WaitUntil([&] { return probe.SendEmpties == 1; }));
    EXPECT_TRUE(comm.SendDataEmpty());

    ASSERT_TRUE(comm.WriteCommData("load on\r", 8));
    EXPECT_EQ(pty.Read(8), "load on\r");
    ASSERT_TRUE(WaitUntil([&] { return probe.SendEmpties == 2; }));
    EXPECT_TRUE(comm.SendDataEmpty());
    PumpEvents(100ms);
    EXPECT_EQ(probe.SendEmpties, 2); // an idle queue is not reported again
}
