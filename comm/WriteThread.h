#pragma once
// TWriteThread: the transmit worker of TComm. Blocks handed to Post are written in order,
// each one completely, across partial writes and a full driver queue. When the queue runs
// dry after at least one block (and once after starting) it sets the owner's send-empty
// flag and posts PortSendEmpty. A write failure posts the hang-up and ends the thread; the
// blocks still queued are dropped and Post refuses from then on.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class TCommWindow;

class TWriteThread
{
public:
    TWriteThread(
        int hCommFile, int hCloseEvent, TCommWindow* hComm32Window, std::atomic<bool>* pFSendDataEmpty);
    ~TWriteThread(); // joins a thread still running; raise the stop signal first
    TWriteThread(const TWriteThread&) = delete;
    TWriteThread& operator=(const TWriteThread&) = delete;

    bool Start(); // false when the thread or its wake signal cannot be made
    void Join(); // returns once the thread has ended; the stop signal makes that prompt

    // Copies count (>= 1) bytes into a block of its own and queues it; never waits for the
    // port. False once the thread has ended or when memory runs out.
    bool Post(const char* data, uint16_t count);

private:
    struct TBlock
    {
        std::unique_ptr<char[]> Data;
        uint16_t Count;
    };

    void Execute();
    void Run();
    bool SendBlocks(std::deque<TBlock>& blocks);
    bool WaitWritable();

    const int hCommFile;
    const int hCloseEvent;
    TCommWindow* const hComm32Window;
    std::atomic<bool>* const pFSendDataEmpty;

    // Guards FQueue and FAccepting, and makes "queue empty" and the owner's send-empty flag
    // change together, so the flag never says empty while a block waits.
    std::mutex FLock;
    std::deque<TBlock> FQueue;
    bool FAccepting = true;
    int FWake = -1; // eventfd raised when a block lands in an empty queue
    std::thread FThread;
};
