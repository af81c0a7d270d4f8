#pragma once
// TReadThread: the receive worker of TComm. It waits for the first byte or the stop signal,
// then keeps collecting while bytes arrive within the read interval; a chunk ends when the
// interval passes without a byte, when the total time-out runs out, or at 2048 bytes. Each
// chunk is posted to the component's window as soon as it ends, except while chunks fill up
// faster than any serial line can fill them: then they wait for up to a millisecond and go
// together, so the owner is woken once for several. While the owner has the window's limit
// of chunks still to take, the thread reads nothing: it posts the backlog message once per
// session and waits for room or the stop signal. Changes of the driver's line-event counters
// are posted as errors and modem events. A device that is gone (hang-up, end of file, I/O
// error) ends the thread after one hang-up message; the stop signal ends it silently, and
// what it has not posted yet is dropped with the rest of the driver's input.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

class TCommWindow;
class TTransport;

// The read time-outs in milliseconds, with the serial conventions: an interval of 0 is not
// used, 0xFFFFFFFF with no total time-out hands over whatever one read gives; the total is
// TotalMultiplier * 2048 + TotalConstant and 0 means none. A read that ends empty is
// simply started again.
struct TReadTimeouts
{
    uint32_t Interval = 100;
    uint32_t TotalMultiplier = 0;
    uint32_t TotalConstant = 0;
};

class TReadThread
{
public:
    static constexpr std::size_t kChunkSize = 2048;

    // hRoomEvent is the window's room signal, raised when the owner has taken enough chunks.
    TReadThread(TTransport& transport, int hCloseEvent, int hRoomEvent, TCommWindow* hComm32Window,
        TReadTimeouts timeouts, bool dropNulBytes);
    ~TReadThread(); // joins a thread still running; raise the stop signal first
    TReadThread(const TReadThread&) = delete;
    TReadThread& operator=(const TReadThread&) = delete;

    bool Start(); // false, with errno telling why, when no thread can be made
    void Join(); // returns once the thread has ended; the stop signal makes that prompt

    // Live settings, taken up from the next wait on.
    void SetTimeouts(TReadTimeouts timeouts);
    void SetDropNulBytes(bool drop);

private:
    void Execute();
    void Run();
    TReadTimeouts Timeouts() const;
    bool WaitForRoom(std::size_t count);

    TTransport& FTransport;
    const int hCloseEvent;
    const int hRoomEvent;
    TCommWindow* const hComm32Window;
    // Written by the owner's thread when a live property changes, read by this thread
    // before each wait.
    std::atomic<uint32_t> FInterval;
    std::atomic<uint32_t> FTotalMultiplier;
    std::atomic<uint32_t> FTotalConstant;
    std::atomic<bool> FDropNulBytes;
    std::thread FThread;
};
