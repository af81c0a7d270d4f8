#include "comm/PortOpener.h"

#include "comm/PosixSerial.h"
#include "comm/Transport.h"
#include <QCoreApplication>
#include <QEvent>
#include <cerrno>
#include <exception>

namespace {

const QEvent::Type kOpened = static_cast<QEvent::Type>(QEvent::registerEventType());

// The worker's result. It owns the transport until the handler takes it.
struct TOpenedEvent : QEvent
{
    TOpenedEvent()
        : QEvent(kOpened)
    { }
    std::unique_ptr<TTransport> Transport;
    std::optional<ECommsError> Error;
};

} // namespace

TPortOpener::TPortOpener(QObject* parent)
    : QObject(parent)
{ }

TPortOpener::~TPortOpener()
{
    Cancel();
}

void TPortOpener::Begin(const QString& portText, TOpened done)
{
    Cancel();
    FCancel = PosixSerial::CreateSignal();
    if (FCancel < 0)
        throw ECommsError("Unable to create event", errno);
    // Made here, so that the worker allocates nothing it could fail to hand over.
    auto result = std::make_unique<TOpenedEvent>();
    TOpenedEvent* const e = result.get();
    FDone = std::move(done);
    const bool started
        = PosixSerial::StartNamedThread(FWorker, "comm-open", [this, e, portText, cancel = FCancel] {
              try {
                  e->Transport = OpenTransport(portText, cancel);
              } catch (const ECommsError& error) {
                  e->Error = error;
              } catch (const std::exception& error) {
                  e->Error = ECommsError(error.what());
              }
              // The last thing the worker does: its owner joins it before looking at the event.
              QCoreApplication::postEvent(this, e);
          });
    if (!started) {
        const int error = errno;
        FDone = {};
        PosixSerial::CloseSignal(FCancel);
        FCancel = -1;
        throw ECommsError("Unable to create open thread", error);
    }
    (void)result.release(); // the worker posts it
}

void TPortOpener::Cancel()
{
    if (!FWorker.joinable())
        return;
    PosixSerial::Raise(FCancel);
    EndWorker();
    // The result posted meanwhile goes undelivered: deleting it closes what was opened.
    QCoreApplication::removePostedEvents(this, kOpened);
    FDone = {};
}

void TPortOpener::EndWorker()
{
    PosixSerial::JoinThread(FWorker);
    if (FCancel >= 0)
        PosixSerial::CloseSignal(FCancel);
    FCancel = -1;
}

bool TPortOpener::event(QEvent* e)
{
    if (e->type() != kOpened)
        return QObject::event(e);
    auto* const opened = static_cast<TOpenedEvent*>(e);
    // Posted as the worker's last act, so the join is at once; it also makes what the worker
    // wrote into the event visible here.
    EndWorker();
    const TOpened done = std::exchange(FDone, {});
    std::unique_ptr<TTransport> transport = std::move(opened->Transport);
    const std::optional<ECommsError> error = std::move(opened->Error);
    // An exception unwinding through Qt's event loop is undefined behaviour; the session
    // reports its own errors, so this is only the last safety net.
    try {
        if (done)
            done(std::move(transport), error);
    } catch (const std::exception& ex) {
        qWarning("Port open handler failed: %s", ex.what());
    } catch (...) {
        qWarning("Port open handler failed with an unknown exception");
    }
    return true;
}
