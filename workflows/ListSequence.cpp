#include "workflows/ListSequence.h"

#include "link/InstrumentSession.h"
#include "workflows/InputRules.h"
#include "workflows/OperatorMessages.h"

bool ListSequence::Set(InstrumentSession& session, const ListSetEntries& e, IOperatorMessages& messages)
{
    if (!PortIsOpen(session, messages))
        return false;
    session.Pause(200);
    // Checked before anything is queued, so a refused number leaves the pending
    // commands as they were and nothing outside steps 0 to 14 is ever addressed.
    const std::optional<int> steps = ListStepCount(e.steps);
    if (!steps) {
        messages.Tell(FieldMessage(QStringLiteral("List Nr."),
            QStringLiteral("The number of steps must be a whole number from 1 to %1!").arg(kListSteps)));
        return false;
    }
    const int lastStep = *steps - 1;
    const Command listMode { QStringLiteral("load:mode list") };
    session.ReplaceQueue({ listMode, listMode, listMode,
        { e.autoStep ? QStringLiteral("list:smod auto") : QStringLiteral("list:smod trig") },
        { e.repeat ? QStringLiteral("list:rep on") : QStringLiteral("list:rep off") },
        { QStringLiteral("list:snum ") + QString::number(lastStep) } });
    session.SetListPlan(lastStep, e.repeat);
    session.SetArmed(Activity::List, true);
    return true;
}

void ListSequence::Define(TStepRecord& record, const StepEntries& row)
{
    record.LoadPattern = row.modeText;
    record.Setpoint = row.valueEnabled ? row.value : QStringLiteral("0");
    if (CompareWord(row.compareItem) == u"off") {
        record.LowLimit = QStringLiteral("0");
        record.HighLimit = QStringLiteral("0");
    } else {
        record.LowLimit = row.low;
        record.HighLimit = row.high;
    }
}

bool ListSequence::SendStep(
    InstrumentSession& session, int step, const StepEntries& row, IOperatorMessages& messages)
{
    if (!PortIsOpen(session, messages))
        return false;
    const QString modeWord = ListModeWord(row.modeItem);
    std::vector<Command> commands { { StepModeCommand(step, modeWord) } };
    TStepRecord defined = FSteps[static_cast<size_t>(step)];
    defined.LoadPattern = row.modeText;
    if (!ModeTakesLevel(modeWord)) {
        defined.Setpoint = QStringLiteral("0");
    } else {
        const QString compareWord = CompareWord(row.compareItem);
        std::vector<std::pair<QString, const char*>> numbers { { row.value, "Value" },
            { row.delay, "Delay Time" } };
        if (compareWord != u"off")
            numbers.insert(numbers.end(), { { row.low, "Limit Low" }, { row.high, "Limit High" } });
        for (const auto& [text, column] : numbers) {
            if (!DecimalEntry(
                    text, QStringLiteral("%1 of step %2").arg(QLatin1String(column)).arg(step), messages))
                return false;
        }
        StepEntries asSent = row;
        asSent.valueEnabled = true;
        Define(defined, asSent);
        commands.push_back({ StepLevelCommand(step, row.value, row.delay) });
        commands.push_back({ StepCompareCommand(step, compareWord, defined.LowLimit, defined.HighLimit) });
    }
    // The step's commands go out together or not at all.
    session.QueueCommands(commands);
    FSteps[static_cast<size_t>(step)] = defined;
    return true;
}

bool ListSequence::Toggle(InstrumentSession& session, const std::array<StepEntries, kListSteps>& editor,
    IOperatorMessages& messages)
{
    if (!PortIsOpen(session, messages))
        return false;
    if (session.Run(Activity::List) != RunState::Idle) {
        session.SwitchInput(false);
        session.SetRun(Activity::List, RunState::Idle);
        session.StopPolling();
        return false;
    }
    // The list sent before this connection reached no instrument (or another one).
    if (!session.ArmedOnThisConnection(Activity::List)) {
        messages.Tell(QStringLiteral("Press \"Set\" first: the list was not sent since connecting!"));
        return false;
    }
    session.SwitchInput(true);
    session.SetRun(Activity::List, RunState::Running);
    // The editor may have changed since the step buttons were pressed; the rows stored
    // at the end describe what it shows now. Readings start afresh with the run.
    for (size_t n = 0; n < editor.size(); ++n)
        Define(FSteps[n], editor[n]);
    ForgetReadings();
    session.StartPolling();
    return true;
}

void ListSequence::ForgetReadings()
{
    for (size_t n = 0; n < FSteps.size(); ++n) {
        FSteps[n].mValueV.clear();
        FSteps[n].mValueI.clear();
        FSteps[n].Result.clear();
        FMeasured[n] = false;
    }
}

void ListSequence::File(const StepReading& reading)
{
    const auto n = static_cast<size_t>(reading.stepIndex);
    TStepRecord& record = FSteps[n];
    record.Nr = reading.step;
    record.mValueV = reading.voltage;
    record.mValueI = reading.current;
    FMeasured[n] = true;
}

std::vector<TStepRecord> ListSequence::Judge(const ListReport& report)
{
    std::vector<TStepRecord> judged;
    for (qsizetype step = 0; step < report.stepVerdicts.size() && step < kListSteps; ++step) {
        const auto n = static_cast<size_t>(step);
        TStepRecord& record = FSteps[n];
        record.Nr = QString::number(step);
        if (!FMeasured[n]) {
            // Shorter than a poll: no reading of this pass, and none of another is shown.
            record.mValueV = kNotMeasured;
            record.mValueI = kNotMeasured;
        }
        record.Result = report.stepVerdicts[step];
        judged.push_back(record);
    }
    // The next pass (with repeat) measures afresh.
    ForgetReadings();
    return judged;
}

QStringList StepRow(const TStepRecord& r, const QString& time)
{
    return { r.Nr, r.LoadPattern, r.Setpoint, r.mValueV, r.mValueI, r.LowLimit, r.HighLimit, time, r.Result };
}
