#include "comm/WriteThread.h"

#include "comm/CommWindow.h"
#include "comm/PosixSerial.h"
#include "comm/Transport.h"
#include <cerrno>
#include <new>
#include <poll.h>
#include <unistd.h>
#include <vector>

TWriteThread::TWriteThread(
    TTransport& transport, int hCloseEvent, TCommWindow* hComm32Window, std::atomic<bool>* pFSendDataEmpty)
    : FTransport(transport)
    , hCloseEvent(hCloseEvent)
    , hComm32Window(hComm32Window)
    , pFSendDataEmpty(pFSendDataEmpty)
{ }

TWriteThread::~TWriteThread()
{
    Join();
    if (FWake >= 0)
        PosixSerial::CloseSignal(FWake);
}

bool TWriteThread::Start()
{
    FWake = PosixSerial::CreateSignal();
    if (FWake < 0)
        return false;
    return PosixSerial::StartNamedThread(FThread, "comm-write", [this] { Execute(); });
}

void TWriteThread::Join()
{
    PosixSerial::JoinThread(FThread);
}

bool TWriteThread::Post(const char* data, uint16_t count)
{
    bool wake = false;
    {
        std::lock_guard lock(FLock);
        if (!FAccepting)
            return false;
        try {
            FPending.insert(FPending.end(), data, data + count);
        } catch (const std::bad_alloc&) {
            return false;
        }
        // The thread goes idle only after finding nothing pending under this lock, so one
        // wake after that is all it needs; while it is busy writing it comes back by itself.
        wake = FIdle;
        FIdle = false;
        pFSendDataEmpty->store(false);
    }
    if (wake)
        PosixSerial::Raise(FWake);
    return true;
}

void TWriteThread::Execute()
{
    PosixSerial::RaiseThreadPriority(1);
    try {
        Run();
    } catch (const std::exception&) {
        // Only an allocation can fail here; without memory nothing more can be sent.
        hComm32Window->PostHangup();
    }
    {
        std::lock_guard lock(FLock);
        FAccepting = false;
        FPending = {};
        pFSendDataEmpty->store(true);
    }
    FTransport.Flush(PosixSerial::TQueue::Output);
}

void TWriteThread::Run()
{
    // The stop signal is first, so it wins when both are ready at once. A transport without
    // output of its own has no signal, and poll() passes over a negative descriptor.
    pollfd fds[3]
        = { { hCloseEvent, POLLIN, 0 }, { FWake, POLLIN, 0 }, { FTransport.OutputSignal(), POLLIN, 0 } };
    bool justWrote = true; // so the first empty queue after starting is reported too
    std::vector<char> out; // swapped with FPending, so both buffers keep their capacity
    for (;;) {
        {
            std::lock_guard lock(FLock);
            out.clear();
            out.swap(FPending);
            if (out.empty()) {
                pFSendDataEmpty->store(true);
                FIdle = true;
            }
        }
        if (!out.empty()) {
            if (PosixSerial::IsRaised(hCloseEvent) || !SendAll(out))
                return;
            justWrote = true;
            continue;
        }
        if (justWrote)
            hComm32Window->PostSendEmpty();
        justWrote = false;

        fds[0].revents = fds[1].revents = fds[2].revents = 0;
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            hComm32Window->PostHangup();
            return;
        }
        if (fds[0].revents != 0)
            return;
        if (fds[1].revents != 0)
            PosixSerial::Drain(FWake);
        if (fds[2].revents != 0) {
            // Drained first: bytes queued after this look are signalled anew.
            PosixSerial::Drain(fds[2].fd);
            if (!SendAll({}))
                return;
        }
    }
}

bool TWriteThread::SendAll(const std::vector<char>& bytes)
{
    std::size_t done = 0; // a partial write resumes at the first byte not yet written
    while (done < bytes.size() || FTransport.OutputPending()) {
        const ssize_t n = FTransport.Send(bytes.data() + done, bytes.size() - done);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            if (!WaitWritable())
                return false;
            continue;
        }
        // EBADF: the port was closed under the thread and nobody listens; anything else
        // (EIO when an adapter is pulled or the other end closed): the device is gone.
        if (errno != EBADF)
            hComm32Window->PostHangup();
        return false;
    }
    return true;
}

bool TWriteThread::WaitWritable()
{
    pollfd fds[2] = { { hCloseEvent, POLLIN, 0 }, { FTransport.Fd(), POLLOUT, 0 } };
    for (;;) {
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            hComm32Window->PostHangup();
            return false;
        }
        if (fds[0].revents != 0)
            return false;
        if (fds[1].revents & POLLOUT)
            return true;
        // Hang-up or error without room to write: waiting again would spin.
        hComm32Window->PostHangup();
        return false;
    }
}
