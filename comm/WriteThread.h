#pragma once
// TWriteThread: the transmit worker of TComm. Blocks handed to Post are written in order,
// each one completely, across partial writes and a full driver queue; whatever has piled up
// meanwhile goes out in one write. When the queue runs
// dry after at least one block (and once after starting) it sets the owner's send-empty
// flag and posts PortSendEmpty. A write failure posts the hang-up and ends the thread; the
// blocks still queued are dropped and Post refuses from then on. Bytes the transport queues
// of its own (a network protocol's answers) are pushed out here as well, when its signal
// says they wait.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class TCommWindow;
class TTransport;

class TWriteThread
{
public:
    TWriteThread(TTransport& transport, int hCloseEvent, TCommWindow* hComm32Window,
        std::atomic<bool>* pFSendDataEmpty);
    ~TWriteThread(); // joins a thread still running; raise the stop signal first
    TWriteThread(const TWriteThread&) = delete;
    TWriteThread& operator=(const TWriteThread&) = delete;

    bool Start(); // false, with errno telling why, when the thread or its wake signal cannot be made
    void Join(); // returns once the thread has ended; the stop signal makes that prompt

    // Copies count (>= 1) bytes behind those handed over before; never waits for the port.
    // False once the thread has ended or when memory runs out.
    bool Post(const char* data, uint16_t count);

private:
    void Execute();
    void Run();
    bool SendAll(const std::vector<char>& bytes);
    bool WaitWritable();

    TTransport& FTransport;
    const int hCloseEvent;
    TCommWindow* const hComm32Window;
    std::atomic<bool>* const pFSendDataEmpty;

    // Guards FPending, FAccepting and FIdle, and makes "nothing pending" and the owner's
    // send-empty flag change together, so the flag never says empty while bytes wait.
    std::mutex FLock;
    std::vector<char> FPending; // the blocks handed over, back to back in their order
    bool FAccepting = true;
    bool FIdle = false; // the thread found nothing pending and sleeps, or is about to
    int FWake = -1; // eventfd raised for the first block that arrives while the thread is idle
    std::thread FThread;
};
