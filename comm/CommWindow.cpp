#include "comm/CommWindow.h"

#include "comm/PortEvent.h"
#include "comm/PosixSerial.h"
#include "comm/SerialComm.h"
#include <QCoreApplication>
#include <algorithm>
#include <exception>

TCommWindow::TCommWindow(TComm* owner)
    : QObject(owner)
    , FOwner(owner)
{ }

// Qt deletes the events still queued for this object after this body has run.
TCommWindow::~TCommWindow()
{
    (void)FPublished.load(std::memory_order_acquire);
    EndSession();
}

void TCommWindow::Post(TPortEvent* e)
{
    e->SetGeneration(FGeneration.load());
    FPublished.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, e);
}

void TCommWindow::PostData(TReceivedChunks chunks)
{
    // Counted first, so that the owner never takes a chunk that is not yet counted.
    FChunksInFlight += static_cast<uint32_t>(chunks.Count);
    Post(new TPortEvent(std::move(chunks)));
}

void TCommWindow::PostError(uint32_t errorWord)
{
    Post(new TPortEvent(TPortEvent::PortError, errorWord));
}

void TCommWindow::PostModem(uint32_t modemEvent)
{
    Post(new TPortEvent(TPortEvent::PortModem, modemEvent));
}

void TCommWindow::PostHangup()
{
    if (!FHangupPosted.exchange(true))
        Post(new TPortEvent(TPortEvent::PortHangup, 0));
}

void TCommWindow::PostSendEmpty()
{
    Post(new TPortEvent(TPortEvent::PortSendEmpty, 0));
}

void TCommWindow::PostBacklog()
{
    Post(new TPortEvent(TPortEvent::PortBacklog, 0));
}

bool TCommWindow::HasRoomFor(std::size_t count) const
{
    return FChunksInFlight.load() + count <= kMaxChunksInFlight;
}

void TCommWindow::WantRoom()
{
    FRoomWanted.store(true);
}

void TCommWindow::ChunkTaken()
{
    // Woken only at half the limit, so that a waiting receive thread posts a good part of it
    // at once instead of waking for every chunk taken.
    const uint32_t left = FChunksInFlight.fetch_sub(1) - 1;
    if (left <= kMaxChunksInFlight / 2 && FRoomWanted.exchange(false) && FRoomSignal >= 0)
        PosixSerial::Raise(FRoomSignal);
}

bool TCommWindow::NewSession()
{
    ++FGeneration;
    FHangupPosted.store(false);
    FRoomWanted.store(false);
    FRoomSignal = PosixSerial::CreateSignal();
    return FRoomSignal >= 0;
}

void TCommWindow::EndSession()
{
    if (FRoomSignal >= 0)
        PosixSerial::CloseSignal(FRoomSignal);
    FRoomSignal = -1;
}

void TCommWindow::DeliverNext(TPortEvent* e)
{
    const bool chunk = e->type() == TPortEvent::PortData;
    if (e->Generation() != FGeneration.load()) {
        // Posted by a port closed before the one open now: dropped, its chunk freed here.
        (void)e->TakeNext();
        if (chunk)
            ChunkTaken();
        return;
    }
    // An exception unwinding through Qt's event loop is undefined behaviour; the program's
    // own handlers report their errors themselves, so this is only the last safety net.
    try {
        FOwner->PortWindowProc(e);
    } catch (const std::exception& ex) {
        qWarning("Serial port event handler failed: %s", ex.what());
    } catch (...) {
        qWarning("Serial port event handler failed with an unknown exception");
    }
    if (chunk)
        ChunkTaken();
}

bool TCommWindow::event(QEvent* e)
{
    (void)FPublished.load(std::memory_order_acquire);
    if (!TPortEvent::IsPortEvent(e->type()))
        return QObject::event(e);
    auto* const message = static_cast<TPortEvent*>(e);
    FDelivering.push_back(message);
    while (message->Pending()) {
        TPortEvent* const oldest = FDelivering.front();
        if (oldest->Pending())
            DeliverNext(oldest);
        else
            FDelivering.erase(FDelivering.begin());
    }
    // Already gone when a nested event loop finished it.
    std::erase(FDelivering, message);
    return true;
}
