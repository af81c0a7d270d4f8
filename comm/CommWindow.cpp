#include "comm/CommWindow.h"

#include "comm/PortEvent.h"
#include "comm/SerialComm.h"
#include <QCoreApplication>
#include <exception>

TCommWindow::TCommWindow(TComm* owner)
    : QObject(owner)
    , FOwner(owner)
{ }

// Qt deletes the events still queued for this object after this body has run.
TCommWindow::~TCommWindow()
{
    (void)FPublished.load(std::memory_order_acquire);
}

void TCommWindow::Post(TPortEvent* e)
{
    FPublished.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, e);
}

void TCommWindow::PostData(std::unique_ptr<char[]> block, uint16_t count)
{
    Post(new TPortEvent(TPortEvent::PortData, count, std::move(block)));
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

void TCommWindow::NewSession()
{
    FHangupPosted.store(false);
}

bool TCommWindow::event(QEvent* e)
{
    (void)FPublished.load(std::memory_order_acquire);
    if (!TPortEvent::IsPortEvent(e->type()))
        return QObject::event(e);
    // An exception unwinding through Qt's event loop is undefined behaviour; the program's
    // own handlers report their errors themselves, so this is only the last safety net.
    try {
        FOwner->PortWindowProc(e);
    } catch (const std::exception& ex) {
        qWarning("Serial port event handler failed: %s", ex.what());
    } catch (...) {
        qWarning("Serial port event handler failed with an unknown exception");
    }
    return true;
}
