#include "workflows/RunRecorder.h"

#include "workflows/ProgramInfo.h"

#include <algorithm>

namespace {

const QString kAskIdentity = QStringLiteral("*idn?");

} // namespace

RunRecorder::RunRecorder(InstrumentSession& session)
    : FSession(session)
{
    FSession.OnIdentity = [this](InstrumentSession*, const QString& identity) { Identified(identity); };
}

void RunRecorder::Begin(ResultsFile& results, ResultsTable table, const QString& kind,
    const QString& parameters, const QDateTime& started)
{
    // An earlier run of the table has been written with its end already (every way a run
    // ends ends its record), at most without the instrument's answer.
    std::erase_if(FRuns, [table](const Run& r) { return r.table == table; });
    Run run;
    run.results = &results;
    run.table = table;
    run.record.kind = kind;
    run.record.started = started;
    run.record.parameters = parameters;
    run.record.programVersion = kProgramVersion;
    run.record.runId = results.RunId(table);
    if (Known()) {
        run.record.instrument = *FIdentity;
        run.identified = true;
    }
    FRuns.push_back(run);
    if (run.identified)
        Write(FRuns.back());
    else
        Identify();
}

void RunRecorder::Identify()
{
    if (FSession.Port() != PortState::Open || Known() || Asking())
        return;
    FSession.QueueCommand(kAskIdentity, ReplyCode::Identity);
}

bool RunRecorder::Known() const
{
    return FIdentity && FIdentityOn == FSession.ConnectionNumber();
}

// A question pending or on the wire; one a replaced queue dropped is asked again.
bool RunRecorder::Asking() const
{
    const CommandPipeline& pipeline = FSession.Pipeline();
    const auto identity = [](const Command& c) { return c.code == ReplyCode::Identity; };
    return std::any_of(pipeline.Pending().begin(), pipeline.Pending().end(), identity)
        || (pipeline.OnTheWire() && identity(pipeline.OnTheWire()->command));
}

void RunRecorder::End(ResultsTable table, const QString& outcome)
{
    for (Run& run : FRuns) {
        if (run.table != table || !run.going)
            continue;
        run.going = false;
        run.record.ended = QDateTime::currentDateTimeUtc();
        run.record.outcome = outcome;
        // Not held back for the instrument's answer: the store may be about to go.
        Write(run);
    }
    Forget();
}

void RunRecorder::EndAll(const QString& outcome)
{
    for (const ResultsTable table : kAllResultsTables)
        End(table, outcome);
}

bool RunRecorder::Going(ResultsTable table) const
{
    return std::any_of(
        FRuns.begin(), FRuns.end(), [table](const Run& r) { return r.table == table && r.going; });
}

void RunRecorder::Identified(const QString& identity)
{
    FIdentity = identity;
    FIdentityOn = FSession.ConnectionNumber();
    for (Run& run : FRuns) {
        if (run.identified)
            continue;
        run.identified = true;
        run.record.instrument = identity;
        // An ended run was written with its end already; it only needs what came now.
        if (run.going || !identity.isEmpty())
            Write(run);
    }
    Forget();
}

void RunRecorder::Write(Run& run)
{
    // The store fills in the id of the table's newest run: once another run of the table
    // has begun, this one can no longer be written.
    if (run.results->RunId(run.table) != run.record.runId)
        return;
    run.results->RecordRun(run.table, run.record);
}

void RunRecorder::Forget()
{
    std::erase_if(FRuns, [](const Run& r) { return !r.going && r.identified; });
}
