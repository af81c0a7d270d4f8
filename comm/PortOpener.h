#pragma once
// TPortOpener: opens a port on a thread of its own, so that a device server that never
// answers holds nobody. The name lookup, the TCP connect and the Telnet negotiation run on
// the worker; the open transport, or why there is none, comes back in one event posted to
// this object and is handed over on the thread this object lives on (the owner's), where
// TComm::StartComm(transport) starts the port.
//
// The worker owns nothing of its owner: it opens from a copy of the port text, watches a
// cancel signal of its own in every wait, and puts what it opened into its event, which
// owns it from then on, so an event never delivered (the open cancelled) closes it.
#include "comm/SerialComm.h"
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class TTransport;

class TPortOpener : public QObject
{
    Q_OBJECT
public:
    // The open transport, or null and the error StartComm would have thrown.
    using TOpened
        = std::function<void(std::unique_ptr<TTransport> transport, const std::optional<ECommsError>& error)>;

    explicit TPortOpener(QObject* parent = nullptr);
    ~TPortOpener() override; // cancels an open under way

    // Starts opening portText (see OpenTransport) and returns. done is called once, on this
    // object's thread and never from inside Begin, unless the open is cancelled first. An
    // open under way is cancelled first. Throws ECommsError when no worker can be started.
    void Begin(const QString& portText, TOpened done);
    // Ends the open under way, if any: the worker's waits end at once, the worker is joined
    // and whatever it opened is closed; done is not called. (A host name's lookup may go on
    // alone until the system returns it; it holds nothing of this object.)
    void Cancel();
    // Begun, and neither handed over nor cancelled yet.
    bool Busy() const { return FWorker.joinable(); }

protected:
    bool event(QEvent* e) override;

private:
    void EndWorker();

    std::thread FWorker;
    int FCancel = -1; // eventfd every wait of the worker watches; raised by Cancel
    TOpened FDone; // owner's thread only
};
