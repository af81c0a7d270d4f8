#include "publish/LivePublisher.h"

#include "publish/MosquittoLibrary.h"

#include <QMetaObject>
#include <algorithm>
#include <chrono>
#include <mutex>

namespace {

// A station whose socket stays open but silent (a pulled network cable) is declared gone by
// the broker after one and a half of these.
constexpr int kKeepAliveSeconds = 15;
// Reconnecting: one second after a loss, then doubling up to this, so a broker that comes
// back is found within seconds without a tight loop while it is down.
constexpr unsigned kReconnectFirstSeconds = 1;
constexpr unsigned kReconnectLongestSeconds = 4;
// A connect that gets no answer at all within this counts as a broker that cannot be reached.
constexpr int kConnectAnswerMs = 3000;
const char* const kCertificates = "/etc/ssl/certs";

} // namespace

LivePublisher::LivePublisher(PublishLocation location, QString station, QString password, QObject* parent)
    : QObject(parent)
    , FLocation(std::move(location))
    , FStation(std::move(station))
    , FPassword(std::move(password))
    , FUrl(PublishUrlText(FLocation))
{
    FConnectWatch.setSingleShot(true);
    connect(&FConnectWatch, &QTimer::timeout, this, [this] {
        if (FState == State::Connecting)
            SetState(State::Unreachable, {});
    });
    FFirstConnect.setSingleShot(true);
    connect(&FFirstConnect, &QTimer::timeout, this, [this] { TryFirstConnect(); });
}

LivePublisher::~LivePublisher()
{
    Finish(0);
}

QString LivePublisher::Topic(const QString& leaf) const
{
    return FLocation.prefix + u'/' + FStation + u'/' + leaf;
}

void LivePublisher::Start()
{
    const MosquittoCalls& mq = Mosquitto(); // throws when the library cannot be loaded
    // A random client id and a clean session: two programs of one station never push each
    // other off the broker, and nothing is left subscribed behind.
    FClient = mq.mosquitto_new(nullptr, true, this);
    if (!FClient)
        throw EPublishSetup(QStringLiteral("cannot make an MQTT client"));
    mq.mosquitto_connect_callback_set(FClient, &LivePublisher::OnConnect);
    mq.mosquitto_disconnect_callback_set(FClient, &LivePublisher::OnDisconnect);
    mq.mosquitto_publish_callback_set(FClient, &LivePublisher::OnPublish);
    mq.mosquitto_reconnect_delay_set(FClient, kReconnectFirstSeconds, kReconnectLongestSeconds, true);
    const QByteArray status = Topic(QStringLiteral("status")).toUtf8();
    mq.mosquitto_will_set(FClient, status.constData(), 7, "offline", 1, true);
    if (!FLocation.user.isEmpty()) {
        const QByteArray user = FLocation.user.toUtf8();
        const QByteArray password = FPassword.toUtf8();
        mq.mosquitto_username_pw_set(
            FClient, user.constData(), FPassword.isEmpty() ? nullptr : password.constData());
    }
    if (FLocation.tls) {
        if (const int rc = mq.mosquitto_tls_set(FClient, nullptr, kCertificates, nullptr, nullptr, nullptr);
            rc != MOSQ_ERR_SUCCESS)
            throw EPublishSetup(
                QStringLiteral("Publishing to %1: TLS cannot be set up with the certificates in "
                               "%2: %3")
                    .arg(FUrl, QLatin1String(kCertificates), QString::fromUtf8(mq.mosquitto_strerror(rc))));
    }
    FRetryMs = kReconnectFirstSeconds * 1000;
    TryFirstConnect();
}

// A connect refused at once (nothing listens on the port, the name cannot be looked up) leaves
// libmosquitto with nothing its network thread would retry: until one has begun, the tries
// are this thread's, paced like the thread's own. The connect itself does not block.
void LivePublisher::TryFirstConnect()
{
    const QByteArray host = FLocation.host.toUtf8();
    if (Mosquitto().mosquitto_connect_async(FClient, host.constData(), FLocation.port, kKeepAliveSeconds)
        != MOSQ_ERR_SUCCESS) {
        SetState(State::Unreachable, {});
        FFirstConnect.start(FRetryMs);
        FRetryMs = std::min(2 * FRetryMs, static_cast<int>(kReconnectLongestSeconds * 1000));
        return;
    }
    if (const int rc = Mosquitto().mosquitto_loop_start(FClient); rc != MOSQ_ERR_SUCCESS)
        throw EPublishSetup(QStringLiteral("Publishing to %1: the network thread cannot start: %2")
                                .arg(FUrl, QString::fromUtf8(Mosquitto().mosquitto_strerror(rc))));
    FLoopRunning = true;
    if (FState == State::Connecting)
        FConnectWatch.start(kConnectAnswerMs);
}

void LivePublisher::PublishReading(const QByteArray& message)
{
    if (!FClient || FFinished || !FConnected) {
        ++FReadingsNotPublished;
        return;
    }
    const QByteArray topic = Topic(QStringLiteral("reading")).toUtf8();
    if (Mosquitto().mosquitto_publish(FClient, nullptr, topic.constData(), static_cast<int>(message.size()),
            message.constData(), 0, false)
        != MOSQ_ERR_SUCCESS)
        ++FReadingsNotPublished;
}

void LivePublisher::PublishRun(const QByteArray& message)
{
    if (!FClient || FFinished)
        return;
    Send(Topic(QStringLiteral("run")), message, 1, false, true);
}

void LivePublisher::Send(const QString& topic, const QByteArray& payload, int qos, bool retain, bool isRun)
{
    const QByteArray name = topic.toUtf8();
    std::lock_guard lock(FLock);
    int mid = 0;
    const int rc = Mosquitto().mosquitto_publish(
        FClient, &mid, name.constData(), static_cast<int>(payload.size()), payload.constData(), qos, retain);
    // Without a connection a QoS 1 message is queued all the same (MOSQ_ERR_NO_CONN): it is
    // sent when the connection is back.
    if (qos > 0 && (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN))
        FUnacked.emplace(mid, isRun);
}

int LivePublisher::Finish(int boundMs)
{
    if (!FClient || FFinished)
        return 0;
    FFinished = true;
    FFinishing = true;
    FConnectWatch.stop();
    FFirstConnect.stop();
    if (FConnected)
        Send(Topic(QStringLiteral("status")), "offline", 1, true, false);
    int runsLeft = 0;
    {
        std::unique_lock lock(FLock);
        FAcked.wait_for(lock, std::chrono::milliseconds(boundMs), [this] { return FUnacked.empty(); });
        for (const auto& [mid, isRun] : FUnacked)
            runsLeft += isRun ? 1 : 0;
    }
    // A disconnect the client asks for is clean: the broker drops the last will.
    Mosquitto().mosquitto_disconnect(FClient);
    if (FLoopRunning)
        Mosquitto().mosquitto_loop_stop(FClient, false);
    Mosquitto().mosquitto_destroy(FClient);
    FClient = nullptr;
    FConnected = false;
    return runsLeft;
}

void LivePublisher::SetState(State state, const QString& refusal)
{
    if (FFinished)
        return;
    // A refused connect is followed by its disconnect: the refusal is the news.
    if (state == State::Unreachable && FState == State::Unreachable && refusal.isEmpty())
        return;
    if (state == State::Publishing)
        FConnectWatch.stop();
    FState = state;
    QString message = QStringLiteral("Publishing to ") + FUrl;
    if (state == State::Unreachable) {
        FWasUnreachable = true;
        message += refusal.isEmpty()
            ? QStringLiteral(": the broker cannot be reached")
            : QStringLiteral(": the broker refused the connection (%1)").arg(refusal);
        message += QStringLiteral("; readings are stored and not published until it is back");
    } else if (state == State::Publishing && std::exchange(FWasUnreachable, false)) {
        message += QStringLiteral(": publishing again");
    }
    if (message == FToldMessage)
        return;
    FToldMessage = message;
    emit StateChanged(state, message);
}

// ---- the network thread

void LivePublisher::OnConnect(mosquitto* client, void* self, int rc)
{
    auto* publisher = static_cast<LivePublisher*>(self);
    if (rc != 0) {
        const QString refusal = QString::fromUtf8(Mosquitto().mosquitto_connack_string(rc));
        Post(publisher, State::Unreachable, refusal);
        return;
    }
    publisher->FConnected = true;
    // A connect that comes while the owner is saying goodbye announces the goodbye.
    const bool leaving = publisher->FFinishing;
    const QByteArray status = publisher->Topic(QStringLiteral("status")).toUtf8();
    if (leaving)
        publisher->Send(publisher->Topic(QStringLiteral("status")), "offline", 1, true, false);
    else
        Mosquitto().mosquitto_publish(client, nullptr, status.constData(), 6, "online", 1, true);
    Post(publisher, State::Publishing);
}

void LivePublisher::Post(LivePublisher* publisher, State state, const QString& refusal)
{
    QMetaObject::invokeMethod(publisher, "StateFromNetwork", Qt::QueuedConnection,
        Q_ARG(int, static_cast<int>(state)), Q_ARG(QString, refusal));
}

void LivePublisher::StateFromNetwork(int state, const QString& refusal)
{
    SetState(static_cast<State>(state), refusal);
}

void LivePublisher::OnDisconnect(mosquitto*, void* self, int)
{
    auto* publisher = static_cast<LivePublisher*>(self);
    publisher->FConnected = false;
    if (publisher->FFinishing)
        return;
    Post(publisher, State::Unreachable);
}

void LivePublisher::OnPublish(mosquitto*, void* self, int mid)
{
    auto* publisher = static_cast<LivePublisher*>(self);
    std::lock_guard lock(publisher->FLock);
    if (publisher->FUnacked.erase(mid) > 0 && publisher->FUnacked.empty())
        publisher->FAcked.notify_all();
}
