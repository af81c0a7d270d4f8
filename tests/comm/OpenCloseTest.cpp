// Opening and closing TComm on real pseudo-terminals: every failure a device can provoke
// must leave nothing open behind and allow a retry.
#include "CommTestSupport.h"

#include <QTemporaryFile>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>

namespace {

std::optional<std::string> StartError(TComm& comm)
{
    try {
        comm.StartComm();
    } catch (const ECommsError& e) {
        return e.what();
    }
    return std::nullopt;
}

// Lets exactly `available` more descriptors be opened while it lives.
class TFdLimit
{
public:
    explicit TFdLimit(int available)
    {
        getrlimit(RLIMIT_NOFILE, &FOld);
        int fd = 0;
        for (int free = 0;; ++fd)
            if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && ++free == available)
                break;
        rlimit tight = FOld;
        tight.rlim_cur = static_cast<rlim_t>(fd) + 1;
        setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~TFdLimit() { setrlimit(RLIMIT_NOFILE, &FOld); }

private:
    rlimit FOld {};
};

// A joined thread can stay listed in /proc for a moment after join() returns: the kernel
// wakes the joiner before it removes the task.
bool WorkersGone()
{
    return WaitUntil([] { return ThreadsNamed("comm-read") == 0 && ThreadsNamed("comm-write") == 0; }, 2s);
}

} // namespace

TEST(CommOpen, FailedStartLeavesNothingOpenAndARetrySucceeds)
{
    QTemporaryFile regular;
    ASSERT_TRUE(regular.open());
    struct Case
    {
        QString name;
        std::string message;
    };
    const Case cases[] = {
        { QStringLiteral("/nonexistent/ttyS9"), "Error opening serial port" },
        { QStringLiteral("ttyNoSuchPort"), "Error opening serial port" }, // looked up in /dev
        { regular.fileName(), "File handle is not a comm handle " },
        { QStringLiteral("null"), "File handle is not a comm handle " }, // /dev/null: no terminal
    };
    TPty pty;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        TComm comm;
        const int fds = OpenFdCount();
        comm.setCommName(c.name);
        EXPECT_EQ(StartError(comm), c.message);
        EXPECT_EQ(comm.Handle(), 0);
        EXPECT_EQ(OpenFdCount(), fds);

        comm.setCommName(pty.SlavePath());
        ASSERT_EQ(StartError(comm), std::nullopt);
        EXPECT_GE(comm.Handle(), 3);
        comm.StopComm();
        EXPECT_EQ(OpenFdCount(), fds);
    }
}

TEST(CommOpen, PortIsExclusiveAndReusableAfterStop)
{
    TPty pty;
    TComm first, second;
    first.setCommName(pty.SlavePath());
    second.setCommName(pty.SlavePath());
    ASSERT_EQ(StartError(first), std::nullopt);
    const int handle = first.Handle();

    EXPECT_EQ(StartError(second), "Error opening serial port");
    EXPECT_EQ(StartError(first), "This serial port already opened");
    EXPECT_EQ(first.Handle(), handle);
    ASSERT_TRUE(first.WriteCommData("ok", 2)); // the open port was left untouched
    EXPECT_EQ(pty.Read(2), "ok");

    first.StopComm();
    EXPECT_EQ(StartError(second), std::nullopt);
    second.StopComm();
}

TEST(CommOpen, ResourceShortageReleasesWhatWasMade)
{
    struct Case
    {
        int available; // descriptors available: the port, then the stop signal, then the writer's wake
        std::string message;
    };
    const Case cases[] = { { 1, "Unable to create event" }, { 2, "Unable to create write thread" } };
    TPty pty;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        TComm comm;
        comm.setCommName(pty.SlavePath());
        const int fds = OpenFdCount();
        std::exception_ptr failure;
        {
            TFdLimit limit(c.available);
            try {
                comm.StartComm();
            } catch (...) {
                failure = std::current_exception();
            }
        }
        // The message is read only once descriptors are free again: UBSan's type check
        // behind the virtual what() needs one and reports a false fault without it.
        ASSERT_TRUE(failure);
        try {
            std::rethrow_exception(failure);
        } catch (const ECommsError& e) {
            EXPECT_EQ(e.what(), c.message);
        }
        EXPECT_EQ(comm.Handle(), 0);
        EXPECT_EQ(OpenFdCount(), fds);
        EXPECT_TRUE(WorkersGone());
        ASSERT_EQ(StartError(comm), std::nullopt);
        comm.StopComm();
    }
}

TEST(CommOpen, StopAndWriteAreHarmlessWhenClosedOrEmpty)
{
    TPty pty;
    TComm comm;
    comm.StopComm();
    EXPECT_FALSE(comm.WriteCommData("x", 1));
    EXPECT_EQ(comm.GetModemState(), 0u);

    comm.setCommName(pty.SlavePath());
    comm.StartComm();
    EXPECT_FALSE(comm.WriteCommData("x", 0));
    EXPECT_EQ(comm.GetModemState(), 0u); // a pseudo-terminal has no modem lines
    comm.StopComm();
    comm.StopComm();
    EXPECT_EQ(comm.Handle(), 0);
    EXPECT_FALSE(comm.WriteCommData("x", 1));
    EXPECT_TRUE(comm.SendDataEmpty());
    EXPECT_EQ(pty.Read(1, 200ms), QByteArray());
}

TEST(CommOpen, DestructorStopsAPortLeftOpen)
{
    TPty pty;
    const int fds = OpenFdCount();
    {
        TComm comm;
        comm.setCommName(pty.SlavePath());
        comm.StartComm();
        ASSERT_EQ(ThreadsNamed("comm-read"), 1);
        ASSERT_EQ(ThreadsNamed("comm-write"), 1);
    }
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_TRUE(WorkersGone());
}
