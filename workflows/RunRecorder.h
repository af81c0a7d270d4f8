#pragma once
// Writes each battery, list and profile run's record to the runs table: at its start,
// once the instrument has said who it is, and again, completed, at its end. The window
// and dcload-cli hold one per session.
//
// Who the instrument is, is asked ("*idn?") once per connection, before the first run's
// record: the faces call Identify() once a connection's own questions are queued, so a
// silent instrument's time-out passes long before any run, and again just before a
// battery or list run's "load on" (nothing is asked when the answer is known). Otherwise
// Begin asks, behind the run's first commands, which holds its readings up once by the
// time-out. An instrument that does not know the question stays silent: the record's
// instrument stays empty, and nothing is counted or told. A run that ends before the
// answer has come is written at once with its end; the answer, when it comes, completes it.
#include "link/InstrumentSession.h"
#include "store/ResultsFile.h"
#include "store/RunRecord.h"

#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

class RunRecorder
{
public:
    // Takes the session's OnIdentity.
    explicit RunRecorder(InstrumentSession& session);
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    // Asks the instrument who it is, unless that is known or asked on this connection.
    void Identify();
    // A run of `table` has begun (call after results.BeginRun): `kind` is "battery", "list"
    // or "profile", `parameters` a JSON object (workflows/RunRecords). `results` must outlive
    // the run's record.
    void Begin(ResultsFile& results, ResultsTable table, const QString& kind, const QString& parameters,
        const QDateTime& started = QDateTime::currentDateTimeUtc());
    // The run of `table` has ended with `outcome`. Only the first end of a run counts: a
    // later one (the port closing after the cut-off, say) changes nothing.
    void End(ResultsTable table, const QString& outcome);
    // Every run still going ends with `outcome` (the port lost, the program ending).
    void EndAll(const QString& outcome);
    // A run of `table` has begun and not yet ended.
    bool Going(ResultsTable table) const;

private:
    struct Run
    {
        ResultsFile* results = nullptr;
        ResultsTable table = ResultsTable::Battery;
        RunRecord record;
        bool going = true;
        bool identified = false; // the record holds the instrument's answer (or its silence)
    };

    void Identified(const QString& identity);
    bool Known() const;
    bool Asking() const;
    void Write(Run& run);
    void Forget();

    InstrumentSession& FSession;
    int FIdentityOn = 0; // the connection FIdentity was answered on
    std::optional<QString> FIdentity; // the answer, once it came (empty: none)
    std::vector<Run> FRuns; // going, or ended before the instrument said who it is
};
