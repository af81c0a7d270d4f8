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

size_t Index(Activity activity)
{
    return static_cast<size_t>(activity);
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

void InstrumentSession::PacingTick()
{
    if (const auto line = FPipeline.Tick())
        FComm->WriteCommData(line->constData(), static_cast<uint16_t>(line->size()));
}

void InstrumentSession::PollTick()
{
    FPipeline.QueueCommand(QStringLiteral("fetch?"), ReplyCode::Measurement);
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
    FArmed[Index(Activity::Load)] = false;
    StateChanged();
}

void InstrumentSession::Close()
{
    ReleasePort();
    StateChanged();
}

void InstrumentSession::ReleasePort()
{
    FComm->StopComm();
    FVirtual = {};
    FPipeline.Clear();
    FPolling->stop();
    FPort = PortState::Closed;
    FArmed[Index(Activity::Load)] = false;
}

void InstrumentSession::PortHungUp()
{
    // A hang-up that was already on its way when the port was closed.
    if (FComm->Handle() == 0)
        return;
    ReleasePort();
    if (auto handler = OnPortLost)
        handler(this, FPortName);
    StateChanged();
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
    StateChanged();
}

bool InstrumentSession::Armed(Activity activity) const
{
    return FArmed[Index(activity)];
}

void InstrumentSession::SetArmed(Activity activity, bool armed)
{
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
    const std::optional<ReplyCode> code = FPipeline.TakeReplyCode();
    if (!code)
        throw std::runtime_error(
            "A reply arrived while no answer was awaited: '" + reply.toStdString() + "'");
    if (IsDroppedReply(reply))
        return;
    if (*code == ReplyCode::Measurement)
        HandleMeasurement(reply);
    else
        ApplyReadBack(*code, reply);
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
        QString power;
        QString failure;
        try {
            power = PowerText(reading.voltage, reading.current);
        } catch (const EConvertError& e) {
            failure = QString::fromStdString(e.what());
        }
        if (auto handler = OnMainReading)
            handler(this, reading, power);
        if (!failure.isEmpty())
            throw EConvertError(failure.toStdString());
        return;
    }
    case TestMode::Battery: {
        // The layout's initial "Start" lets readings through as a running test does.
        if (Run(Activity::Battery) == RunState::Idle)
            return;
        const BatteryReading reading = CutBatteryReading(reply);
        if (auto handler = OnBatteryReading)
            handler(this, reading);
        return;
    }
    case TestMode::List: {
        if (Run(Activity::List) != RunState::Running)
            return;
        const QStringView kind = QStringView(reply).left(2);
        if (kind == u"L2") {
            const StepReading reading = CutStepReading(reply);
            if (reading.stepIndex < 0 || reading.stepIndex >= kReadBackSteps)
                throw std::out_of_range("The instrument reported list step " + reading.step.toStdString()
                    + "; the steps are 0 to 14.");
            if (auto handler = OnStepReading)
                handler(this, reading);
        } else if (kind == u"L3") {
            ListReportArrived(reply);
        }
        return;
    }
    }
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
    if (auto handler = OnListReport)
        handler(this, report);
    if (!report.Complete()) {
        // A cut-short report: what it judged is kept, the run goes on so that a complete
        // report still counts.
        throw std::runtime_error(QStringLiteral("The list report \"%1\" holds verdicts for %2 of %3 steps.")
                                     .arg(reply.trimmed())
                                     .arg(report.stepVerdicts.size())
                                     .arg(report.steps)
                                     .toStdString());
    }
    if (!FListRepeat)
        SetRun(Activity::List, RunState::Idle);
}
