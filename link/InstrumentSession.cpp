#include "link/InstrumentSession.h"

#include "comm/SerialComm.h"
#include "link/Guarded.h"
#include "replies/Numbers.h"
#include "replies/TextCuts.h"

#include <QThread>
#include <QTimer>
#include <algorithm>
#include <stdexcept>

namespace {

constexpr int kPacingMs = 300;
// How long the instrument may leave awaited queries unanswered before the operator is told.
constexpr qint64 kSilenceMs = 3000;
// Readings with no current at one time that tell the instrument has ended a discharge.
constexpr int kIdleReadingsAtEnd = 3;

const QStringList kInputSwitches { QStringLiteral("load on"), QStringLiteral("load off") };
const QString kPoll = QStringLiteral("fetch?");

size_t Index(Activity activity)
{
    return static_cast<size_t>(activity);
}

// An answer that writes a setting into the window.
bool IsReadBack(ReplyCode code)
{
    return code != ReplyCode::None && code != ReplyCode::Measurement && code != ReplyCode::Verbatim;
}

} // namespace

InstrumentSession::InstrumentSession(QObject* parent)
    : QObject(parent)
    , Pause([](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); })
{
    setObjectName(QStringLiteral("Session"));
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
    FComm->OnReceiveData = [this](TComm*, const char* buffer, uint16_t length) {
        Guarded([&] { ReceiveChunk(buffer, length); });
    };
    FComm->OnRequestHangup = [this](TComm*) { Guarded([this] { PortHungUp(); }); };
    FComm->OnReceiveBacklog = [this](TComm*) {
        if (auto handler = OnFlooded)
            Guarded([&] { handler(this); });
    };

    FPacing = new QTimer(this);
    FPacing->setObjectName(QStringLiteral("CoTimer"));
    FPacing->setInterval(kPacingMs);
    connect(FPacing, &QTimer::timeout, this, [this] { Guarded([this] { PacingTick(); }); });
    FPolling = new QTimer(this);
    FPolling->setObjectName(QStringLiteral("fetchTimer"));
    FPolling->setInterval(kIdlePollMs);
    connect(FPolling, &QTimer::timeout, this, [this] { Guarded([this] { PollTick(); }); });
    FPacing->start();
}

InstrumentSession::~InstrumentSession()
{
    // The port goes before the simulator it may be talking to.
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

void InstrumentSession::QueueSuperseding(const Command& command, const QStringList& texts)
{
    FPipeline.QueueSuperseding(command, texts);
}

void InstrumentSession::ClearQueues()
{
    FPipeline.Clear();
}

void InstrumentSession::SwitchInput(bool on)
{
    QStringList superseded = kInputSwitches;
    if (on)
        superseded.append(kPoll);
    FPipeline.QueueSuperseding({ kInputSwitches[on ? 0 : 1] }, superseded);
}

void InstrumentSession::PacingTick()
{
    WatchSilence();
    // Answers that have not come by now: their fields keep their text, and a late answer
    // that comes yet is expected, not news.
    std::vector<ReplyCode> outstanding;
    for (const AwaitedAnswer& late : FPipeline.Awaited()) {
        outstanding.push_back(late.code);
        if (IsReadBack(late.code))
            Unconfirmed();
    }
    // No second reply came: the one held cannot be told from the late answer, and the
    // answer it may not have been may still come.
    if (FHeld) {
        outstanding.push_back(FHeld->first);
        if (IsReadBack(FHeld->first))
            Unconfirmed();
        FHeld.reset();
    }
    FLateAnswers = static_cast<int>(outstanding.size());
    FTailMayFollow = false;
    // A read-back that has no query left is over; the next one counts afresh.
    if (std::none_of(FPipeline.Pending().begin(), FPipeline.Pending().end(),
            [](const Command& c) { return IsReadBack(c.code); }))
        FUnconfirmed = 0;
    if (const auto line = FPipeline.Tick(outstanding)) {
        FComm->WriteCommData(line->constData(), static_cast<uint16_t>(line->size()));
        if (OnTraffic)
            Trace(TrafficRoute::Sent,
                FPipeline.Awaited().empty() ? ReplyCode::None : FPipeline.Awaited().back().code,
                QString::fromLatin1(*line));
    }
}

void InstrumentSession::Trace(TrafficRoute route, ReplyCode code, const QString& text)
{
    if (auto handler = OnTraffic)
        handler(this, { QTime::currentTime(), route, code, text });
}

void InstrumentSession::Unconfirmed()
{
    ++FUnconfirmed;
    if (auto handler = OnReadBackIncomplete)
        handler(this, FUnconfirmed);
}

void InstrumentSession::WatchSilence()
{
    // Answers awaited and not come by this tick, and none for a while: say so once.
    if (FPort != PortState::Open || FPipeline.Awaited().empty() || FSilent
        || FSinceReply.elapsed() < kSilenceMs)
        return;
    FSilent = true;
    if (auto handler = OnSilence)
        handler(this, FLastReplyAt);
}

void InstrumentSession::PollTick()
{
    FPipeline.QueueCommand(kPoll, ReplyCode::Measurement);
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
    FComm->setCommName(name);
    FComm->setBaudRate(baudRate);
    const auto maker = FVirtualMakers.find(name);
    if (maker != FVirtualMakers.end()) {
        FVirtual = maker->second();
        FComm->setCommName(FVirtual.devicePath);
    }
    try {
        FComm->StartComm();
    } catch (...) {
        FVirtual = {};
        throw;
    }
    FPortName = name;
    FPort = PortState::Open;
    ++FConnection;
    FArmed[Index(Activity::Load)] = false;
    FSinceReply.start();
    FLastReplyAt = QTime::currentTime();
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

void InstrumentSession::ReleasePort()
{
    FComm->StopComm();
    FVirtual = {};
    FPipeline.Clear();
    FPolling->stop();
    FPolling->setInterval(kIdlePollMs);
    FPort = PortState::Closed;
    FArmed[Index(Activity::Load)] = false;
    FHeld.reset();
    FTailMayFollow = false;
    FLateAnswers = 0;
    if (FSilent) {
        FSilent = false;
        if (auto handler = OnSilence)
            handler(this, std::nullopt);
    }
}

void InstrumentSession::PortHungUp()
{
    // A hang-up that was already on its way when the port was closed.
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
    if (state == RunState::Running)
        RunStarted(activity);
    StateChanged();
}

void InstrumentSession::RunStarted(Activity activity)
{
    FRunReadings[Index(activity)] = 0;
    if (activity == Activity::Battery)
        FBattery = {};
    if (activity == Activity::List) {
        FListAwaitsStep = true;
        FListShortReported = false;
    }
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

void InstrumentSession::ReceiveChunk(const char* buffer, uint16_t length)
{
    HandleReply(ReplyTextFromChunk(buffer, length));
}

void InstrumentSession::HandleReply(const QString& reply)
{
    FSinceReply.start();
    FLastReplyAt = QTime::currentTime();
    if (FSilent) {
        FSilent = false;
        if (auto handler = OnSilence)
            handler(this, std::nullopt);
    }
    const std::optional<AwaitedAnswer> answer = FPipeline.TakeReplyCode();
    if (!answer) {
        if (FHeld) {
            // Two replies to one query: the first was the late answer to the query before.
            const ReplyCode code = FHeld->first;
            FHeld.reset();
            Answered({ code, false }, reply);
            return;
        }
        if (std::exchange(FTailMayFollow, false)) {
            Trace(TrafficRoute::CutTail, ReplyCode::None, reply); // already reported
            return;
        }
        if (FLateAnswers > 0) {
            --FLateAnswers; // the late answer to a query given up at the last tick
            Trace(TrafficRoute::Late, ReplyCode::None, reply);
            return;
        }
        Trace(TrafficRoute::Unsolicited, ReplyCode::None, reply);
        throw std::runtime_error(
            "A reply arrived while no answer was awaited: " + QuotedReply(reply).toStdString());
    }
    Answered(*answer, reply);
}

void InstrumentSession::Answered(const AwaitedAnswer& answer, const QString& reply)
{
    if (answer.code == ReplyCode::Verbatim) {
        Trace(TrafficRoute::Verbatim, answer.code, reply);
        if (auto handler = OnVerbatimReply)
            handler(this, reply);
        return;
    }
    if (answer.doubtful) {
        Trace(TrafficRoute::Held, answer.code, reply);
        FHeld = { answer.code, reply };
        return;
    }
    if (IsDroppedReply(reply)) {
        Trace(TrafficRoute::Ignored, answer.code, reply);
        return;
    }
    Trace(answer.code == ReplyCode::Measurement ? TrafficRoute::Reading : TrafficRoute::ReadBack, answer.code,
        reply);
    if (answer.code == ReplyCode::Measurement)
        HandleMeasurement(reply);
    else
        ApplyReadBack(answer.code, reply);
}

void InstrumentSession::ApplyReadBack(ReplyCode code, const QString& reply)
{
    const ReadBackResult result = ReadBack(code, reply);
    if (result.texts.empty() && result.select.isEmpty())
        return;
    if (auto handler = OnReadBack)
        handler(this, result);
    // The field shows the characters first; a maximum that is no number keeps its value.
    switch (result.maximum) {
    case StoredMaximum::Current:
        FMaxima.current = StrToFloat(result.maximumText);
        break;
    case StoredMaximum::Voltage:
        FMaxima.voltage = StrToFloat(result.maximumText);
        break;
    case StoredMaximum::Power:
        FMaxima.power = StrToFloat(result.maximumText);
        break;
    case StoredMaximum::None:
        break;
    }
}

void InstrumentSession::HandleMeasurement(const QString& reply)
{
    // The instrument answers "fetch?" in the layout of the mode it was put in; a reading
    // counts only while its activity runs.
    switch (FMode) {
    case TestMode::Normal: {
        if (Run(Activity::Load) != RunState::Running)
            return;
        const MainReading reading = CutMainReading(reply);
        if (auto handler = OnMainReading)
            handler(this, reading, PowerText(reading));
        return;
    }
    case TestMode::Battery:
        // The layout's initial "Start" lets readings through as a running test does.
        if (Run(Activity::Battery) != RunState::Idle)
            BatteryReadingArrived(reply);
        return;
    case TestMode::List: {
        if (Run(Activity::List) != RunState::Running)
            return;
        const QStringView kind = QStringView(reply).left(2);
        if (kind == u"L2") {
            const StepReading reading = CutStepReading(reply);
            if (reading.stepIndex < 0 || reading.stepIndex >= kReadBackSteps)
                throw std::out_of_range("The instrument reported list step " + reading.step.toStdString()
                    + "; the steps are 0 to 14.");
            FListAwaitsStep = false;
            if (auto handler = OnStepReading)
                handler(this, reading);
        } else if (kind == u"L3" && !FListAwaitsStep) {
            ListReportArrived(reply);
        }
        return;
    }
    }
}

void InstrumentSession::BatteryReadingArrived(const QString& reply)
{
    BatteryReading reading;
    try {
        reading = CutBatteryReading(reply);
    } catch (const EBadReading& e) {
        if (!e.CutShort())
            throw;
        // Its rest may come as a reply of its own: taken as that, not as news.
        FTailMayFollow = true;
        if (std::exchange(FBattery.cutShortReported, true))
            return;
        throw;
    }
    ++FRunReadings[Index(Activity::Battery)];
    if (auto handler = OnBatteryReading)
        handler(this, reading);

    BatteryTrack& t = FBattery;
    if (t.hasLast && reading.seconds > t.lastSeconds)
        t.wattHours += (t.lastVolts * t.lastAmps + reading.voltageValue * reading.currentValue) / 2
            * (reading.seconds - t.lastSeconds) / 3600.0;
    if (reading.currentValue != 0)
        t.cutOffVolts = reading.voltageValue;
    // After its cut-off the instrument answers with no current and its time stands still.
    if (reading.currentValue == 0 && t.idleReadings > 0 && reading.seconds == t.idleSince) {
        ++t.idleReadings;
    } else {
        t.idleReadings = reading.currentValue == 0 ? 1 : 0;
        t.idleSince = reading.seconds;
    }
    t.hasLast = true;
    t.lastVolts = reading.voltageValue;
    t.lastAmps = reading.currentValue;
    t.lastSeconds = reading.seconds;
    t.lastAmpereHours = reading.capacityValue;
    if (t.idleReadings < kIdleReadingsAtEnd || Run(Activity::Battery) != RunState::Running)
        return;
    EndRun(Activity::Battery);
    if (auto handler = OnBatteryEnd)
        handler(this,
            { t.lastSeconds, t.lastAmpereHours, t.wattHours, t.cutOffVolts,
                FRunReadings[Index(Activity::Battery)] });
}

void InstrumentSession::ListReportArrived(const QString& reply)
{
    ListReport report;
    report.reply = reply;
    report.verdict = ::ListVerdict(reply);
    report.steps = std::clamp(FListLastStep, 0, kReadBackSteps - 1) + 1;
    for (int step = 0; step < report.steps; ++step) {
        const QString verdict = StepVerdict(reply, step);
        if (verdict.size() != 1 || !verdict[0].isDigit())
            break;
        report.stepVerdicts.append(verdict);
    }
    // The instrument repeats its report until its next pass begins: this one is taken once.
    FListAwaitsStep = true;
    FRunReadings[Index(Activity::List)] += static_cast<int>(report.stepVerdicts.size());
    if (auto handler = OnListReport)
        handler(this, report);
    if (!report.Complete()) {
        // What it judged is kept; the run goes on so that a complete report still counts.
        if (std::exchange(FListShortReported, true))
            return;
        throw std::runtime_error(QStringLiteral("The list report %1 holds verdicts for %2 of %3 steps.")
                                     .arg(QuotedReply(reply))
                                     .arg(report.stepVerdicts.size())
                                     .arg(report.steps)
                                     .toStdString());
    }
    if (!FListRepeat)
        EndRun(Activity::List);
}
