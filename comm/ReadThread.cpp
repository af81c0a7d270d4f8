#include "comm/ReadThread.h"

#include "comm/CommWindow.h"
#include "comm/PortEvent.h"
#include "comm/PosixSerial.h"
#include "comm/Transport.h"
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

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
// A full chunk that follows the one before sooner than this comes from a stream no serial
// line carries (3 Mbaud needs 7 ms per chunk): a pseudo-terminal, or a USB device that only
// looks like a port. Such chunks are held back together, at most this long, so the owner
// wakes once for several; at line speeds every chunk goes at once.
constexpr auto kFloodHold = milliseconds(1);
constexpr Clock::time_point kNever = Clock::time_point::max();

constexpr std::size_t kChunkSize = TReadThread::kChunkSize;

// When the chunk being collected must be handed over, or an empty read started anew;
// nullopt: only a byte or the stop signal ends the wait.
std::optional<Clock::time_point> ChunkDeadline(
    const TReadTimeouts& t, std::size_t count, Clock::time_point armed, Clock::time_point last)
{
    std::optional<Clock::time_point> deadline;
    const uint64_t total
        = std::min<uint64_t>(uint64_t(t.TotalMultiplier) * kChunkSize + t.TotalConstant, kLongestTotal);
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

void ReportLineEvents(TTransport& transport, TCommWindow* window, PosixSerial::TLineCounters& counters)
{
    const auto now = transport.ReadLineCounters();
    if (!now)
        return; // a device that is gone shows up in the read
    const auto events = PosixSerial::LineEventsBetween(counters, *now);
    counters = *now;
    if (events.ErrorWord != 0)
        window->PostError(events.ErrorWord);
    if (events.ModemEvent != 0)
        window->PostModem(events.ModemEvent);
}

// The chunk being collected and the chunks completed but not yet handed over. Bytes are read
// straight into the blocks that later travel to the owner, never zero-filled or copied.
class TChunkAssembly
{
public:
    // A read can take the rest of the chunk being collected and two more whole chunks: more
    // than the 4096 bytes a terminal's input buffer holds, so one read empties it.
    static constexpr std::size_t kReadBlocks = 3;

    std::size_t Count() const { return FCount; } // bytes of the chunk being collected
    std::size_t Completed() const { return FDone.Count; }
    // Whether a read may start: every block it can fill has a free place to complete into.
    // At most kCapacity chunks wait here.
    bool CanRead() const { return FDone.Count + kReadBlocks <= TReceivedChunks::kCapacity; }

    // Where the next read goes: the rest of the chunk being collected and, when whole is set,
    // the blocks after it. Needs CanRead().
    int Prepare(std::array<iovec, kReadBlocks>& iov, bool whole)
    {
        const std::size_t blocks = whole ? kReadBlocks : 1;
        for (std::size_t i = 0; i < blocks; ++i) {
            if (!FBlocks[i])
                FBlocks[i] = std::make_unique_for_overwrite<char[]>(kChunkSize + 1);
            const std::size_t used = i == 0 ? FCount : 0;
            iov[i] = { FBlocks[i].get() + used, kChunkSize - used };
        }
        return static_cast<int>(blocks);
    }

    struct TReceived
    {
        std::size_t Kept = 0; // bytes that stay, after NUL bytes were dropped
        std::size_t Full = 0; // chunks completed at 2048 bytes
    };
    // n bytes have arrived where Prepare pointed. NUL bytes may only be dropped after a
    // read into the chunk being collected alone.
    TReceived Received(std::size_t n, bool dropNulBytes)
    {
        TReceived got { n, 0 };
        if (dropNulBytes) {
            char* const fresh = FBlocks[0].get() + FCount;
            got.Kept = static_cast<std::size_t>(std::remove(fresh, fresh + n, '\0') - fresh);
        }
        for (std::size_t left = got.Kept; left > 0;) {
            const std::size_t take = std::min(left, kChunkSize - FCount);
            FCount += take;
            left -= take;
            if (FCount == kChunkSize) {
                Complete();
                ++got.Full;
            }
        }
        return got;
    }

    // The chunk being collected ends here, if it holds any bytes.
    void EndChunk()
    {
        if (FCount > 0)
            Complete();
    }

    TReceivedChunks TakeCompleted() { return std::exchange(FDone, TReceivedChunks {}); }

private:
    void Complete()
    {
        FBlocks[0][FCount] = '\0'; // so the receiver may treat the block as a C string
        FDone.Blocks[FDone.Count] = std::move(FBlocks[0]);
        FDone.Lengths[FDone.Count] = static_cast<uint16_t>(FCount);
        ++FDone.Count;
        std::rotate(FBlocks.begin(), FBlocks.begin() + 1, FBlocks.end());
        FCount = 0;
    }

    // [0] collects; the others take what a long read brings beyond it, in order, and stay
    // allocated for the next read when it brings less.
    std::array<std::unique_ptr<char[]>, kReadBlocks> FBlocks;
    std::size_t FCount = 0;
    TReceivedChunks FDone;
};

} // namespace

TReadThread::TReadThread(TTransport& transport, int hCloseEvent, int hRoomEvent, TCommWindow* hComm32Window,
    TReadTimeouts timeouts, bool dropNulBytes)
    : FTransport(transport)
    , hCloseEvent(hCloseEvent)
    , hRoomEvent(hRoomEvent)
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
    FTransport.Flush(PosixSerial::TQueue::Input);
}

// Reads nothing until the owner has taken enough chunks for count more to be posted; false
// when the stop signal came first (or waiting failed, which is reported as a lost port).
bool TReadThread::WaitForRoom(std::size_t count)
{
    for (;;) {
        hComm32Window->WantRoom();
        if (hComm32Window->HasRoomFor(count))
            return true;
        pollfd fds[2] = { { hCloseEvent, POLLIN, 0 }, { hRoomEvent, POLLIN, 0 } };
        if (ppoll(fds, 2, nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            hComm32Window->PostHangup();
            return false;
        }
        if (fds[0].revents != 0)
            return false;
        PosixSerial::Drain(hRoomEvent);
    }
}

void TReadThread::Run()
{
    auto counters = FTransport.ReadLineCounters();
    // The stop signal is first, so it wins when both are ready at once.
    pollfd fds[2] = { { hCloseEvent, POLLIN, 0 }, { FTransport.Fd(), POLLIN, 0 } };
    TChunkAssembly chunks;
    Clock::time_point armed = Clock::now(); // start of the current read, for the total time-out
    Clock::time_point last = armed; // arrival of the newest byte, for the interval
    Clock::time_point lastFull {}; // when the full chunk before was completed
    // When the full chunks held back in a flood must go at the latest; kNever while none are.
    Clock::time_point holdUntil = kNever;
    bool handOver = false; // the completed chunks must go before anything more is collected
    bool backlogReported = false;
    bool readAtOnce = false; // the next read need not wait for the port to be readable

    for (;;) {
        if (chunks.Completed() > 0 && (handOver || !chunks.CanRead() || Clock::now() >= holdUntil)) {
            if (!hComm32Window->HasRoomFor(chunks.Completed())) {
                if (!std::exchange(backlogReported, true))
                    hComm32Window->PostBacklog();
                if (!WaitForRoom(chunks.Completed()))
                    return;
                continue;
            }
            hComm32Window->PostData(chunks.TakeCompleted());
            holdUntil = kNever;
            readAtOnce = false; // so every hand-over looks at the stop signal
        }
        handOver = false;

        const TReadTimeouts t = Timeouts();
        const auto deadline = ChunkDeadline(t, chunks.Count(), armed, last);
        int ready = 1;
        fds[0].revents = 0;
        fds[1].revents = POLLIN;
        // In a flood the next bytes are as good as there, so the read comes first, without
        // asking; the stop signal is looked at again with the next hand-over, a few reads on.
        if (!std::exchange(readAtOnce, false)) {
            auto wake = deadline;
            if (holdUntil != kNever && (!wake || holdUntil < *wake))
                wake = holdUntil;
            std::optional<Clock::duration> wait;
            if (wake)
                wait = std::max(Clock::duration::zero(), *wake - Clock::now());
            if (counters && (!wait || *wait > kLineEventPoll))
                wait = kLineEventPoll;
            timespec timeout {};
            if (wait)
                timeout = ToTimespec(*wait);

            fds[1].revents = 0;
            ready = ppoll(fds, 2, wait ? &timeout : nullptr, nullptr);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                hComm32Window->PostHangup();
                return;
            }
            // Stopped: what is not yet posted is dropped, like the rest of the driver's input
            // that StopComm discards.
            if (fds[0].revents != 0)
                return;
            if (counters)
                ReportLineEvents(FTransport, hComm32Window, *counters);
        }

        const short port = fds[1].revents;
        if (port & POLLNVAL)
            return; // the descriptor was closed under the thread: nobody is listening any more
        if (port & (POLLIN | POLLHUP | POLLERR)) {
            // One read may take more than the rest of the chunk: whole chunks are complete at
            // once and the remainder starts the next one, as if it had waited in the driver.
            // Dropped NUL bytes would leave gaps between blocks, so then only the chunk being
            // collected is read into.
            const bool dropNulBytes = FDropNulBytes;
            std::array<iovec, TChunkAssembly::kReadBlocks> iov;
            const ssize_t n = FTransport.Read(iov.data(), chunks.Prepare(iov, !dropNulBytes));
            const int readError = n < 0 ? errno : 0;
            if (n > 0) {
                const auto got = chunks.Received(static_cast<std::size_t>(n), dropNulBytes);
                const auto now = Clock::now();
                if (got.Kept > 0)
                    last = now;
                if (got.Full > 0) {
                    armed = last;
                    if (now - lastFull >= kFloodHold)
                        handOver = true;
                    else if (holdUntil == kNever)
                        holdUntil = now + kFloodHold;
                    lastFull = now;
                }
                readAtOnce = holdUntil != kNever;
                if (Timeouts().Interval == kImmediate) { // may have changed while waiting
                    chunks.EndChunk();
                    armed = last;
                    handOver = true;
                }
                continue;
            }
            if (readError == EINTR)
                continue;
            if (readError == EAGAIN && !(port & (POLLHUP | POLLERR)))
                continue;
            // End of file (the other end closed), an I/O error (adapter unplugged), or hang-up
            // with nothing left to read: the device is gone. Polling on would spin, so the
            // thread ends, after handing over what it had already collected, the limit
            // notwithstanding: nothing more follows.
            chunks.EndChunk();
            if (chunks.Completed() > 0)
                hComm32Window->PostData(chunks.TakeCompleted());
            if (readError != EBADF)
                hComm32Window->PostHangup();
            return;
        }
        if (ready == 0 && deadline && Clock::now() >= *deadline) {
            if (chunks.Count() > 0) {
                chunks.EndChunk();
                handOver = true;
            }
            armed = Clock::now();
        }
    }
}
