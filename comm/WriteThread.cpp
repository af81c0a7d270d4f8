#include "comm/WriteThread.h"

#include "comm/CommWindow.h"
#include "comm/PosixSerial.h"
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits.h>
#include <new>
#include <poll.h>
#include <sys/uio.h>
#include <system_error>
#include <unistd.h>
#include <vector>

TWriteThread::TWriteThread(
    int hCommFile, int hCloseEvent, TCommWindow* hComm32Window, std::atomic<bool>* pFSendDataEmpty)
    : hCommFile(hCommFile)
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
    try {
        FThread = std::thread(&TWriteThread::Execute, this);
    } catch (const std::system_error&) {
        return false;
    }
    PosixSerial::NameThread(FThread, "comm-write");
    return true;
}

void TWriteThread::Join()
{
    if (FThread.joinable())
        FThread.join();
}

bool TWriteThread::Post(const char* data, uint16_t count)
{
    std::unique_ptr<char[]> block(new (std::nothrow) char[count + 1]);
    if (!block)
        return false;
    std::memcpy(block.get(), data, count);
    block[count] = '\0';
    bool wake = false;
    {
        std::lock_guard lock(FLock);
        if (!FAccepting)
            return false;
        // The thread sleeps only after finding the queue empty under this lock, so a wake
        // for the first block of an empty queue is all it needs.
        wake = FQueue.empty();
        FQueue.push_back({ std::move(block), count });
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
        FQueue.clear();
        pFSendDataEmpty->store(true);
    }
    PosixSerial::Flush(hCommFile, PosixSerial::TQueue::Output);
}

void TWriteThread::Run()
{
    // The stop signal is first, so it wins when both are ready at once.
    pollfd fds[2] = { { hCloseEvent, POLLIN, 0 }, { FWake, POLLIN, 0 } };
    bool justWrote = true; // so the first empty queue after starting is reported too
    std::deque<TBlock> blocks;
    for (;;) {
        {
            std::lock_guard lock(FLock);
            blocks.swap(FQueue);
            if (blocks.empty())
                pFSendDataEmpty->store(true);
        }
        if (!blocks.empty()) {
            if (PosixSerial::IsRaised(hCloseEvent) || !SendBlocks(blocks))
                return;
            justWrote = true;
            continue;
        }
        if (justWrote)
            hComm32Window->PostSendEmpty();
        justWrote = false;

        fds[0].revents = fds[1].revents = 0;
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            hComm32Window->PostHangup();
            return;
        }
        if (fds[0].revents != 0)
            return;
        PosixSerial::Drain(FWake);
    }
}

bool TWriteThread::SendBlocks(std::deque<TBlock>& blocks)
{
    // Everything taken from the queue goes out in as few system calls as the driver allows,
    // in order; a partial write resumes at the first byte not yet written.
    std::vector<iovec> iov;
    std::size_t first = 0; // index of the first block not completely written
    std::size_t offset = 0; // bytes of that block already written
    while (first < blocks.size()) {
        iov.clear();
        for (std::size_t i = first; i < blocks.size() && iov.size() < IOV_MAX; ++i) {
            const std::size_t skip = i == first ? offset : 0;
            iov.push_back({ blocks[i].Data.get() + skip, blocks[i].Count - skip });
        }
        const ssize_t n = writev(hCommFile, iov.data(), static_cast<int>(iov.size()));
        if (n < 0) {
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
        std::size_t written = static_cast<std::size_t>(n);
        while (written > 0) {
            const std::size_t rest = blocks[first].Count - offset;
            if (written < rest) {
                offset += written;
                break;
            }
            written -= rest;
            blocks[first].Data.reset(); // freed as soon as it is out
            ++first;
            offset = 0;
        }
    }
    blocks.clear();
    return true;
}

bool TWriteThread::WaitWritable()
{
    pollfd fds[2] = { { hCloseEvent, POLLIN, 0 }, { hCommFile, POLLOUT, 0 } };
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
