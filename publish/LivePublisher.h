#pragma once
// Live readings for the lab: a station's readings, run starts and ends and its presence,
// published to an MQTT broker (docs/live-readings.md). Topics, under the address's prefix:
//   PREFIX/STATION/reading   one JSON message per reading, QoS 0
//   PREFIX/STATION/run       a run's start and end, QoS 1
//   PREFIX/STATION/status    "online" / "offline", retained; "offline" is also the broker's
//                            last will, for a station that vanishes without a word
//
// The network belongs to libmosquitto's own thread (connecting, reconnecting, sending), so a
// broker that is slow, down or gone never holds up the owner: a reading is handed over or
// counted as not published, at once. Readings are live values: those taken while the broker
// cannot be reached are not kept for later. Run messages are: libmosquitto keeps them and
// sends them once the broker is back. What the network thread reports reaches the owner's
// thread as queued calls; StateChanged is emitted there, once per change.
#include "publish/PublishUrl.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>

struct mosquitto;

class LivePublisher : public QObject
{
    Q_OBJECT
public:
    enum class State {
        Connecting, // started, no answer from the broker yet
        Publishing,
        Unreachable, // not connected (or refused); libmosquitto keeps trying
    };
    Q_ENUM(State)

    // `station` must be a topic level (IsTopicLevel); `password` may be empty.
    LivePublisher(PublishLocation location, QString station, QString password, QObject* parent = nullptr);
    // Finishes with no wait when Finish was not called.
    ~LivePublisher() override;
    LivePublisher(const LivePublisher&) = delete;
    LivePublisher& operator=(const LivePublisher&) = delete;

    // Starts connecting in the background. Throws EPublishSetup when libmosquitto refuses the
    // set-up (no TLS support, an unusable certificate store).
    void Start();

    // A reading's message, QoS 0. Not sent (and counted) while the broker is away.
    void PublishReading(const QByteArray& message);
    // A run's start or end, QoS 1: kept while the broker is away and sent once it is back.
    void PublishRun(const QByteArray& message);

    // A clean goodbye: publishes "offline" (retained) when connected, waits at most `boundMs`
    // for the broker to take it and every run message, then disconnects and stops the network
    // thread. Returns how many run messages the broker has not taken. Once only.
    int Finish(int boundMs);

    State CurrentState() const { return FState; }
    // The broker and prefix as messages show them (never the user or password).
    QString Url() const { return FUrl; }
    QString Topic(const QString& leaf) const;
    // Readings not handed to the broker because it could not be reached.
    int ReadingsNotPublished() const { return FReadingsNotPublished; }

signals:
    // The operator's line for the change: "Publishing to mqtt://host:1883/lab: the broker cannot
    // be reached; readings are stored and not published until it is back", "…: publishing again".
    void StateChanged(LivePublisher::State state, const QString& message);

private:
    // libmosquitto's callbacks, on its network thread.
    static void OnConnect(mosquitto* client, void* self, int rc);
    static void OnDisconnect(mosquitto* client, void* self, int rc);
    static void OnPublish(mosquitto* client, void* self, int mid);

    // Publishes and, for QoS 1, remembers the message until the broker acknowledges it.
    void Send(const QString& topic, const QByteArray& payload, int qos, bool retain, bool isRun);
    void SetState(State state, const QString& refusal); // the owner's thread
    // What the network thread posts to the owner's. Called by name, so the queued call is made
    // and freed inside Qt, whose locks the thread sanitizer sees through its suppressions.
    Q_INVOKABLE void StateFromNetwork(int state, const QString& refusal);
    static void Post(LivePublisher* publisher, State state, const QString& refusal = {});
    void TryFirstConnect();

    const PublishLocation FLocation;
    const QString FStation;
    const QString FPassword;
    const QString FUrl;
    mosquitto* FClient = nullptr;
    bool FFinished = false;
    State FState = State::Connecting;
    bool FWasUnreachable = false; // since the last time publishing went
    QString FToldMessage; // the last StateChanged message
    QTimer FConnectWatch; // a broker that does not answer a connect at all is unreachable too
    QTimer FFirstConnect; // the next try while no connect has begun
    int FRetryMs = 0;
    bool FLoopRunning = false; // libmosquitto's network thread runs
    int FReadingsNotPublished = 0;

    // Set by the network thread between the broker's accepting a connect and the loss of
    // the connection; read by the owner to skip readings that cannot go.
    std::atomic<bool> FConnected { false };
    // Set by the owner in Finish: a connect from now on announces "offline", and a lost
    // connection is no news.
    std::atomic<bool> FFinishing { false };
    // Guards FUnacked, written by the owner as it publishes and by the network thread as the
    // broker acknowledges; FAcked wakes Finish. The owner holds it across mosquitto_publish,
    // so an acknowledgement cannot come before its message id is known. With the network
    // thread running, mosquitto_publish never calls back on the caller's thread.
    std::mutex FLock;
    std::condition_variable FAcked;
    std::map<int, bool> FUnacked; // QoS 1 message id -> whether it is a run message
};
