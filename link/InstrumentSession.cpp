#include "link/InstrumentSession.h"

#include "comm/PortOpener.h"
#include "comm/SerialComm.h"
#include "comm/Transport.h"
#include "link/Guarded.h"
#include "replies/Numbers.h"

#include <QThread>
#include <QTimer>
#include <algorithm>
#include <limits>
#include <stdexcept>

namespace {

constexpr int kPacingMs = 300;
// How long the instrument may leave awaited queries unanswered before the operator is told.
constexpr qint64 kSilenceMs = 3000;

const QString kPoll = QStringLiteral("fetch?");
// The line of a poll taken to have gone out after everything queued so far.
constexpr qint64 kAfterAll = std::numeric_limits<qint64>::max();

size_t Index(Activity activity)
{
    return static_cast<size_t>(activity);
}

// An answer that writes a setting into the window.
bool IsReadBack(ReplyCode code)
{
    return code != ReplyCode::None && code != ReplyCode::Measurement && code != ReplyCode::Verbatim
        && code != ReplyCode::Identity;
}

QString Quoted(const QString& command)
{
    return u'"' + command + u'"';
}

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

std::vector<CutShortRun> InstrumentSession::EndRuns(std::initializer_list<Activity> activities)
{
    std::vector<CutShortRun> cut;
    for (const Activity activity : activities) {
        if (FRuns[Index(activity)] != RunState::Running)
            continue;
        FRuns[Index(activity)] = RunState::Idle;
        if (activity != Activity::Load)
            cut.push_back({ activity, FRunReadings[Index(activity)] });
    }
    return cut;
}

void InstrumentSession::EndRun(Activity activity)
{
    // As "Stop" ends it: the input off, polling stopped at its usual pace.
    SwitchInput(false);
    FPolling->stop();
    FPolling->setInterval(kIdlePollMs);
    SetRun(activity, RunState::Idle);
}

// ---- state

RunState InstrumentSession::Run(Activity activity) const
{
    return FRuns[Index(activity)];
}

void InstrumentSession::SetRun(Activity activity, RunState state)
{
    if (FRuns[Index(activity)] == state)
        return;
    FRuns[Index(activity)] = state;
    if (state == RunState::Running) {
        const auto& pending = FPipeline.Pending();
        const bool inputOnPending = std::any_of(
            pending.begin(), pending.end(), [](const Command& c) { return c.text == kInputOn; });
        FRunFrom[Index(activity)] = inputOnPending ? -1 : FPipeline.LinesWritten();
        FRunReadings[Index(activity)] = 0;
        FToldKinds.clear();
        if (activity == Activity::Battery)
            FBattery = {};
    }
    StateChanged();
}

bool InstrumentSession::CountsFor(Activity activity, const Exchange& poll) const
{
    const qint64 from = FRunFrom[Index(activity)];
    return FRuns[Index(activity)] == RunState::Running
        && (from >= 0 ? poll.line > from : poll.line == kAfterAll);
}

bool InstrumentSession::InputMayBeOn() const
{
    return std::any_of(std::begin(FRuns), std::end(FRuns), [](RunState r) { return r == RunState::Running; });
}

bool InstrumentSession::Armed(Activity activity) const
{
    return FArmed[Index(activity)];
}

bool InstrumentSession::ArmedOnThisConnection(Activity activity) const
{
    return FArmed[Index(activity)] && FArmedOn[Index(activity)] == FConnection;
}

void InstrumentSession::SetArmed(Activity activity, bool armed)
{
    FArmedOn[Index(activity)] = FConnection;
    if (FArmed[Index(activity)] == armed)
        return;
    FArmed[Index(activity)] = armed;
    StateChanged();
}

void InstrumentSession::SetListPlan(int lastStep, bool repeat)
{
    FListLastStep = lastStep;
    FListRepeat = repeat;
}

void InstrumentSession::StateChanged()
{
    if (auto handler = OnStateChange)
        handler(this);
}

// ---- replies

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

void InstrumentSession::ReceiveChunk(const char* buffer, uint16_t length)
{
    HandleReply(ReplyTextFromChunk(buffer, length));
}

void InstrumentSession::HandleReply(const QString& reply)
{
    const Placed placed = FPipeline.Place(reply, Now());
    const auto code = placed.exchange ? placed.exchange->command.code : ReplyCode::None;
    switch (placed.placement) {
    case Placement::Answer:
    case Placement::Ignored:
        FDeadline->stop();
        FCounts.noAnswerInARow = 0;
        FSinceAnswer.start();
        FLastAnswerAt = QTime::currentTime();
        if (std::exchange(FSilent, false)) {
            if (auto handler = OnSilence)
                handler(this, std::nullopt);
        }
        ReadBackSettled();
        try {
            if (placed.placement == Placement::Ignored) {
                Trace(TrafficRoute::Ignored, code, reply);
                Unread(*placed.exchange);
            } else {
                Answered(*placed.exchange, reply);
            }
        } catch (...) {
            Pump(false);
            throw;
        }
        // A slow instrument's next line need not wait for the next tick.
        Pump(false);
        return;
    case Placement::Late:
        ++FCounts.late;
        Trace(TrafficRoute::Late, code, reply);
        Trouble({ LinkTrouble::Late, placed.exchange, reply,
            QStringLiteral("The late answer %1 to %2 was dropped")
                .arg(QuotedReply(reply), Quoted(placed.exchange->command.text)) });
        return;
    case Placement::Misshapen:
        FDeadline->stop();
        Misshapen(*placed.exchange, reply);
        Unanswered(*placed.exchange);
        return;
    case Placement::Unasked: {
        ++FCounts.unasked;
        Trace(TrafficRoute::Unsolicited, ReplyCode::None, reply);
        const QString message
            = QStringLiteral("A reply arrived while no answer was awaited: ") + QuotedReply(reply);
        Trouble({ LinkTrouble::Unasked, std::nullopt, reply, message });
        ReportOnce(QStringLiteral("unasked"), message);
        return;
    }
    }
}

void InstrumentSession::Misshapen(const Exchange& e, const QString& reply)
{
    const ReplyCode code = e.command.code;
    ++FCounts.misshapen;
    Trace(TrafficRoute::Misshapen, code, reply);
    // A reading says best what it lacks.
    QString why;
    if (code == ReplyCode::Measurement) {
        try {
            if (e.layout == MeasurementLayout::Battery)
                CutBatteryReading(reply);
            else if (e.layout == MeasurementLayout::Main)
                CutMainReading(reply);
            else
                CutStepReading(reply);
        } catch (const EBadReading& bad) {
            why = QString::fromStdString(bad.what());
        }
    }
    if (why.isEmpty())
        why = QStringLiteral("The reply %1 to %2 is not %3.")
                  .arg(QuotedReply(reply), Quoted(e.command.text), ExpectedShape(code, e.layout));
    Trouble({ LinkTrouble::Misshapen, e, reply, why });
    ReportOnce(QStringLiteral("misshapen %1 %2").arg(CodeNumber(code)).arg(static_cast<int>(e.layout)), why);
}

void InstrumentSession::Answered(const Exchange& e, const QString& reply)
{
    const ReplyCode code = e.command.code;
    if (code == ReplyCode::Verbatim) {
        Trace(TrafficRoute::Verbatim, code, reply);
        if (auto handler = OnVerbatimReply)
            handler(this, reply);
        return;
    }
    if (code == ReplyCode::Identity) {
        Trace(TrafficRoute::Verbatim, code, reply);
        QString identity = reply;
        while (identity.endsWith(u'\r') || identity.endsWith(u'\n'))
            identity.chop(1);
        if (auto handler = OnIdentity)
            handler(this, identity);
        return;
    }
    Trace(code == ReplyCode::Measurement ? TrafficRoute::Reading : TrafficRoute::ReadBack, code, reply);
    if (code == ReplyCode::Measurement)
        MeasurementArrived(e, reply);
    else
        ApplyReadBack(code, reply);
}

void InstrumentSession::ApplyReadBack(ReplyCode code, const QString& reply)
{
    const ReadBackResult result = ReadBack(code, reply);
    if (result.texts.empty() && result.select.isEmpty())
        return;
    if (auto handler = OnReadBack)
        handler(this, result);
    // The field shows the characters first; a maximum that is no number stays unknown.
    std::optional<double>* maximum = nullptr;
    switch (result.maximum) {
    case StoredMaximum::Current:
        maximum = &FMaxima.current;
        break;
    case StoredMaximum::Voltage:
        maximum = &FMaxima.voltage;
        break;
    case StoredMaximum::Power:
        maximum = &FMaxima.power;
        break;
    case StoredMaximum::None:
        return;
    }
    // The shape has made sure the reply begins with the limit's number; its unit follows.
    const qsizetype end = std::find_if(reply.begin(), reply.end(), [](QChar c) {
        return c != u'.' && !c.isDigit();
    }) - reply.begin();
    *maximum = StrToFloat(reply.left(end));
}

void InstrumentSession::HandleMeasurement(const QString& reply)
{
    const Exchange poll { { kPoll, ReplyCode::Measurement }, kAfterAll, Now(), Layout() };
    if (FitsShape(ReplyCode::Measurement, poll.layout, reply))
        MeasurementArrived(poll, reply);
    else
        Misshapen(poll, reply);
}

void InstrumentSession::MeasurementArrived(const Exchange& poll, const QString& reply)
{
    // The instrument answers "fetch?" in the layout of the mode it was put in; a reading
    // counts only for the run whose "load on" went out before its poll.
    switch (poll.layout) {
    case MeasurementLayout::Main: {
        if (!CountsFor(Activity::Load, poll))
            return;
        const MainReading reading = CutMainReading(reply);
        ++FRunReadings[Index(Activity::Load)];
        if (auto handler = OnMainReading)
            handler(this, reading, PowerText(reading));
        return;
    }
    case MeasurementLayout::Battery:
        // The layout's initial "Start" lets readings through as a running test does.
        if (CountsFor(Activity::Battery, poll) || Run(Activity::Battery) == RunState::Initial)
            BatteryReadingArrived(reply);
        return;
    case MeasurementLayout::List:
        if (CountsFor(Activity::List, poll))
            ListReplyArrived(reply);
        return;
    }
}

void InstrumentSession::BatteryReadingArrived(const QString& reply)
{
    const BatteryReading reading = CutBatteryReading(reply);
    ++FRunReadings[Index(Activity::Battery)];
    if (auto handler = OnBatteryReading)
        handler(this, reading);
    const std::optional<BatterySummary> end = FBattery.Add(reading);
    if (!end || Run(Activity::Battery) != RunState::Running)
        return;
    EndRun(Activity::Battery);
    if (auto handler = OnBatteryEnd)
        handler(this, *end);
}

void InstrumentSession::ListReplyArrived(const QString& reply)
{
    const QStringView kind = QStringView(reply).left(2);
    if (kind == u"L2") {
        const StepReading reading = CutStepReading(reply);
        if (reading.stepIndex < 0 || reading.stepIndex >= kReadBackSteps)
            throw std::out_of_range("The instrument reported list step " + reading.step.toStdString()
                + "; the steps are 0 to 14.");
        if (auto handler = OnStepReading)
            handler(this, reading);
        return;
    }
    if (kind != u"L3")
        return; // between passes, or no run: nothing to say
    const ListReport report = ReadListReport(reply, std::clamp(FListLastStep, 0, kReadBackSteps - 1) + 1);
    FRunReadings[Index(Activity::List)] += static_cast<int>(report.stepVerdicts.size());
    if (!report.fault.isEmpty() || !FListRepeat)
        EndRun(Activity::List);
    if (auto handler = OnListReport)
        handler(this, report);
    if (!report.fault.isEmpty())
        throw std::runtime_error(report.fault.toStdString());
}
