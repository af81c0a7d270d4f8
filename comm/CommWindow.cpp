#include "comm/CommWindow.h"

#include "comm/PortEvent.h"
#include "comm/SerialComm.h"
#include <QCoreApplication>
#include <exception>

TCommWindow::TCommWindow(TComm* owner)
    : QObject(owner)
    , FOwner(owner)
{ }

void TCommWindow::PostData(std::unique_ptr<char[]> block, uint16_t count)
{
    QCoreApplication::postEvent(this, new TPortEvent(TPortEvent::PortData, count, std::move(block)));
}

void TCommWindow::PostError(uint32_t errorWord)
{
    QCoreApplication::postEvent(this, new TPortEvent(TPortEvent::PortError, errorWord));
}

void TCommWindow::PostModem(uint32_t modemEvent)
{
    QCoreApplication::postEvent(this, new TPortEvent(TPortEvent::PortModem, modemEvent));
}

void TCommWindow::PostHangup()
{
    if (!FHangupPosted.exchange(true))
        QCoreApplication::postEvent(this, new TPortEvent(TPortEvent::PortHangup, 0));
}

void TCommWindow::PostSendEmpty()
{
    QCoreApplication::postEvent(this, new TPortEvent(TPortEvent::PortSendEmpty, 0));
}

void TCommWindow::NewSession()
{
    FHangupPosted.store(false);
}

bool TCommWindow::event(QEvent* e)
{
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
