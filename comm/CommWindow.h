#pragma once
// TCommWindow: the private receiver of TComm's worker messages. It lives on the owner's
// thread; workers post to it from anywhere, and its event() hands each message to
// TComm::PortWindowProc there. A handler's exception never reaches Qt's event loop.
#include <QObject>
#include <atomic>
#include <cstdint>
#include <memory>

class TComm;

class TCommWindow : public QObject
{
    Q_OBJECT
public:
    explicit TCommWindow(TComm* owner);
    ~TCommWindow() override;

    // Thread-safe while this object lives. Ownership of block passes with the message.
    void PostData(std::unique_ptr<char[]> block, uint16_t count);
    void PostError(uint32_t errorWord);
    void PostModem(uint32_t modemEvent);
    // The device is gone: the first report of a session is posted, later ones (the other
    // worker noticing the same loss) are dropped.
    void PostHangup();
    void PostSendEmpty();
    // A new open port: hang-up may be reported again. Called before any worker starts.
    void NewSession();

protected:
    bool event(QEvent* e) override;

private:
    void Post(class TPortEvent* e);

    TComm* const FOwner;
    // Bumped (release) after a worker has built an event and before it posts it; read
    // (acquire) before an event is looked at or discarded. Qt's own queue lock already
    // orders this, but ThreadSanitizer cannot see it, so this makes the order visible.
    std::atomic<uint64_t> FPublished { 0 };
    // Set by the first worker that posts a hang-up in the current session.
    std::atomic<bool> FHangupPosted { false };
};
