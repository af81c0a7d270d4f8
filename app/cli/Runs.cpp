// dcload-cli runs and export: the runs table of a shared results store, listed, and one
// run's readings written to a CSV file. Neither needs a port.
#include "app/cli/Cli.h"

#include "store/CsvExport.h"
#include "store/ResultsDatabase.h"
#include "store/SharedResults.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

QString TimeText(const QDateTime& time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QByteArray CsvLine(const QStringList& fields)
{
    QStringList quoted;
    for (const QString& field : fields)
        quoted << CsvField(field);
    return quoted.join(u',').toUtf8();
}

QJsonObject RunObject(const RunRecord& run, int readings)
{
    const QJsonDocument parameters = QJsonDocument::fromJson(run.parameters.toUtf8());
    return { { "run_id", run.runId }, { "station", run.station }, { "kind", run.kind },
        { "started", TimeText(run.started) },
        { "ended", run.ended.isValid() ? QJsonValue(TimeText(run.ended)) : QJsonValue() },
        { "outcome", run.outcome }, { "parameters", parameters.object() },
        { "program_version", run.programVersion }, { "instrument", run.instrument },
        { "readings", readings } };
}

} // namespace

int Cli::Runs()
{
    try {
        ResultsFile results(std::make_unique<SharedResults>(*FOptions.results, FOptions.station));
        const std::vector<RunRecord> runs = results.RunRecords({ FOptions.station, FOptions.since });
        // One query for the readings of every run, however many are listed.
        QHash<QString, int> readings;
        for (const StoredRun& stored : results.Runs())
            readings[stored.key] += stored.readings;
        std::optional<QString> failure;
        if (FOptions.json) {
            QJsonArray array;
            for (const RunRecord& run : runs)
                array.append(RunObject(run, readings.value(run.runId)));
            failure = PrintLine(QJsonDocument(array).toJson(QJsonDocument::Compact));
        } else {
            failure = PrintLine("run_id,station,kind,started,ended,outcome,readings");
            for (const RunRecord& run : runs) {
                if (failure)
                    break;
                failure = PrintLine(CsvLine({ run.runId, run.station, run.kind, TimeText(run.started),
                    TimeText(run.ended), run.outcome, QString::number(readings.value(run.runId)) }));
            }
        }
        if (failure) {
            Complain(*failure);
            return PortFailed;
        }
        return Done;
    } catch (const EDatabaseError& e) {
        Complain(QString::fromUtf8(e.what()));
    }
    return PortFailed;
}

std::optional<StoredRun> Cli::NamedRun(ResultsFile& results, int& status)
{
    std::vector<StoredRun> matches;
    for (const StoredRun& run : results.Runs()) {
        if (run.key.startsWith(FOptions.runId, Qt::CaseInsensitive))
            matches.push_back(run);
    }
    if (matches.empty()) {
        Complain(QStringLiteral("no run %1 in the results database %2")
                     .arg(FOptions.runId, FOptions.results->Display()));
        status = PortFailed;
        return std::nullopt;
    }
    if (matches.size() > 1) {
        QStringList keys;
        for (const StoredRun& run : matches)
            keys << run.key;
        Complain(QStringLiteral("%1 names %2 runs (%3): give more of the run id")
                     .arg(FOptions.runId)
                     .arg(matches.size())
                     .arg(keys.join(QStringLiteral(", "))));
        status = BadArguments;
        return std::nullopt;
    }
    return matches.front();
}

int Cli::Export()
{
    try {
        ResultsFile results(std::make_unique<SharedResults>(*FOptions.results, FOptions.station));
        int status = Done;
        const std::optional<StoredRun> named = NamedRun(results, status);
        if (!named)
            return status;
        const StoredRun& run = *named;
        const std::vector<QStringList> rows = results.RunRows(run.table, run.key);
        // Written under a temporary name and renamed once whole: a failure leaves no file.
        ReadingsFile file(FOptions.csv);
        std::optional<QString> failure = file.Write(CsvLine(TableShape(run.table).Columns.mid(1)) + '\n');
        for (const QStringList& row : rows) {
            if (failure)
                break;
            failure = file.Write(CsvLine(row) + '\n');
        }
        if (!failure)
            failure = file.Finish();
        if (failure) {
            Complain(*failure);
            return PortFailed;
        }
        PrintLine(QStringLiteral("%1: %2 readings of %3 run %4 of %5")
                      .arg(FOptions.csv)
                      .arg(rows.size())
                      .arg(TableShape(run.table).Name, run.key, run.station)
                      .toUtf8());
        return Done;
    } catch (const EDatabaseError& e) {
        Complain(QString::fromUtf8(e.what()));
    } catch (const std::runtime_error& e) {
        Complain(QString::fromLocal8Bit(e.what())); // the file's folder takes no file
    }
    return PortFailed;
}
