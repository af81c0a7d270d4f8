#include "comm/ReadThread.h"

#include "comm/CommWindow.h"
#include "comm/PosixSerial.h"
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// An interval of this value asks for whatever one read returns.
constexpr uint32_t kImmediate = 0xFFFFFFFF;
// Carrier and ring changes do not wake poll(), so while the driver keeps line counters they
// are looked at this often even when no byte comes in.
constexpr auto kLineEventPoll = milliseconds(100);
// A longer total time-out than this (about 49 days) cannot matter and would risk overflow.
constexpr uint64_t kLongestTotal = 0xFFFFFFFF;

// When the chunk being collected must be handed over, or an empty read started anew;
// nullopt: only a byte or the stop signal ends the wait.
std::optional<Clock::time_point> ChunkDeadline(
    const TReadTimeouts& t, std::size_t count, Clock::time_point armed, Clock::time_point last)
{
    std::optional<Clock::time_point> deadline;
    const uint64_t total = std::min<uint64_t>(
        uint64_t(t.TotalMultiplier) * TReadThread::kChunkSize + t.TotalConstant, kLongestTotal);
    if (total != 0)
        deadline = armed + milliseconds(total);
    if (count > 0 && t.Interval != 0) {
        // Collected bytes under "whatever one read gives" (set while they came in) are due now.
        const auto byInterval = t.Interval == kImmediate ? last : last + milliseconds(t.Interval);
        if (!deadline || byInterval < *deadline)
            deadline = byInterval;
    }
    return deadline;
}

timespec ToTimespec(Clock::duration d)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec { static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000) };
}

void ReportLineEvents(int fd, TCommWindow* window, PosixSerial::TLineCounters& counters)
{
    const auto now = PosixSerial::ReadLineCounters(fd);
    if (!now)
        return; // a device that is gone shows up in the read
    const auto events = PosixSerial::LineEventsBetween(counters, *now);
    counters = *now;
    if (events.ErrorWord != 0)
        window->PostError(events.ErrorWord);
    if (events.ModemEvent != 0)
        window->PostModem(events.ModemEvent);
}

} // namespace

TReadThread::TReadThread(
    int hCommFile, int hCloseEvent, TCommWindow* hComm32Window, TReadTimeouts timeouts, bool dropNulBytes)
    : hCommFile(hCommFile)
    , hCloseEvent(hCloseEvent)
    , hComm32Window(hComm32Window)
    , FInterval(timeouts.Interval)
    , FTotalMultiplier(timeouts.TotalMultiplier)
    , FTotalConstant(timeouts.TotalConstant)
    , FDropNulBytes(dropNulBytes)
{ }

TReadThread::~TReadThread()
{
    Join();
}

bool TReadThread::Start()
{
    return PosixSerial::StartNamedThread(FThread, "comm-read", [this] { Execute(); });
}

void TReadThread::Join()
{
    PosixSerial::JoinThread(FThread);
}

void TReadThread::SetTimeouts(TReadTimeouts timeouts)
{
    FInterval = timeouts.Interval;
    FTotalMultiplier = timeouts.TotalMultiplier;
    FTotalConstant = timeouts.TotalConstant;
}

void TReadThread::SetDropNulBytes(bool drop)
{
    FDropNulBytes = drop;
}

TReadTimeouts TReadThread::Timeouts() const
{
    return { FInterval, FTotalMultiplier, FTotalConstant };
}

void TReadThread::Execute()
{
    PosixSerial::RaiseThreadPriority(2);
    try {
        Run();
    } catch (const std::exception&) {
        // Only an allocation can fail here; without memory nothing more can be received.
        hComm32Window->PostHangup();
    }
    PosixSerial::Flush(hCommFile, PosixSerial::TQueue::Input);
}

void TReadThread::Deliver(const char* bytes, std::size_t count)
{
    auto block = std::make_unique_for_overwrite<char[]>(count + 1);
    std::memcpy(block.get(), bytes, count);
    block[count] = '\0'; // so the receiver may treat the block as a C string
    hComm32Window->PostData(std::move(block), static_cast<uint16_t>(count));
}

void TReadThread::Run()
{
    // Room for several chunks, so that a full driver queue is taken in one read; between
    // reads it holds less than one chunk.
    char buffer[4 * kChunkSize];
    auto counters = PosixSerial::ReadLineCounters(hCommFile);
    // The stop signal is first, so it wins when both are ready at once.
    pollfd fds[2] = { { hCloseEvent, POLLIN, 0 }, { hCommFile, POLLIN, 0 } };
    std::size_t count = 0; // bytes of the chunk being collected
    Clock::time_point armed = Clock::now(); // start of the current read, for the total time-out
    Clock::time_point last = armed; // arrival of the newest byte, for the interval

    for (;;) {
        const TReadTimeouts t = Timeouts();
        const auto deadline = ChunkDeadline(t, count, armed, last);
        std::optional<Clock::duration> wait;
        if (deadline)
            wait = std::max(Clock::duration::zero(), *deadline - Clock::now());
        if (counters && (!wait || *wait > kLineEventPoll))
            wait = kLineEventPoll;
        timespec timeout {};
        if (wait)
            timeout = ToTimespec(*wait);

        fds[0].revents = fds[1].revents = 0;
        const int ready = ppoll(fds, 2, wait ? &timeout : nullptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            hComm32Window->PostHangup();
            return;
        }
        // Stopped: a chunk still being collected is dropped, like the rest of the driver's
        // input that StopComm discards.
        if (fds[0].revents != 0)
            return;
        if (counters)
            ReportLineEvents(hCommFile, hComm32Window, *counters);

        const short port = fds[1].revents;
        if (port & POLLNVAL)
            return; // the descriptor was closed under the thread: nobody is listening any more
        if (port & (POLLIN | POLLHUP | POLLERR)) {
            // One read may take more than the rest of the chunk: whole chunks go out at once
            // and the remainder starts the next one, as if it had waited in the driver.
            const ssize_t n = read(hCommFile, buffer + count, sizeof buffer - count);
            if (n > 0) {
                char* const fresh = buffer + count;
                const std::size_t kept = FDropNulBytes ? std::remove(fresh, fresh + n, '\0') - fresh : n;
                if (kept > 0) {
                    count += kept;
                    last = Clock::now();
                }
                const bool immediate = Timeouts().Interval == kImmediate; // may have changed while waiting
                std::size_t sent = 0;
                while (count - sent >= kChunkSize || (count > sent && immediate)) {
                    const std::size_t size = std::min(count - sent, kChunkSize);
                    Deliver(buffer + sent, size);
                    sent += size;
                }
                if (sent > 0) {
                    std::memmove(buffer, buffer + sent, count - sent);
                    count -= sent;
                    armed = last;
                }
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN && !(port & (POLLHUP | POLLERR)))
                continue;
            // End of file (the other end closed), an I/O error (adapter unplugged), or hang-up
            // with nothing left to read: the device is gone. Polling on would spin, so the
            // thread ends, after handing over what it had already collected.
            if (count > 0)
                Deliver(buffer, count);
            if (!(n < 0 && errno == EBADF))
                hComm32Window->PostHangup();
            return;
        }
        if (ready == 0 && deadline && Clock::now() >= *deadline) {
            if (count > 0)
                Deliver(buffer, count);
            count = 0;
            armed = Clock::now();
        }
    }
}
