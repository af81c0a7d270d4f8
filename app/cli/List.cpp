// dcload-cli list: a list program sent step by step, run, and judged: a row per step with
// its verdict, exit 1 when a step FAILed. Triggered stepping gives each step one trigger
// after its own dwell.
#include "app/cli/Cli.h"

#include "store/ResultsQuery.h"
#include "workflows/InputRules.h"
#include "workflows/RunRecords.h"
#include "workflows/TestRules.h"

#include <QDateTime>
#include <algorithm>
#include <climits>
#include <cmath>

namespace {

StepEntries EntriesOf(const ListRow& row)
{
    return { row.mode.toUpper(), ModeItem(row.mode), row.value, row.delay,
        ModeTakesLevel(ListModeWord(ModeItem(row.mode))), CompareItem(row.compare), row.low, row.high };
}

} // namespace

void Cli::List(const QString& port)
{
    Connect(port, [this] {
        const ListProgram& program = FOptions.program;
        Told told;
        FSession.Pause = [](int) {};
        if (!FList.Set(FSession, { QString::number(program.steps), program.autoStep, program.repeat }, told))
            Refused("the list was refused");
        for (int n = 0; n < program.steps; ++n) {
            if (!FList.SendStep(FSession, n, EntriesOf(program.rows[static_cast<size_t>(n)]), told))
                Refused("step " + std::to_string(n) + " was refused");
        }
        WhenIdle([this] { RunList(); });
    });
}

void Cli::RunList()
{
    const ListProgram& program = FOptions.program;
    Told told;
    if (!BeginOutput(
            { "step", "mode", "setpoint", "voltage_V", "current_A", "low", "high", "verdict" }, true))
        return;
    std::array<StepEntries, kListSteps> editor;
    for (size_t n = 0; n < editor.size(); ++n)
        editor[n] = EntriesOf(program.rows[n]);
    FSession.SetMode(TestMode::List);
    RecordIdentify();
    FList.Toggle(FSession, editor, told); // the first press before any run only switches off
    if (!FList.Toggle(FSession, editor, told))
        Refused("the list did not start");
    if (FResults)
        FResults->BeginRun(ResultsTable::ListS);
    PublishRunStart(ResultsTable::ListS, QStringLiteral("list"),
        { { "steps", program.steps }, { "auto_step", program.autoStep }, { "repeat", program.repeat } });
    RecordStart(ResultsTable::ListS, QStringLiteral("list"),
        ListRunParameters(program.steps, program.autoStep, program.repeat, editor));
    FTriggered = !program.autoStep;
    FSession.OnStepReading = [this](InstrumentSession*, const StepReading& r) {
        FList.File(r);
        LiveReading live
            = LiveReadingOf(QDateTime::currentDateTime(), r.voltage.toDouble(), r.current.toDouble());
        live.step = r.step.toInt();
        PublishReading(live);
    };
    FSession.OnListReport = [this](InstrumentSession*, const ListReport& report) {
        for (const TStepRecord& r : FList.Judge(report)) {
            FFailed = FFailed || r.Result == u"2";
            Store(ResultsTable::ListS, StepRow(r, MeasurementTimestamp(QDateTime::currentDateTime())));
            CheckWritten(FOutput->Row({ r.Nr, r.LoadPattern, r.Setpoint, r.mValueV, r.mValueI, r.LowLimit,
                r.HighLimit, StepVerdictCaption(r.Result) }));
        }
        // The report that ends the run (no repeat, or a faulty one) gives its outcome.
        if (FSession.Run(Activity::List) != RunState::Running) {
            RecordEnd(ListOutcome(report));
            PublishRunEnd(ListOutcome(report), { { "verdict", FFailed ? QStringLiteral("FAIL") : QStringLiteral("PASS") } });
        }
        if (!report.fault.isEmpty()) {
            // The session has ended the run; nothing of this list can be called passed.
            FToldFault = report.fault;
            Fail(report.fault);
            return;
        }
        // With repeat the instrument begins the next pass once it has given its report.
        if (FOptions.program.repeat && FSession.Run(Activity::List) == RunState::Running)
            StepBegan(0);
    };
    FSession.OnStateChange = [this](InstrumentSession*) {
        if (FSession.Run(Activity::List) == RunState::Idle)
            End(Done);
    };
}

// Triggered stepping: step `step` has begun (its "load on" or the trigger that ended the
// step before it was written); it is triggered after its own dwell.
void Cli::StepBegan(int step)
{
    FStep = step;
    if (!FTriggered || FPhase != Phase::Running || FSession.Run(Activity::List) != RunState::Running
        || step >= FOptions.program.steps)
        return; // the trigger of the last step ended the pass
    const double seconds = PlainDecimal(FOptions.program.rows[static_cast<size_t>(step)].delay).value_or(0);
    // Capped before the conversion: a dwell beyond the timer's range waits as long as it can.
    FTrigger.start(static_cast<int>(std::lround(std::min(seconds * 1000, static_cast<double>(INT_MAX)))));
}
