// What a run report reads from the run's stored rows, and the resistance figures it sums
// up. Painting the report is in RunReport.cpp.
#include "store/RunReport.h"

#include "replies/Numbers.h"
#include "store/BdfExport.h"
#include "store/ResultsDatabase.h"
#include "store/ResultsQuery.h"

#include <QLocale>
#include <cmath>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A stored number; NaN for an empty value when `mayBeEmpty`.
double Number(const QStringList& row, int column, int rowNumber, const char* table, const char* name,
    bool mayBeEmpty = false)
{
    const QString text = row.value(column).trimmed();
    if (text.isEmpty() && mayBeEmpty)
        return kNaN;
    try {
        return StrToFloat(text);
    } catch (const EConvertError&) {
        throw ERunReportError(QStringLiteral("%1 row %2: the %3 \"%4\" is no number.")
                                  .arg(QLatin1String(table))
                                  .arg(rowNumber)
                                  .arg(QLatin1String(name), row.value(column))
                                  .toStdString());
    }
}

void CheckWidth(const QStringList& row, int width, int rowNumber, const char* table)
{
    if (row.size() != width)
        throw ERunReportError(QStringLiteral("%1 row %2 holds %3 values, not %4.")
                                  .arg(QLatin1String(table))
                                  .arg(rowNumber)
                                  .arg(row.size())
                                  .arg(width)
                                  .toStdString());
}

// The run's label in the profile and resistance tables: its start in UTC.
QDateTime ReadLabel(const QString& text)
{
    const QDateTime when = QDateTime::fromString(text.trimmed(), Qt::ISODateWithMs);
    return when.isValid() ? when.toUTC() : QDateTime();
}

void ReadBatteryRows(RunReport& report, const std::vector<QStringList>& rows)
{
    std::vector<BdfReading> readings;
    try {
        // The report needs no reading's own time: a row whose time does not read is still
        // a reading, placed by its discharge time.
        readings = BdfReadingsFromBatteryRows(
            rows, report.started.isValid() ? report.started : QDateTime::currentDateTime());
    } catch (const EBdfExportError& e) {
        throw ERunReportError(e.what());
    }
    double energyWh = 0;
    for (size_t i = 0; i < readings.size(); ++i) {
        const BdfReading& r = readings[i];
        report.points.push_back({ r.testTimeSeconds, r.voltage, r.current, r.capacityAh.value_or(0) });
        if (i > 0) {
            const BdfReading& before = readings[i - 1];
            energyWh += (before.voltage * before.current + r.voltage * r.current) / 2
                * (r.testTimeSeconds - before.testTimeSeconds) / 3600;
        }
    }
    if (!report.started.isValid() && !readings.empty()) {
        const QDateTime first = ReadMeasurementTimestamp(
            rows.front().value(4), QLocale::system(), QDateTime::currentDateTime());
        if (first.isValid())
            report.started = first.addMSecs(-std::llround(readings.front().testTimeSeconds * 1000));
    }
    if (!report.points.empty()) {
        report.summary.seconds = report.points.back().seconds;
        report.summary.capacityAh = report.points.back().capacityAh;
    }
    report.summary.energyWh = energyWh;
}

void ReadProfileRows(RunReport& report, const std::vector<QStringList>& rows)
{
    constexpr int kWidth
        = 10; // Run, Step, StepKind, TestTime, Voltage, Current, Power, Capacity, Energy, MeasTime
    int number = 0;
    for (const QStringList& row : rows) {
        CheckWidth(row, kWidth, ++number, "Profile");
        report.points.push_back({ Number(row, 3, number, "Profile", "test time"),
            Number(row, 4, number, "Profile", "voltage"), Number(row, 5, number, "Profile", "current"),
            Number(row, 7, number, "Profile", "capacity") });
        report.summary.energyWh = Number(row, 8, number, "Profile", "energy");
    }
    if (!report.started.isValid() && !rows.empty())
        report.started = ReadLabel(rows.front().value(0));
    if (!report.points.empty()) {
        report.summary.seconds = report.points.back().seconds;
        report.summary.capacityAh = report.points.back().capacityAh;
    }
}

void ReadResistanceRows(RunReport& report, const std::vector<QStringList>& rows)
{
    constexpr int kWidth = 10; // Run, Step, TestTime, Capacity, V1, V2, I1, I2, Resistance, Status
    int number = 0;
    for (const QStringList& row : rows) {
        CheckWidth(row, kWidth, ++number, "Resistance");
        RunReportResistance r;
        r.seconds = Number(row, 2, number, "Resistance", "test time");
        r.capacityAh = Number(row, 3, number, "Resistance", "capacity");
        r.v1 = Number(row, 4, number, "Resistance", "V1", true);
        r.v2 = Number(row, 5, number, "Resistance", "V2", true);
        r.i1 = Number(row, 6, number, "Resistance", "I1", true);
        r.i2 = Number(row, 7, number, "Resistance", "I2", true);
        const double milliOhm = Number(row, 8, number, "Resistance", "resistance", true);
        const QString status = row[9].trimmed();
        if (status != QLatin1String("ok"))
            r.failure = status.isEmpty() ? QStringLiteral("failed") : status;
        else if (std::isnan(milliOhm))
            r.failure = QStringLiteral("no value stored");
        else
            r.milliOhm = milliOhm;
        report.resistances.push_back(std::move(r));
    }
}

} // namespace

ResistanceFigures SummariseResistances(const std::vector<RunReportResistance>& rows)
{
    ResistanceFigures figures;
    double sum = 0;
    for (const RunReportResistance& r : rows) {
        if (r.milliOhm) {
            sum += *r.milliOhm;
            ++figures.good;
        } else
            ++figures.failed;
    }
    if (figures.good > 0)
        figures.meanMilliOhm = sum / figures.good;
    return figures;
}

RunReport RunReportFromRows(const StoredRun& run, const std::vector<QStringList>& rows,
    const std::vector<QStringList>& resistanceRows)
{
    RunReport report;
    report.station = run.station;
    // The local file's battery table is one run without an id of its own.
    report.runId = run.key == TableShape(run.table).Name ? QString() : run.key;
    report.started = run.started;
    switch (run.table) {
    case ResultsTable::Battery:
        report.title = QStringLiteral("Battery discharge");
        ReadBatteryRows(report, rows);
        break;
    case ResultsTable::Profile:
        report.title = QStringLiteral("Discharge profile");
        ReadProfileRows(report, rows);
        ReadResistanceRows(report, resistanceRows);
        break;
    case ResultsTable::ListS:
    case ResultsTable::Resistance:
        throw ERunReportError(QStringLiteral("The %1 table holds no discharge to report; choose a battery or "
                                             "profile run.")
                                  .arg(TableShape(run.table).Name)
                                  .toStdString());
    }
    return report;
}
