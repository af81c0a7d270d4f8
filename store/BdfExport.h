#pragma once
// A battery run as a Battery Data Format CSV file, the layout battery analysis software
// reads: one header line with the labels below, one line per reading, and a sidecar
// "<file>.metadata.json" telling the station, run, profile, program version, instrument
// settings and start time.
//
//   Test Time / s, Voltage / V, Current / A, Unix Time / s, Cycle Count / 1,
//   Step Count / 1, Step Index / 1, Discharging Capacity / Ah, Discharging Energy / Wh,
//   Power / W, Internal Resistance / ohm
//
// The format counts current positive while charging, so a discharge is written negative
// (and its power too). Numbers are written with "." and the fewest digits that read back
// to the same double; lines end with CRLF; text is UTF-8.
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

// The BDF file or its sidecar could not be written; what() names the file and the reason.
class EBdfExportError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One reading of a run, as this program sees it.
struct BdfReading
{
    double testTimeSeconds = 0; // since the run began
    double voltage = 0; // V
    double current = 0; // A, as the load draws it: positive while discharging
    double unixTimeSeconds = 0; // when it was taken, seconds since 1970-01-01 UTC
    int cycleCount = 1;
    int stepCount = 1;
    int stepIndex = 1;
    // What the instrument counted; when absent the file holds the trapezoid integral of
    // the readings so far.
    std::optional<double> capacityAh;
    std::optional<double> energyWh;
    std::optional<double> resistanceOhm; // left empty in the file when absent
};

// The run the readings belong to, for the sidecar.
struct BdfRun
{
    QString station;
    QString runId;
    QString profile; // the profile's text; may be empty
    std::map<QString, QString> settings; // instrument settings as given, name -> value
    QDateTime start;
    QString programVersion; // of the program that took the readings
};

// The column labels, in file order.
const QStringList& BdfHeaderLabels();

// The sidecar's path for the BDF file at `path`.
QString BdfMetadataPath(const QString& path);

// Writes `readings` to `path` and the run to BdfMetadataPath(path). Each file replaces an
// earlier one only once it is whole, so a failed write leaves no half file. Capacity and
// energy never go down in the file: a reading whose count is below an earlier one is
// written at the earlier value. Throws EBdfExportError naming the file and the system's
// reason; when the sidecar fails after the CSV file was replaced, the CSV file stays.
void WriteBdf(const QString& path, const BdfRun& run, const std::vector<BdfReading>& readings);

// Readings from the battery table's rows, oldest first, each in the table's insert order:
// InputVoltage, InputCurrent, DischargeTime (s), BatteryCapacity (Ah), MeasTime (as
// MeasurementTimestamp wrote it under `locale`). Unix time is the stored timestamp (a
// two-digit year is taken in the century nearest `start`); where it does not read under
// `locale`, `start` plus the discharge time. Throws EBdfExportError when a row has
// another number of values, a number does not read, or a timestamp does not read and
// `start` is invalid.
std::vector<BdfReading> BdfReadingsFromBatteryRows(const std::vector<QStringList>& rows,
    const QDateTime& start = {}, const QLocale& locale = QLocale::system());
