#include "link/InstrumentSession.h"

#include "link/SessionShared.h"

#include <QTimer>
#include <algorithm>
#include <stdexcept>

using namespace SessionShared;

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

// ---- ends

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

// ---- readings

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
