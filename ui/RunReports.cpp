// The window's run reports: the battery page's latest run and the Profile window's last
// run as one or two PDF pages, from the rows the window holds (the same rows the store
// was given), so a report needs neither the store nor the instrument.
#include "store/ResultsQuery.h"
#include "store/ResultsTable.h"
#include "store/RunReport.h"
#include "ui/GridExport.h"
#include "ui/MessageBoxes.h"
#include "ui/ProfileWindow.h"
#include "ui/main.h"
#include "workflows/ProfileRun.h"
#include "workflows/ProgramInfo.h"

#include <QAbstractTableModel>
#include <QLabel>

namespace {

// Writes `report` to `path`; false after the operator was told why (the message names the file).
bool Write(QWidget* parent, IMessageBoxes& boxes, const QString& path, const RunReport& report)
{
    try {
        WriteRunReportPdf(path, report);
        return true;
    } catch (const ERunReportError& error) {
        boxes.ShowMessage(parent, QString::fromUtf8(error.what()));
        return false;
    }
}

void AddParameter(RunReport& report, const QString& name, const QString& value)
{
    if (!value.isEmpty())
        report.parameters.emplace_back(name, value);
}

} // namespace

std::vector<QStringList> TForm1::BatteryRows() const
{
    return GridRows(*ADOQuery2->Model(), FBatteryFirstRow);
}

bool TForm1::SaveBatteryReport(const QString& path)
{
    const std::vector<QStringList> rows = BatteryRows();
    if (rows.empty()) {
        MessageBoxes().ShowMessage(
            this, QStringLiteral("%1 was not written: the battery grid holds no readings.").arg(path));
        return false;
    }
    StoredRun run;
    run.key = BatteryRunLabel();
    run.table = ResultsTable::Battery;
    run.station = FStation;
    run.started = FBatteryStarted;
    run.readings = static_cast<int>(rows.size());
    RunReport report;
    try {
        report = RunReportFromRows(run, rows);
    } catch (const ERunReportError& error) {
        MessageBoxes().ShowMessage(
            this, QStringLiteral("%1 was not written: %2").arg(path, QString::fromUtf8(error.what())));
        return false;
    }
    AddParameter(report, QStringLiteral("Discharge current"),
        FBatteryCurrent.isEmpty() ? QString() : FBatteryCurrent + " A");
    AddParameter(report, QStringLiteral("Cut-off voltage"),
        FBatteryCutOff.isEmpty() ? QString() : FBatteryCutOff + " V");
    AddParameter(report, QStringLiteral("Test period"),
        FBatteryPeriod > 0 ? QStringLiteral("%1 s").arg(FBatteryPeriod) : QString());
    AddParameter(report, QStringLiteral("Program"), kAppTitle + u' ' + kProgramVersion);
    if (!FBatteryCutOff.isEmpty())
        report.summary.cutOff = FBatteryCutOff + QStringLiteral(" V");
    if (!Write(this, MessageBoxes(), path, report))
        return false;
    ShowNote(QStringLiteral("Report of %1 readings written to %2").arg(rows.size()).arg(path));
    return true;
}

bool ProfileWindow::SaveReport(const QString& path)
{
    if (!FRun || FRun->Samples().empty()) {
        FForm.MessageBoxes().ShowMessage(
            this, QStringLiteral("%1 was not written: no profile run has readings yet.").arg(path));
        return false;
    }
    const QString label = FRun->RunLabel();
    std::vector<QStringList> rows, resistances;
    rows.reserve(FRun->Samples().size());
    for (const ProfileSample& sample : FRun->Samples())
        rows.push_back(ProfileRowValues(label, sample));
    for (const ResistanceMeasurement& measurement : FRun->Resistances())
        resistances.push_back(ResistanceRowValues(label, measurement));
    StoredRun run;
    run.key = label;
    run.table = ResultsTable::Profile;
    run.station = FForm.Station();
    run.started = FRun->Started();
    run.readings = static_cast<int>(rows.size());
    RunReport report;
    try {
        report = RunReportFromRows(run, rows, resistances);
    } catch (const ERunReportError& error) {
        FForm.MessageBoxes().ShowMessage(
            this, QStringLiteral("%1 was not written: %2").arg(path, QString::fromUtf8(error.what())));
        return false;
    }
    // The profile as written, one parameter a step line, comments left out.
    int step = 0;
    for (const QString& line : QString::fromUtf8(FRun->Text()).split(u'\n')) {
        const QString said = line.section(u'#', 0, 0).trimmed();
        if (!said.isEmpty())
            report.parameters.emplace_back(QStringLiteral("Line %1").arg(++step), said);
    }
    const double backstop = LowestCutOff(ReadProfile(FRun->Text()));
    if (backstop > 0)
        report.summary.cutOff = QStringLiteral("%1 V (backstop)").arg(backstop);
    report.parameters.emplace_back(QStringLiteral("Program"), kAppTitle + u' ' + kProgramVersion);
    if (!Write(this, FForm.MessageBoxes(), path, report))
        return false;
    ProfileStatus->setText(QStringLiteral("Report written to %1").arg(path));
    return true;
}
