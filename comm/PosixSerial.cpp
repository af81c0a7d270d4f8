// The kernel's termios2 (for arbitrary baud rates) is declared in <asm/termbits.h>, whose
// struct termios clashes with the C library's: this file must never include <termios.h>.
#include "comm/PosixSerial.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace PosixSerial {

namespace {

// Descriptors 0..2 are the standard streams; a port must never get 0, which means "closed".
constexpr int kLowestPortFd = 3;

void CloseQuietly(int fd)
{
    while (close(fd) < 0 && errno == EINTR) { }
}

// 0 when fd is a terminal, else the errno that tells why not.
int TerminalCheck(int fd)
{
    struct stat st
    {
    };
    if (fstat(fd, &st) != 0)
        return errno;
    if (!S_ISCHR(st.st_mode))
        return ENOTTY; // what isatty would say of a regular file or a directory
    return isatty(fd) == 1 ? 0 : errno;
}

// Closes fd and hands back the failure, keeping the errno of the call that failed.
TOpenResult Failed(int fd, TOpenError error, int osError)
{
    if (fd >= 0)
        CloseQuietly(fd);
    return { -1, error, osError };
}

bool GetTermios(int fd, termios2& t)
{
    return ioctl(fd, TCGETS2, &t) == 0;
}

tcflag_t DataBitsFlag(int bits)
{
    switch (bits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

int DataBitsOf(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

tcflag_t ParityFlags(TParity p)
{
    switch (p) {
    case TParity::None:
        return 0;
    case TParity::Odd:
        return PARENB | PARODD;
    case TParity::Even:
        return PARENB;
    case TParity::Mark:
        return PARENB | CMSPAR | PARODD;
    case TParity::Space:
        return PARENB | CMSPAR;
    }
    return 0;
}

TParity ParityOf(tcflag_t cflag)
{
    if (!(cflag & PARENB))
        return TParity::None;
    const bool odd = cflag & PARODD;
    if (cflag & CMSPAR)
        return odd ? TParity::Mark : TParity::Space;
    return odd ? TParity::Odd : TParity::Even;
}

void DriveLine(int fd, int bit, TModemLine how)
{
    if (how == TModemLine::DriverControlled)
        return;
    // A pseudo-terminal has no modem lines and answers ENOTTY: nothing to drive.
    (void)ioctl(fd, how == TModemLine::Raise ? TIOCMBIS : TIOCMBIC, &bit);
}

uint32_t Delta(uint32_t before, uint32_t after)
{
    return after - before;
} // counters wrap

} // namespace

TOpenResult OpenPort(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Failed(-1, TOpenError::CannotOpen, errno);
    if (fd < kLowestPortFd) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kLowestPortFd);
        const int error = errno;
        CloseQuietly(fd);
        if (moved < 0)
            return Failed(-1, TOpenError::CannotOpen, error);
        fd = moved;
    }
    // flock is the guard that also holds against root; TIOCEXCL below only adds the
    // refusal at open() for unprivileged processes that do not use flock. flock refuses with
    // EWOULDBLOCK, which is also what a failed thread start says (EAGAIN); it is reported as
    // EBUSY, as TIOCEXCL reports it, which can only mean "held by someone else".
    if (flock(fd, LOCK_EX | LOCK_NB) < 0)
        return Failed(fd, TOpenError::CannotOpen, errno == EWOULDBLOCK ? EBUSY : errno);
    if (const int error = TerminalCheck(fd))
        return Failed(fd, TOpenError::NotCommDevice, error);
    termios2 t {};
    if (!GetTermios(fd, t))
        return Failed(fd, TOpenError::CannotSetup, errno);
    (void)ioctl(fd, TIOCEXCL);
    return { fd, TOpenError::None, 0 };
}

void ClosePort(int fd)
{
    // The exclusive flag outlives this descriptor on a pseudo-terminal whose master stays
    // open, and would lock out our own next open.
    (void)ioctl(fd, TIOCNXCL);
    CloseQuietly(fd);
}

void ApplyLineSettings(int fd, const TLineSettings& s)
{
    termios2 t {};
    if (!GetTermios(fd, t))
        return;
    // Raw: no translation, no echo, no signals, every byte as it comes.
    t.c_iflag = (s.XonXoffOut ? IXON : 0) | (s.XonXoffIn ? IXOFF : 0) | (s.ParityErrorsAsNul ? INPCK : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    const tcflag_t kept = t.c_cflag & HUPCL;
    t.c_cflag = kept | CREAD | CLOCAL | DataBitsFlag(s.DataBits) | ParityFlags(s.Parity)
        | (s.TwoStopBits ? CSTOPB : 0) | (s.RtsCtsFlow ? CRTSCTS : 0);
    // BOTHER takes the speed from c_ospeed as a plain number; with CIBAUD left 0 the input
    // speed follows it. A rate of 0 would hang the line up, so the current one stays.
    t.c_cflag |= BOTHER;
    if (s.BaudRate != 0) {
        t.c_ispeed = s.BaudRate;
        t.c_ospeed = s.BaudRate;
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
    (void)ioctl(fd, TCSETS2, &t);
    DriveLine(fd, TIOCM_DTR, s.Dtr);
    DriveLine(fd, TIOCM_RTS, s.Rts);
}

std::optional<TLineSettings> ReadLineSettings(int fd)
{
    termios2 t {};
    if (!GetTermios(fd, t))
        return std::nullopt;
    TLineSettings s;
    s.BaudRate = t.c_ospeed;
    s.DataBits = DataBitsOf(t.c_cflag);
    s.Parity = ParityOf(t.c_cflag);
    s.TwoStopBits = t.c_cflag & CSTOPB;
    s.ParityErrorsAsNul = t.c_iflag & INPCK;
    s.RtsCtsFlow = t.c_cflag & CRTSCTS;
    s.XonXoffOut = t.c_iflag & IXON;
    s.XonXoffIn = t.c_iflag & IXOFF;
    s.XonChar = static_cast<char>(t.c_cc[VSTART]);
    s.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return s;
}

void Flush(int fd, TQueue queue)
{
    const int which = queue == TQueue::Input ? TCIFLUSH : queue == TQueue::Output ? TCOFLUSH : TCIOFLUSH;
    (void)ioctl(fd, TCFLSH, which);
}

std::optional<uint32_t> ModemStatus(int fd)
{
    int bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) < 0)
        return std::nullopt;
    return (bits & TIOCM_CTS ? 0x10u : 0u) | (bits & TIOCM_DSR ? 0x20u : 0u) | (bits & TIOCM_RI ? 0x40u : 0u)
        | (bits & TIOCM_CD ? 0x80u : 0u);
}

std::optional<TLineCounters> ReadLineCounters(int fd)
{
    serial_icounter_struct ic {};
    if (ioctl(fd, TIOCGICOUNT, &ic) < 0)
        return std::nullopt;
    TLineCounters c;
    c.Carrier = static_cast<uint32_t>(ic.dcd);
    c.Ring = static_cast<uint32_t>(ic.rng);
    c.Frame = static_cast<uint32_t>(ic.frame);
    c.Overrun = static_cast<uint32_t>(ic.overrun);
    c.Parity = static_cast<uint32_t>(ic.parity);
    c.Break = static_cast<uint32_t>(ic.brk);
    c.BufferOverrun = static_cast<uint32_t>(ic.buf_overrun);
    return c;
}

TLineEvents LineEventsBetween(const TLineCounters& before, const TLineCounters& after)
{
    TLineEvents e;
    if (Delta(before.BufferOverrun, after.BufferOverrun))
        e.ErrorWord |= kErrorBufferOverrun;
    if (Delta(before.Overrun, after.Overrun))
        e.ErrorWord |= kErrorOverrun;
    if (Delta(before.Parity, after.Parity))
        e.ErrorWord |= kErrorParity;
    if (Delta(before.Frame, after.Frame))
        e.ErrorWord |= kErrorFrame;
    if (Delta(before.Break, after.Break))
        e.ErrorWord |= kErrorBreak;
    if (Delta(before.Carrier, after.Carrier))
        e.ModemEvent |= kModemCarrier;
    if (Delta(before.Ring, after.Ring))
        e.ModemEvent |= kModemRing;
    return e;
}

int CreateSignal()
{
    return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void Raise(int signal)
{
    const uint64_t one = 1;
    // Fails only when the counter would overflow, and then it is readable anyway.
    while (write(signal, &one, sizeof one) < 0 && errno == EINTR) { }
}

bool IsRaised(int signal)
{
    pollfd p { signal, POLLIN, 0 };
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

void Drain(int signal)
{
    uint64_t value = 0;
    while (read(signal, &value, sizeof value) < 0 && errno == EINTR) { }
}

void CloseSignal(int signal)
{
    CloseQuietly(signal);
}

bool StartNamedThread(std::thread& thread, const char* name, std::function<void()> body)
{
    try {
        thread = std::thread(std::move(body));
    } catch (const std::system_error& e) {
        errno = e.code().value();
        return false;
    }
    (void)pthread_setname_np(thread.native_handle(), name);
    return true;
}

void JoinThread(std::thread& thread)
{
    if (thread.joinable())
        thread.join();
}

void RaiseThreadPriority(int boost)
{
    // On Linux the priority of a normal (SCHED_OTHER) thread is its nice value, set per thread
    // id. Lowering it needs CAP_SYS_NICE; without that the thread simply runs at normal.
    const id_t tid = static_cast<id_t>(gettid());
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, tid);
    if (errno == 0)
        (void)setpriority(PRIO_PROCESS, tid, nice - boost);
}

} // namespace PosixSerial
