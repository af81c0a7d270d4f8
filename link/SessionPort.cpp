#include "link/InstrumentSession.h"

#include "comm/PortOpener.h"
#include "comm/Transport.h"
#include "link/SessionShared.h"

#include <QTimer>

using namespace SessionShared;

// ---- the port

void InstrumentSession::AddVirtualPort(const QString& name, VirtualPortMaker make)
{
    FVirtualMakers[name] = std::move(make);
}

bool InstrumentSession::HasVirtualPort(const QString& name) const
{
    return FVirtualMakers.count(name) != 0;
}

void InstrumentSession::Open(const QString& name, uint32_t baudRate)
{
    if (FPort == PortState::Opening)
        throw ECommsError("This serial port is already being opened");
    PreparePort(name, baudRate);
    try {
        FComm->StartComm();
    } catch (...) {
        FVirtual = {};
        throw;
    }
    PortOpened(name);
}

void InstrumentSession::BeginOpen(const QString& name, uint32_t baudRate, OpenedHandler then)
{
    if (FPort == PortState::Opening)
        throw ECommsError("This serial port is already being opened");
    if (FPort == PortState::Open)
        throw ECommsError("This serial port already opened");
    PreparePort(name, baudRate);
    FOpeningName = name;
    FBeforeOpening = FPort;
    FOpenedThen = std::move(then);
    if (OpensAtOnce(FComm->CommName())) {
        std::optional<ECommsError> error;
        try {
            FComm->StartComm();
        } catch (const ECommsError& e) {
            error = e;
        } catch (...) {
            FOpenedThen = {};
            FVirtual = {};
            throw;
        }
        OpenEnded(error);
        return;
    }
    try {
        FOpener->Begin(FComm->CommName(),
            [this](std::unique_ptr<TTransport> transport, const std::optional<ECommsError>& error) {
                TransportOpened(std::move(transport), error);
            });
    } catch (const ECommsError& e) {
        OpenEnded(e);
        return;
    }
    FPort = PortState::Opening;
    StateChanged();
}

void InstrumentSession::CancelOpen()
{
    if (FPort != PortState::Opening)
        return;
    FOpener->Cancel();
    FOpenedThen = {};
    FVirtual = {};
    FPort = FBeforeOpening;
    StateChanged();
}

void InstrumentSession::PreparePort(const QString& name, uint32_t baudRate)
{
    FComm->setCommName(name);
    FComm->setBaudRate(baudRate);
    const auto maker = FVirtualMakers.find(name);
    if (maker != FVirtualMakers.end()) {
        FVirtual = maker->second();
        FComm->setCommName(FVirtual.devicePath);
    }
}

void InstrumentSession::TransportOpened(
    std::unique_ptr<TTransport> transport, std::optional<ECommsError> error)
{
    if (transport) {
        try {
            FComm->StartComm(std::move(transport));
        } catch (const ECommsError& e) {
            error = e;
        } catch (const std::exception& e) {
            error = ECommsError(e.what());
        }
    }
    OpenEnded(error);
}

void InstrumentSession::OpenEnded(const std::optional<ECommsError>& error)
{
    const OpenedHandler then = std::exchange(FOpenedThen, {});
    if (error) {
        FVirtual = {};
        FPort = FBeforeOpening;
        StateChanged();
    } else {
        PortOpened(FOpeningName);
    }
    if (then)
        Guarded([&] { then(this, error); });
    if (auto handler = OnOpened)
        Guarded([&] { handler(this, error); });
}

void InstrumentSession::PortOpened(const QString& name)
{
    FPortName = name;
    FPort = PortState::Open;
    ++FConnection;
    FArmed[Index(Activity::Load)] = false;
    // Another instrument may be on the port now: its limits are read back afresh.
    FMaxima = {};
    FCounts = {};
    FToldKinds.clear();
    FSinceAnswer.start();
    FLastAnswerAt = QTime::currentTime();
    FSilent = false;
    StateChanged();
}

void InstrumentSession::Close()
{
    const bool wasOpen = FPort == PortState::Open;
    ReleasePort();
    if (wasOpen) {
        // The operator's own choice: the load input stays as the instrument holds it.
        const std::vector<CutShortRun> cut = EndRuns({ Activity::Battery, Activity::List });
        if (!cut.empty()) {
            if (auto handler = OnRunsCutShort)
                handler(this, cut);
        }
    }
    StateChanged();
}

bool InstrumentSession::Disconnect()
{
    if (FPort != PortState::Open || !InputMayBeOn()) {
        Close();
        return false;
    }
    StopPolling();
    FCloseAfterInputOff = true;
    // What waits behind the switch-off would go to an instrument being left.
    FPipeline.ReplaceQueue({});
    SwitchInput(false);
    // Should the port take nothing any more, it closes all the same, and says so.
    const int connection = FConnection;
    QTimer::singleShot(kPacingMs + 2000, this, [this, connection] {
        if (FConnection != connection || !FCloseAfterInputOff || FPort != PortState::Open)
            return;
        Guarded([this] {
            Report(QStringLiteral("The input may still be on: \"load off\" could not be sent before the port "
                                  "closed."));
            Disconnected(false);
        });
    });
    StateChanged();
    return true;
}

void InstrumentSession::ReleasePort()
{
    FOpener->Cancel();
    FOpenedThen = {};
    FComm->StopComm();
    FVirtual = {};
    ClearQueues();
    FPolling->stop();
    FPolling->setInterval(kIdlePollMs);
    FPort = PortState::Closed;
    FArmed[Index(Activity::Load)] = false;
    FCloseAfterInputOff = false;
    FInputOffLeaving = false;
    FReadBackRunning = false;
    if (FSilent) {
        FSilent = false;
        if (auto handler = OnSilence)
            handler(this, std::nullopt);
    }
}

void InstrumentSession::PortHungUp()
{
    // A hang-up that was already on its way when the port was closed (once another port has
    // opened, TComm drops it undelivered).
    if (FComm->Handle() == 0)
        return;
    ReleasePort();
    // Nothing can be known of the instrument any more: every run ends in the window.
    const std::vector<CutShortRun> cut = EndRuns({ Activity::Load, Activity::Battery, Activity::List });
    if (auto handler = OnPortLost)
        handler(this, FPortName);
    if (!cut.empty()) {
        if (auto handler = OnRunsCutShort)
            handler(this, cut);
    }
    StateChanged();
}
