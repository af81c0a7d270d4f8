#pragma once
// One battery, list or profile run as the runs table of either store holds it: written
// when the run starts (no end, no outcome yet) and again, completed, when it ends. A run
// is known by its run id, the same one every row of the run carries.
#include <QDateTime>
#include <QString>
#include <QStringList>

struct RunRecord
{
    QString runId; // set by ResultsFile::RecordRun from the run the table's rows belong to
    QString station; // set by the store (empty in the local file)
    QString kind; // "battery", "list" or "profile"
    QDateTime started;
    QDateTime ended; // invalid while the run goes on
    QString outcome; // empty while the run goes on (see docs/results-database.md)
    QString parameters; // what was sent to start it, as a JSON object
    QString programVersion;
    QString instrument; // its answer to "*idn?"; empty when it gave none
};

// The runs table's columns as both stores name them, run_id and station first.
inline const QStringList kRunsColumns { QStringLiteral("run_id"), QStringLiteral("station"),
    QStringLiteral("kind"), QStringLiteral("started"), QStringLiteral("ended"), QStringLiteral("outcome"),
    QStringLiteral("parameters"), QStringLiteral("program_version"), QStringLiteral("instrument") };

class QSqlQuery;

// The two databases the runs table lives in: their types differ (a uuid, times with their
// zone and the parameters as jsonb on the server; text in the local file).
enum class RunsDialect { Sqlite, Postgres };

// Which runs a listing asks for; an empty station or an invalid time asks for all.
struct RunFilter
{
    QString station;
    QDateTime since; // runs started at or after it
};

// "create table if not exists runs(…)", unique on station and run id.
QString CreateRunsStatement(RunsDialect dialect);
// Inserts a record, or completes the one of the same station and run: its end, outcome,
// parameters and (when known now) the instrument. Bind with BindRunRecord.
QString UpsertRunStatement(RunsDialect dialect);
void BindRunRecord(QSqlQuery& query, const QString& station, const RunRecord& record);
// The runs of `filter`, newest first, in kRunsColumns order; bind with BindRunFilter.
QString SelectRunsStatement(RunsDialect dialect, const RunFilter& filter);
void BindRunFilter(QSqlQuery& query, const RunFilter& filter);
// The record of the row a SelectRunsStatement query is on.
RunRecord RunRecordFromQuery(const QSqlQuery& query);
