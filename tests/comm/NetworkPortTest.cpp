// Network ports against a real ser2net on loopback: the raw stream and Telnet with remote
// line control, bridged to a pseudo-terminal where the simulated instrument or a plain
// peer sits. TComm and the session above it must behave exactly as on a local port.
#include "CommTestSupport.h"
#include "link/InstrumentSession.h"
#include "sim/SimulatorHost.h"
#include "support/SimWire.h"
#include "workflows/BatteryDischarge.h"
#include "workflows/Connection.h"
#include "workflows/OperatorMessages.h"

#include <QThread>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// What the main window sets before it opens a port: no flow control, no modem lines.
void LikeTheWindow(TComm& comm, const QString& port)
{
    comm.setCommName(port);
    comm.setDtrControl(TDtrControl::DtrDisable);
    comm.setRtsControl(TRtsControl::RtsDisable);
    comm.setOutx_XonXoffFlow(false);
    comm.setInx_XonXoffFlow(false);
}

QByteArray EveryByteValue()
{
    QByteArray all;
    for (int v = 0; v < 256; ++v)
        all += static_cast<char>(v);
    return all + QByteArray("\r\0\xFF\xFF\r\n", 6);
}

enum class Kind { Raw, Telnet };

QString PortOf(const TSer2net& server, Kind kind)
{
    return kind == Kind::Raw ? server.RawPort() : server.TelnetPort();
}

const char* NameOf(Kind kind)
{
    return kind == Kind::Raw ? "raw" : "rfc2217";
}

} // namespace

TEST(NetworkPort, EveryByteValuePassesBothWays)
{
    TPty peer;
    TSer2net server(peer.SlavePath());
    for (const Kind kind : { Kind::Raw, Kind::Telnet }) {
        SCOPED_TRACE(NameOf(kind));
        TComm comm;
        TCommProbe probe(comm);
        LikeTheWindow(comm, PortOf(server, kind));
        comm.StartComm();
        const QByteArray all = EveryByteValue();
        ASSERT_TRUE(comm.WriteCommData(all.constData(), static_cast<uint16_t>(all.size())));
        EXPECT_EQ(peer.Read(all.size()), all);
        peer.Write(all);
        EXPECT_TRUE(WaitUntil([&] { return probe.Received().size() >= all.size(); }, 5s));
        EXPECT_EQ(probe.Received(), all);
        EXPECT_EQ(probe.Hangups, 0);
        if (kind == Kind::Raw) {
            EXPECT_EQ(comm.GetModemState(), 0u); // a raw stream has no modem lines
        }
        comm.StopComm();
        // ser2net lets go of the device once its client has left.
        peer.Read(1, 300ms);
    }
}

// An owner slower than the stream: the receive thread holds back at the same limit as on a
// local port, and TCP's own flow control stops the server, so nothing is lost.
TEST(NetworkPort, FloodIsHeldBackAndReportedOnce)
{
    for (const Kind kind : { Kind::Raw, Kind::Telnet }) {
        SCOPED_TRACE(NameOf(kind));
        TPty peer;
        TSer2net server(peer.SlavePath());
        TComm comm;
        LikeTheWindow(comm, PortOf(server, kind));
        QByteArray received;
        int backlogs = 0;
        comm.OnReceiveData = [&](TComm*, const char* buffer, uint16_t length) {
            received.append(buffer, length);
            QThread::usleep(2000); // slower than a loaded machine's ser2net can forward
        };
        comm.OnReceiveBacklog = [&](TComm*) { ++backlogs; };
        comm.StartComm();
        std::atomic<bool> stop { false };
        std::thread instrument([&] { peer.Flood(stop, 16u << 20); });
        constexpr int kEnough = 4 * 2048 * 64;
        const bool flooded = WaitUntil([&] { return backlogs >= 1 && received.size() > kEnough; });
        comm.StopComm();
        stop = true;
        instrument.join();
        ASSERT_TRUE(flooded) << received.size() << " bytes, " << backlogs << " backlog reports";
        PumpEvents(50ms);
        EXPECT_EQ(backlogs, 1);
        EXPECT_TRUE(received == FloodBytes(received.size())); // nothing lost, doubled or reordered
    }
}

TEST(NetworkPort, LineSettingsReachTheRemotePort)
{
    TPty peer;
    TSer2net server(peer.SlavePath());
    TComm comm;
    LikeTheWindow(comm, server.TelnetPort());
    comm.setBaudRate(19200);
    comm.setStopBits(TStopBits::_2);
    comm.StartComm();
    // ser2net's own configuration says 9600 8N1; what shows is what the program asked for.
    // (A pseudo-terminal keeps 8 bits without parity whatever it is told.)
    const auto line = [&] { return peer.SlaveLineSettings().value_or(TLineSettings {}); };
    ASSERT_TRUE(WaitUntil([&] { return line().BaudRate == 19200; }, 5s)) << line().BaudRate;
    EXPECT_TRUE(WaitUntil([&] { return line().TwoStopBits; }, 5s));
    EXPECT_FALSE(line().XonXoffOut || line().XonXoffIn || line().RtsCtsFlow);
    comm.setBaudRate(14400); // while open
    EXPECT_TRUE(WaitUntil([&] { return line().BaudRate == 14400; }, 5s)) << line().BaudRate;
    comm.setOutx_XonXoffFlow(true);
    comm.setInx_XonXoffFlow(true);
    EXPECT_TRUE(WaitUntil([&] { return line().XonXoffOut && line().XonXoffIn; }, 5s));
    comm.StopComm();
}

TEST(NetworkPort, ServerGoneGivesOneHangUp)
{
    for (const Kind kind : { Kind::Raw, Kind::Telnet }) {
        SCOPED_TRACE(NameOf(kind));
        TPty peer;
        TSer2net server(peer.SlavePath());
        TComm comm;
        TCommProbe probe(comm);
        LikeTheWindow(comm, PortOf(server, kind));
        comm.StartComm();
        ASSERT_TRUE(comm.WriteCommData("ping", 4));
        ASSERT_EQ(peer.Read(4), "ping");
        // A server that vanishes without a word is found out within about ten seconds:
        // keep-alive probes while idle, the user time-out while data waits for its ACK.
        const auto option = [&](int level, int name) {
            int value = -1;
            socklen_t length = sizeof value;
            getsockopt(comm.Handle(), level, name, &value, &length);
            return value;
        };
        EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_LE(option(IPPROTO_TCP, TCP_KEEPIDLE)
                + option(IPPROTO_TCP, TCP_KEEPINTVL) * option(IPPROTO_TCP, TCP_KEEPCNT),
            10);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 10000);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_NODELAY), 1);
        server.Stop();
        ASSERT_TRUE(WaitUntil([&] { return probe.Hangups > 0; }, 5s));
        // Writing on keeps failing the same way; the receive thread has ended, not spun.
        comm.WriteCommData("more", 4);
        EXPECT_TRUE(WaitUntil([] { return ThreadsNamed("comm-read") == 0; }, 5s));
        PumpEvents(200ms);
        EXPECT_EQ(probe.Hangups, 1);
        comm.StopComm();
    }
}

// A device server that crashes or is power-cycled resets the connection instead of closing it.
TEST(NetworkPort, ResetConnectionGivesOneHangUp)
{
    const TLoopbackSocket listener;
    ASSERT_EQ(listen(listener.Fd, 1), 0);
    TComm comm;
    TCommProbe probe(comm);
    LikeTheWindow(comm, QStringLiteral("tcp://127.0.0.1:%1").arg(listener.Port));
    comm.StartComm();
    const int server = accept4(listener.Fd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(server, 0);
    ASSERT_EQ(write(server, "hello", 5), 5);
    ASSERT_TRUE(WaitUntil([&] { return probe.Received() == "hello"; }, 5s));
    const linger abort { 1, 0 };
    setsockopt(server, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(server);
    ASSERT_TRUE(WaitUntil([&] { return probe.Hangups > 0; }, 5s));
    comm.WriteCommData("more", 4);
    EXPECT_TRUE(WaitUntil([] { return ThreadsNamed("comm-read") == 0; }, 5s));
    PumpEvents(200ms);
    EXPECT_EQ(probe.Hangups, 1);
    comm.StopComm();
}

TEST(NetworkPort, FailedOpenSaysWhyAndLeavesNothingOpen)
{
    TPty peer;
    TSer2net server(peer.SlavePath());
    struct Case
    {
        QString port;
        int osError;
        QString reasonPart;
    };
    const TLoopbackSocket unheard; // refused, and no test beside this one can take the port
    const QString nobody = QStringLiteral("tcp://127.0.0.1:%1").arg(unheard.Port);
    const Case cases[] = {
        { nobody, ECONNREFUSED, QStringLiteral("is the device server running and listening on that port?") },
        { QStringLiteral("rfc2217://no-such-host.invalid:2217"), 0,
            QStringLiteral("no-such-host.invalid: ") },
        { QStringLiteral("tcp://127.0.0.1"), EINVAL, QStringLiteral("port number is missing") },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port.toStdString());
        TComm comm;
        comm.setCommName(c.port);
        const int fds = OpenFdCount();
        try {
            comm.StartComm();
            ADD_FAILURE() << "opened";
        } catch (const ECommsError& e) {
            EXPECT_STREQ(e.what(), "Error opening serial port");
            EXPECT_EQ(e.OsError(), c.osError);
            EXPECT_TRUE(e.Reason().contains(c.reasonPart)) << e.Reason().toStdString();
        }
        EXPECT_EQ(comm.Handle(), 0);
        EXPECT_EQ(OpenFdCount(), fds);
        LikeTheWindow(comm, server.RawPort());
        comm.StartComm();
        EXPECT_GE(comm.Handle(), 3);
        comm.StopComm();
        EXPECT_EQ(OpenFdCount(), fds);
    }
}

namespace {

class NetworkSession : public ::testing::Test
{
protected:
    void SetUp() override
    {
        session.Pause = [](int) {};
        session.OnError = [this](InstrumentSession*, const QString& message) { errors << message; };
        session.OnReadBack = [this](InstrumentSession*, const ReadBackResult& r) {
            for (const auto& [field, text] : r.texts)
                readBack[field] = text;
        };
        session.OnBatteryReading
            = [this](InstrumentSession*, const BatteryReading& r) { battery.push_back(r); };
        session.OnPortLost = [this](InstrumentSession*, const QString& port) { lost << port; };
    }

    // Connects as the window does: the port opens off this thread, and the connect sequence
    // is queued once it has.
    void Connect(const QString& port)
    {
        ASSERT_TRUE(BeginConnect(session, port, QStringLiteral("9600"), QStringLiteral("8"), told,
            [this](const std::optional<ECommsError>& error) { connected = !error; }));
        EXPECT_EQ(session.Port(), PortState::Opening);
        EXPECT_TRUE(session.Pipeline().Idle());
        ASSERT_TRUE(WaitUntil([this] { return connected.has_value(); }));
        ASSERT_TRUE(*connected);
        ASSERT_TRUE(
            WaitUntil([this] { return session.Pipeline().Idle() && session.Comm()->SendDataEmpty(); }));
    }

    SimulatorHost host { [] {
        SimOptions o;
        o.timeScale = 20;
        return o;
    }() };
    InstrumentSession session;
    std::optional<bool> connected; // the connect has ended: opened or not
    Told told;
    QStringList errors;
    QStringList lost;
    std::map<QString, QString> readBack;
    std::vector<BatteryReading> battery;
};

} // namespace

TEST_F(NetworkSession, ReadsBackAndRunsABatteryTestOverTheRawStream)
{
    host.Start();
    TSer2net server(host.SlavePath());
    Connect(server.RawPort());
    EXPECT_EQ(readBack[QStringLiteral("MaxI")], QStringLiteral("30.00"));
    EXPECT_EQ(readBack.size(), 10u);

    session.SetMode(TestMode::Battery);
    SetUpBattery(session, { QStringLiteral("10.6"), QStringLiteral("1") }, told);
    EXPECT_EQ(ToggleBattery(session, QStringLiteral("1"), told).change, BatteryToggle::Stopped);
    EXPECT_EQ(ToggleBattery(session, QStringLiteral("1"), told).change, BatteryToggle::Started);
    // Readings come as fast as the instrument answers, not once a second: the stream is what
    // is tested here, not the period.
    session.PollTimer()->setInterval(50);
    ASSERT_TRUE(WaitUntil([&] { return battery.size() >= 20; }, 30s)) << errors.join('\n').toStdString();
    for (size_t i = 1; i < battery.size(); ++i)
        EXPECT_GE(battery[i].seconds, battery[i - 1].seconds);
    EXPECT_GT(battery.back().capacityValue, battery.front().capacityValue);
    EXPECT_TRUE(told.messages.isEmpty()) << told.messages.join('\n').toStdString();
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

TEST_F(NetworkSession, ServerStoppedMidRunIsAPortLost)
{
    host.Start();
    TSer2net server(host.SlavePath());
    Connect(server.TelnetPort());
    EXPECT_EQ(readBack.size(), 10u);
    session.StartPolling();
    PumpEvents(300ms);
    server.Stop();
    ASSERT_TRUE(WaitUntil([&] { return session.Port() == PortState::Closed; }, 5s));
    PumpEvents(200ms);
    EXPECT_EQ(lost, QStringList { server.TelnetPort() });
    EXPECT_FALSE(session.PollTimer()->isActive());
}
