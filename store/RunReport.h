#pragma once
// A run's report for the lab book: one or two A4 pages with the run's title, station, run
// and start, its parameters, a summary (duration, Ah, Wh, what ended it, the DC resistance),
// the voltage against time and against capacity, and every resistance measurement with the
// failed ones' reasons. Painted by hand on a PDF (no widgets), so the window and dcload-cli
// make the same file; painting text needs a QGuiApplication (offscreen is enough).
#include "store/ResultsTable.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

// The report could not be made: rows that do not read, or a file that cannot be written.
// what() says which row or names the file, and the reason.
class ERunReportError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One reading of the run.
struct RunReportPoint
{
    double seconds = 0; // since the run began
    double voltage = 0; // V
    double current = 0; // A, positive while discharging
    double capacityAh = 0; // taken since the run began
};

// One DC resistance measurement: R = (V1 - V2) / (I2 - I1).
struct RunReportResistance
{
    double seconds = 0;
    double capacityAh = 0;
    // NaN where the measurement did not get that far.
    double v1 = 0, v2 = 0, i1 = 0, i2 = 0;
    std::optional<double> milliOhm; // none when it failed
    QString failure; // why it failed; empty when good
};

struct RunReportSummary
{
    double seconds = 0;
    double capacityAh = 0;
    double energyWh = 0;
    QString cutOff; // what ended the run, in the caller's words ("3.000 V reached"); may be empty
};

struct RunReport
{
    QString title;
    QString station;
    QString runId;
    QDateTime started;
    std::vector<std::pair<QString, QString>> parameters; // name, value; shown in this order
    RunReportSummary summary;
    std::vector<RunReportPoint> points; // oldest first
    std::vector<RunReportResistance> resistances; // oldest first
};

// The good measurements' mean (none without any), how many were good and how many failed.
struct ResistanceFigures
{
    std::optional<double> meanMilliOhm;
    int good = 0;
    int failed = 0;
};
ResistanceFigures SummariseResistances(const std::vector<RunReportResistance>& rows);

// A report of the stored run `run` from its rows as ResultsFile::RunRows gives them: the
// battery table's (InputVoltage, InputCurrent, DischargeTime, BatteryCapacity, MeasTime),
// or the profile table's with `resistanceRows` from the resistance table. The title,
// station, run id, start, points, resistances and summary are filled (a battery run's
// energy is the trapezoid integral of its readings); parameters and the cut-off are the
// caller's. Throws ERunReportError naming the row and value that do not read, or for a
// table that holds no discharge (the list or resistance table).
RunReport RunReportFromRows(const StoredRun& run, const std::vector<QStringList>& rows,
    const std::vector<QStringList>& resistanceRows = {});

// Writes `report` to `path` as a PDF, replacing an earlier file only once the new one is
// whole: a failure leaves no file behind (and an earlier one as it was). Throws
// ERunReportError naming the file and the reason.
void WriteRunReportPdf(const QString& path, const RunReport& report);
