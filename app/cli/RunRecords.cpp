// dcload-cli's records of its battery, list and profile runs in the runs table of the
// shared results store: at the start, and at the end with its outcome. The first end told
// counts (the cut-off, a list's verdict, Ctrl+C …); whatever ends the program later
// changes nothing.
#include "app/cli/Cli.h"

// Asked ahead of the run's "load on", so a silent instrument's wait costs no reading.
void Cli::RecordIdentify()
{
    if (FRecorder)
        FRecorder->Identify();
}

void Cli::RecordStart(
    ResultsTable table, const QString& kind, const QString& parameters, const QDateTime& started)
{
    if (!FRecorder)
        return;
    FRecorded = table;
    FRecorder->Begin(*FResults, table, kind, parameters, started);
}

void Cli::RecordEnd(const QString& outcome)
{
    if (FRecorder && FRecorded)
        FRecorder->End(*FRecorded, outcome);
}
