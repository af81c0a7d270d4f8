#pragma once
// TCommWindow: the private receiver of TComm's worker messages. It lives on the owner's
// thread; workers post to it from anywhere, and its event() hands each message to
// TComm::PortWindowProc there, in the order they were posted. A handler's exception never
// reaches Qt's event loop.
//
// Each message carries the open of the port that posted it. What a port posted before it
// was stopped is still delivered while the port stays closed, but never once another port
// has been opened: a hang-up of the port that was closed must not close the new one, and
// what it read is no reply of the new one.
//
// It also keeps the receive thread from running away from its owner: at most
// kMaxChunksInFlight received chunks are posted and not yet taken; beyond that the receive
// thread waits, which leaves the bytes to the driver's queue and the line's flow control.
#include <QObject>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class TComm;
class TPortEvent;
struct TReceivedChunks;

class TCommWindow : public QObject
{
    Q_OBJECT
public:
    // 64 chunks are 128 KiB at most, and one pass of the owner's event loop over them stays
    // short enough for its timers; yet at any real baud rate they are seconds of data, so a
    // program that reads at all never meets the limit.
    static constexpr uint32_t kMaxChunksInFlight = 64;

    explicit TCommWindow(TComm* owner);
    ~TCommWindow() override;

    // Thread-safe while this object lives. Ownership of the chunks passes with the message.
    void PostData(TReceivedChunks chunks);
    void PostError(uint32_t errorWord);
    void PostModem(uint32_t modemEvent);
    // The device is gone: the first report of a session is posted, later ones (the other
    // worker noticing the same loss) are dropped.
    void PostHangup();
    void PostSendEmpty();
    // The receive thread has met kMaxChunksInFlight.
    void PostBacklog();

    // The receive thread's side of the limit: whether count more chunks may be posted now,
    // and the request to raise RoomSignal() once the owner has taken enough of them. Asking
    // before the last look at HasRoomFor means a wake-up cannot be missed.
    bool HasRoomFor(std::size_t count) const;
    void WantRoom();
    int RoomSignal() const { return FRoomSignal; }
    // Chunks posted and not yet handed to OnReceiveData.
    uint32_t ChunksInFlight() const { return FChunksInFlight.load(); }

    // A new open port: hang-up may be reported again, messages of the ports before it are
    // dropped undelivered, and the room signal is made. False, with errno telling why, when
    // it cannot be. Called before any worker starts.
    bool NewSession();
    // The port is closed and its workers have ended: the room signal goes.
    void EndSession();

protected:
    bool event(QEvent* e) override;

private:
    void Post(TPortEvent* e);
    void DeliverNext(TPortEvent* e);
    void ChunkTaken();

    TComm* const FOwner;
    // Bumped (release) after a worker has built an event and before it posts it; read
    // (acquire) before an event is looked at or discarded. Qt's own queue lock already
    // orders this, but ThreadSanitizer cannot see it, so this makes the order visible.
    std::atomic<uint64_t> FPublished { 0 };
    // The open the workers post for: raised by the owner's thread in NewSession, before the
    // workers start; read by them as they post, and by the owner's thread as it delivers.
    std::atomic<uint64_t> FGeneration { 0 };
    // Set by the first worker that posts a hang-up in the current session.
    std::atomic<bool> FHangupPosted { false };
    // Chunks posted and not yet taken: raised by the receive thread before it posts, lowered
    // by the owner's thread as each chunk goes to the handler.
    std::atomic<uint32_t> FChunksInFlight { 0 };
    // Set by the receive thread when it waits for room, cleared by the owner's thread when it
    // raises FRoomSignal. Both sides use sequentially consistent order with FChunksInFlight, so
    // either the waiter sees the room or the owner sees the waiter.
    std::atomic<bool> FRoomWanted { false };
    int FRoomSignal = -1; // eventfd of the open port's session; owner's thread only
    // Messages whose delivery has begun, oldest first; owner's thread only. A handler that
    // runs a nested event loop lets newer messages in, and they wait here behind what is
    // left of the older ones.
    std::vector<TPortEvent*> FDelivering;
};
