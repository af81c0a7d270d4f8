// Opening and closing TComm on real pseudo-terminals: every failure a device can provoke
// must leave nothing open behind and allow a retry.
#include "CommTestSupport.h"

#include <QTemporaryFile>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <sys/resource.h>

namespace {

struct TFailure
{
    std::string message;
    int osError;
    QString reason;
};

void PrintTo(const TFailure& f, std::ostream* os)
{
    *os << '"' << f.message << "\" errno " << f.osError << " (" << f.reason.toStdString() << ')';
}

std::optional<TFailure> StartError(TComm& comm)
{
    try {
        comm.StartComm();
    } catch (const ECommsError& e) {
        return TFailure { e.what(), e.OsError(), e.Reason() };
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
        int osError;
        QString hint; // ends the reason, after the system's own words
    };
    const QString unplugged = QStringLiteral(": is the adapter plugged in?");
    const QString noPort = QStringLiteral(": this device is not a serial port");
    const Case cases[] = {
        { QStringLiteral("/nonexistent/ttyS9"), "Error opening serial port", ENOENT, unplugged },
        { QStringLiteral("ttyNoSuchPort"), "Error opening serial port", ENOENT, unplugged }, // in /dev
        { regular.fileName(), "File handle is not a comm handle ", ENOTTY, noPort },
        { QStringLiteral("null"), "File handle is not a comm handle ", ENOTTY, noPort }, // /dev/null
    };
    TPty pty;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        TComm comm;
        const int fds = OpenFdCount();
        comm.setCommName(c.name);
        const auto failure = StartError(comm);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->message, c.message);
        EXPECT_EQ(failure->osError, c.osError);
        EXPECT_TRUE(failure->reason.endsWith(c.hint) && failure->reason.size() > c.hint.size())
            << failure->reason.toStdString();
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

    // TIOCEXCL refuses a normal user at open(), flock refuses root: the reason is EBUSY either way.
    const auto taken = StartError(second);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->message, "Error opening serial port");
    EXPECT_EQ(taken->osError, EBUSY);
    EXPECT_TRUE(taken->reason.endsWith(": the port is in use by another program"))
        << taken->reason.toStdString();
    const auto twice = StartError(first);
    ASSERT_TRUE(twice);
    EXPECT_EQ(twice->message, "This serial port already opened");
    EXPECT_EQ(twice->osError, 0); // our own refusal: no system reason to show
    EXPECT_EQ(twice->reason, QString());
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
        // descriptors available: the port, then the stop signal, the receive window's room
        // signal, the writer's wake
        int available;
        std::string message;
    };
    const Case cases[] = { { 1, "Unable to create event" }, { 2, "Unable to create event" },
        { 3, "Unable to create write thread" } };
    TPty pty;
    {
        // UBSan's check of a polymorphic object's type needs a descriptor the first time it
        // meets the type and reports a false fault without one: one open with descriptors
        // to spare lets it know the port's parts before they are made under the limit.
        TComm warm;
        warm.setCommName(pty.SlavePath());
        warm.StartComm();
        warm.StopComm();
    }
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
            EXPECT_EQ(e.OsError(), EMFILE); // kept across the clean-up after the failure
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
