// dcload-cli report: a PDF report of one run of the shared results store, found by its run
// id (or the start of one, as long as it names a single run).
#include "app/cli/Cli.h"

#include "store/RunReport.h"
#include "store/SharedResults.h"

#include <QFileInfo>

namespace {

QString KindName(ResultsTable table)
{
    switch (table) {
    case ResultsTable::Battery:
        return QStringLiteral("battery");
    case ResultsTable::ListS:
        return QStringLiteral("list");
    case ResultsTable::Profile:
        return QStringLiteral("profile");
    case ResultsTable::Resistance:
        break;
    }
    return QStringLiteral("resistance");
}

} // namespace

int Cli::Report()
{
    try {
        ResultsFile results(std::make_unique<SharedResults>(*FOptions.results, FOptions.station));
        int status = Done;
        const std::optional<StoredRun> named = NamedRun(results, status);
        if (!named)
            return status;
        const StoredRun& run = *named;
        if (run.table != ResultsTable::Battery && run.table != ResultsTable::Profile) {
            Complain(QStringLiteral("run %1 is a %2 run: a report is made of a battery or profile run")
                         .arg(run.key, KindName(run.table)));
            return BadArguments;
        }
        const std::vector<QStringList> rows = results.RunRows(run.table, run.key);
        const std::vector<QStringList> resistances = run.table == ResultsTable::Profile
            ? results.RunRows(ResultsTable::Resistance, run.key)
            : std::vector<QStringList> {};
        RunReport report = RunReportFromRows(run, rows, resistances);
        report.parameters
            = { { QStringLiteral("Kind"), KindName(run.table) }, { QStringLiteral("Station"), run.station },
                  { QStringLiteral("Readings"), QString::number(rows.size()) },
                  { QStringLiteral("Results database"), FOptions.results->Display() } };
        WriteRunReportPdf(FOptions.pdf, report);
        const ResistanceFigures figures = SummariseResistances(report.resistances);
        PrintLine(
            QStringLiteral("%1: %2 run %3 of %4, %5 readings, %6 Ah, %7 Wh%8")
                .arg(QFileInfo(FOptions.pdf).fileName(), KindName(run.table), run.key, run.station)
                .arg(rows.size())
                .arg(report.summary.capacityAh, 0, 'f', 4)
                .arg(report.summary.energyWh, 0, 'f', 3)
                .arg(figures.meanMilliOhm ? QStringLiteral(", %1 mOhm").arg(*figures.meanMilliOhm, 0, 'f', 1)
                                          : QString())
                .toUtf8());
        return Done;
    } catch (const EDatabaseError& e) {
        Complain(QString::fromUtf8(e.what()));
    } catch (const ERunReportError& e) {
        Complain(QString::fromUtf8(e.what()));
    }
    return PortFailed;
}
