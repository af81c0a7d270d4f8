#include "link/InstrumentSession.h"

#include "comm/PortOpener.h"
#include "link/Guarded.h"
#include "link/SessionShared.h"

#include <QThread>
#include <QTimer>
#include <algorithm>

using namespace SessionShared;

namespace {

// How long the instrument may leave awaited queries unanswered before the operator is told.
constexpr qint64 kSilenceMs = 3000;

} // namespace

InstrumentSession::InstrumentSession(QObject* parent)
    : QObject(parent)
    , Pause([](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); })
{
    setObjectName(QStringLiteral("Session"));
    FClock.start();
    FSinceWrite.start();
    FComm = new TComm(this);
    FComm->setObjectName(QStringLiteral("Comm1"));
    // The instrument's line: 8 data bits, no parity, one stop bit, no flow control, DTR
    // and RTS inactive; a reply ends after 100 ms of silence.
    FComm->setDtrControl(TDtrControl::DtrDisable);
    FComm->setRtsControl(TRtsControl::RtsDisable);
    FComm->setTxContinueOnXoff(false);
    FComm->setOutx_XonXoffFlow(false);
    FComm->setInx_XonXoffFlow(false);
    FComm->setReadIntervalTimeout(100);
    FOpener = new TPortOpener(this);
    FComm->OnReceiveData = [this](TComm*, const char* buffer, uint16_t length) {
        Guarded([&] { ReceiveChunk(buffer, length); });
    };
    FComm->OnRequestHangup = [this](TComm*) { Guarded([this] { PortHungUp(); }); };
    FComm->OnReceiveBacklog = [this](TComm*) {
        if (auto handler = OnFlooded)
            Guarded([&] { handler(this); });
    };
    FComm->OnSendDataEmpty = [this](TComm*) {
        // The report of an earlier line's leaving may come after "load off" was handed over.
        if (FInputOffLeaving && FComm->SendDataEmpty())
            Guarded([this] { InputOffLeft(); });
    };

    FPacing = new QTimer(this);
    FPacing->setObjectName(QStringLiteral("CoTimer"));
    FPacing->setInterval(kPacingMs);
    connect(FPacing, &QTimer::timeout, this, [this] { Guarded([this] { PacingTick(); }); });
    FPolling = new QTimer(this);
    FPolling->setObjectName(QStringLiteral("fetchTimer"));
    FPolling->setInterval(kIdlePollMs);
    connect(FPolling, &QTimer::timeout, this, [this] { Guarded([this] { PollTick(); }); });
    FDeadline = new QTimer(this);
    FDeadline->setObjectName(QStringLiteral("ReplyDeadline"));
    FDeadline->setSingleShot(true);
    FDeadline->setTimerType(Qt::PreciseTimer);
    connect(FDeadline, &QTimer::timeout, this, [this] {
        // Behind the chunks already received: an answer that came in time is read first.
        if (const auto& e = FPipeline.OnTheWire())
            QMetaObject::invokeMethod(
                this, [this, line = e->line] { Guarded([&] { DeadlinePassed(line); }); },
                Qt::QueuedConnection);
    });
    FPacing->start();
}

InstrumentSession::~InstrumentSession()
{
    // The port goes before the simulator it may be talking to; an open under way first.
    FOpener->Cancel();
    FComm->StopComm();
    FVirtual = {};
}

// ---- commands

void InstrumentSession::QueueCommand(const QString& text, ReplyCode code)
{
    FPipeline.QueueCommand(text, code);
}

void InstrumentSession::QueueCommands(const std::vector<Command>& commands)
{
    FPipeline.QueueCommands(commands);
}

void InstrumentSession::ReplaceQueue(const std::vector<Command>& commands)
{
    FPipeline.ReplaceQueue(commands);
}

void InstrumentSession::ClearQueues()
{
    FPipeline.Clear();
    FDeadline->stop();
}

void InstrumentSession::SwitchInput(bool on)
{
    if (on) {
        FPipeline.QueueInputOn();
        return;
    }
    FPipeline.QueueInputOff();
    // The load must stop: it does not wait for the next tick when the pacing allows.
    Pump(false);
}

bool InstrumentSession::InputOffOutstanding() const
{
    const auto& pending = FPipeline.Pending();
    return FInputOffLeaving
        || std::any_of(pending.begin(), pending.end(), [](const Command& c) { return c.text == kInputOff; });
}

int InstrumentSession::CrossingMs(qsizetype bytes) const
{
    // Ten bits a character, and a little for the driver and the adapter.
    return static_cast<int>(bytes * 10 * 1000 / std::max<uint32_t>(FComm->BaudRate(), 300)) + 20;
}

void InstrumentSession::PacingTick()
{
    WatchSilence();
    Pump(true);
}

void InstrumentSession::Pump(bool onTick)
{
    // Between ticks a line may go only when the pacing has run its interval since the last
    // one; a stopped pacing timer (tests) sends nothing by itself.
    if (!onTick && (!FPacing->isActive() || FSinceWrite.elapsed() < FPacing->interval()))
        return;
    const std::optional<Exchange> e = FPipeline.Next(Now(), Layout());
    if (!e)
        return;
    const QByteArray line = CommandPipeline::LineOf(*e);
    const bool written = FComm->WriteCommData(line.constData(), static_cast<uint16_t>(line.size()));
    FSinceWrite.start();
    if (!onTick)
        FPacing->start(); // the next tick a whole interval after this line
    Trace(TrafficRoute::Sent, e->command.code, QString::fromLatin1(line));
    if (e->command.text == kInputOff) {
        FInputOffLeaving = written;
        if (!written && FCloseAfterInputOff) {
            // Nothing goes out on this port any more.
            Report(
                QStringLiteral("The input may still be on: \"load off\" could not be written to the port."));
            Disconnected(false);
        }
    }
    Written(*e);
}

void InstrumentSession::InputOffLeft()
{
    FInputOffLeaving = false;
    if (!FCloseAfterInputOff)
        return;
    // Handed to the driver; the port closes once the line has crossed the wire.
    const int connection = FConnection;
    QTimer::singleShot(CrossingMs(kInputOff.size() + 1), this, [this, connection] {
        if (FConnection != connection || !FCloseAfterInputOff)
            return;
        Guarded([this] {
            FRuns[Index(Activity::Load)] = RunState::Idle;
            Disconnected(true);
        });
    });
}

void InstrumentSession::Disconnected(bool switchedOff)
{
    Close();
    if (auto handler = OnDisconnected)
        handler(this, switchedOff);
}

void InstrumentSession::Written(const Exchange& e)
{
    if (e.command.text == kInputOn) {
        for (qint64& from : FRunFrom) {
            if (from < 0)
                from = e.line;
        }
    }
    if (auto handler = OnLineWritten)
        handler(this, e.command.text);
    if (e.command.code == ReplyCode::None)
        return;
    FDeadline->start(FPipeline.ReplyTimeout());
    if (!IsReadBack(e.command.code))
        return;
    if (!std::exchange(FReadBackRunning, true)) {
        FReadBackMissing.clear();
        FReadBackAsked = 0;
    }
    ++FReadBackAsked;
    if (auto handler = OnReadBackProgress) {
        const auto& pending = FPipeline.Pending();
        const auto left = std::count_if(
            pending.begin(), pending.end(), [](const Command& c) { return IsReadBack(c.code); });
        handler(this, FReadBackAsked, FReadBackAsked + static_cast<int>(left), false);
    }
}

MeasurementLayout InstrumentSession::Layout() const
{
    switch (FMode) {
    case TestMode::Battery:
        return MeasurementLayout::Battery;
    case TestMode::List:
        return MeasurementLayout::List;
    case TestMode::Normal:
        break;
    }
    return MeasurementLayout::Main;
}

void InstrumentSession::DeadlinePassed(qint64 line)
{
    const std::optional<Exchange> e = FPipeline.GiveUp(line, Now());
    if (!e)
        return;
    if (IsOptionalAnswer(e->command.code)) {
        // An instrument that does not know the question stays silent: nothing is wrong.
        Unread(*e);
        return;
    }
    ++FCounts.noAnswer;
    Trace(TrafficRoute::NoAnswer, e->command.code, e->command.text);
    Unanswered(*e);
    Trouble({ LinkTrouble::NoAnswer, e, QString(),
        QStringLiteral("No answer to %1 within %2 ms")
            .arg(Quoted(e->command.text))
            .arg(FPipeline.ReplyTimeout()) });
}

void InstrumentSession::Unanswered(const Exchange& e)
{
    ++FCounts.noAnswerInARow;
    ReadBackSettled();
    Unread(e);
}

void InstrumentSession::Unread(const Exchange& e)
{
    const ReplyCode code = e.command.code;
    if (IsReadBack(code))
        ReadBackMissing(code);
    if (code == ReplyCode::Identity) {
        if (auto handler = OnIdentity)
            handler(this, QString());
    }
    if (code == ReplyCode::Measurement) {
        for (const Activity a : { Activity::Load, Activity::Battery, Activity::List }) {
            if (CountsFor(a, e))
                ++FCounts.missedReadings;
        }
    }
}

void InstrumentSession::ReadBackSettled()
{
    const auto& pending = FPipeline.Pending();
    if (!FPipeline.OnTheWire()
        && std::none_of(pending.begin(), pending.end(), [](const Command& c) { return IsReadBack(c.code); })
        && std::exchange(FReadBackRunning, false)) {
        // Told once the reply that settled it has been read: a last field it could not
        // confirm is among the missing then.
        QMetaObject::invokeMethod(
            this,
            [this, asked = FReadBackAsked] {
                if (auto handler = OnReadBackProgress)
                    handler(this, asked, asked, true);
            },
            Qt::QueuedConnection);
    }
}

void InstrumentSession::ReadBackMissing(ReplyCode code)
{
    for (const QString& field : ReadBackFieldNames(code)) {
        if (!FReadBackMissing.contains(field))
            FReadBackMissing.append(field);
    }
    if (auto handler = OnReadBackIncomplete)
        handler(this, FReadBackMissing);
}

void InstrumentSession::Trouble(LinkEvent event)
{
    if (auto handler = OnLinkEvent)
        handler(this, event);
}

void InstrumentSession::Trace(TrafficRoute route, ReplyCode code, const QString& text)
{
    if (auto handler = OnTraffic)
        handler(this, { QTime::currentTime(), route, code, text });
}

void InstrumentSession::WatchSilence()
{
    // An answer awaited, and none for a while: say so once.
    // A question the instrument may leave unanswered says nothing of its silence.
    if (FPort != PortState::Open || !FPipeline.OnTheWire()
        || IsOptionalAnswer(FPipeline.OnTheWire()->command.code) || FSilent
        || FSinceAnswer.elapsed() < kSilenceMs)
        return;
    FSilent = true;
    if (auto handler = OnSilence)
        handler(this, FLastAnswerAt);
}

void InstrumentSession::PollTick()
{
    FPipeline.QueuePoll({ kPoll, ReplyCode::Measurement });
}

void InstrumentSession::StartPolling()
{
    FPolling->start();
}

void InstrumentSession::StopPolling()
{
    FPolling->stop();
}

void InstrumentSession::SetPollInterval(int ms)
{
    FPolling->setInterval(ms);
}

// ---- state changes and errors

void InstrumentSession::StateChanged()
{
    if (auto handler = OnStateChange)
        handler(this);
}

void InstrumentSession::Guarded(const std::function<void()>& work)
{
    RunReporting(work, [this](const QString& message) { Report(message); });
}

void InstrumentSession::Report(const QString& message)
{
    if (auto handler = OnError)
        handler(this, message);
}

void InstrumentSession::ReportOnce(const QString& kind, const QString& message)
{
    if (FToldKinds.contains(kind))
        return;
    FToldKinds.insert(kind);
    Report(message);
}
