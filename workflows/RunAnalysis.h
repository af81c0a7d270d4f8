#pragma once
// What a finished discharge says about the cell: its voltage against the capacity taken,
// and the incremental capacity dQ/dV, whose peaks sit at the voltages where the cell's
// chemistry holds a plateau. A battery run and a profile run give the same points.
//
// dQ/dV is taken by voltage bins, not by dividing neighbouring readings: the charge moved
// between two readings is spread over the voltages they span, evenly, and each bin's
// charge is divided by the bin's width. So a rest (voltage rising, no charge moved) adds
// nothing, noise that moves the voltage back and forth only moves charge between
// neighbouring bins, a flat voltage puts its whole charge into one bin, and nothing is
// ever divided by a voltage difference that may be zero. The charge under the curve is
// the charge taken, whatever the smoothing. It costs one pass over the readings and one
// over the bins.
#include "store/BdfExport.h"

#include <QDateTime>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class ResultsFile;
struct ProfileSample;

// One reading of a run.
struct AnalysisPoint
{
    double seconds = 0; // since the run began
    double voltage = 0; // V
    double current = 0; // A, positive while discharging
    double capacityAh = 0; // taken since the run began
};

// A run to show or to compare with.
struct AnalysisRun
{
    QString label; // the run's label in the stores
    QString station;
    QDateTime started;
    QString profile; // the profile's text; empty for a battery run
    std::vector<AnalysisPoint> points; // oldest first
    // Reads the points when the run is first drawn, for a run listed before its readings
    // are read (an earlier run in the store); may be left empty. Throws what the store throws.
    std::function<std::vector<AnalysisPoint>()> loadPoints;
};

struct IncrementalCapacityOptions
{
    double binVolts = 0.005; // width of a voltage bin, V
    // Width of the moving average over the bins, V (0 or below one bin: none). Wider
    // smooths noise, narrower keeps close peaks apart.
    double smoothingVolts = 0.02;
};

// Voltage (y) against the capacity taken (x, Ah), in reading order. A capacity count
// that went back (an instrument that restarted its count) is held at the highest so far,
// so the curve never runs backwards.
std::vector<QPointF> VoltageAgainstCapacity(const std::vector<AnalysisPoint>& points);

// dQ/dV in Ah/V (y, positive for a discharge) against the voltage at each bin's middle
// (x), lowest voltage first, over the voltages the run reached. Fewer than two readings,
// or no charge moved, give an empty curve. The bins are widened when the run's voltage
// range would need more than 20000 of them.
std::vector<QPointF> IncrementalCapacity(
    const std::vector<AnalysisPoint>& points, const IncrementalCapacityOptions& options = {});

// At most about `maxPoints` of `curve` to draw, in order: the first, lowest, highest and
// last point of each run of neighbours, so the drawn envelope stays exact. A curve short
// enough comes back whole.
std::vector<QPointF> ThinForDrawing(const std::vector<QPointF>& curve, int maxPoints);

// Points of a battery run from its readings (BdfReadingsFromBatteryRows) and of a
// profile run from its samples.
std::vector<AnalysisPoint> AnalysisPointsFromReadings(const std::vector<BdfReading>& readings);
std::vector<AnalysisPoint> AnalysisPointsFromProfile(const std::vector<ProfileSample>& samples);
// Points of a run as the profile table stores it (ResultsTable::Profile, values in table
// order without the Id); a row whose numbers do not read is left out.
std::vector<AnalysisPoint> AnalysisPointsFromProfileRows(const std::vector<QStringList>& rows);

// The battery and profile runs `results` holds, newest first, each reading its points
// when first drawn; `station` stands for a store that keeps none (the local file). Throws
// EDatabaseError as ResultsFile::Runs does.
std::vector<AnalysisRun> StoredAnalysisRuns(ResultsFile& results, const QString& station);
