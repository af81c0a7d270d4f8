#include "workflows/RunAnalysis.h"

#include "store/ResultsFile.h"
#include "workflows/ProfileRun.h"

#include <algorithm>
#include <cmath>

namespace {

// Enough to resolve a few millivolts over a cell's whole range; a run over hundreds of
// volts gets wider bins rather than a curve too long to draw or smooth.
constexpr int kMostBins = 20000;

bool Finite(const AnalysisPoint& p)
{
    return std::isfinite(p.voltage) && std::isfinite(p.capacityAh);
}

// The readings that can be placed, their capacity never going back.
std::vector<AnalysisPoint> Usable(const std::vector<AnalysisPoint>& points)
{
    std::vector<AnalysisPoint> usable;
    usable.reserve(points.size());
    double highest = 0;
    for (const AnalysisPoint& p : points) {
        if (!Finite(p))
            continue;
        AnalysisPoint held = p;
        highest = usable.empty() ? p.capacityAh : std::max(highest, p.capacityAh);
        held.capacityAh = highest;
        usable.push_back(held);
    }
    return usable;
}

} // namespace

std::vector<QPointF> VoltageAgainstCapacity(const std::vector<AnalysisPoint>& points)
{
    std::vector<QPointF> curve;
    const std::vector<AnalysisPoint> usable = Usable(points);
    curve.reserve(usable.size());
    for (const AnalysisPoint& p : usable)
        curve.emplace_back(p.capacityAh, p.voltage);
    return curve;
}

std::vector<QPointF> IncrementalCapacity(
    const std::vector<AnalysisPoint>& points, const IncrementalCapacityOptions& options)
{
    const std::vector<AnalysisPoint> usable = Usable(points);
    if (usable.size() < 2 || usable.back().capacityAh <= usable.front().capacityAh)
        return {};
    const auto [low, high] = std::minmax_element(usable.begin(), usable.end(),
        [](const AnalysisPoint& a, const AnalysisPoint& b) { return a.voltage < b.voltage; });
    const double vMin = low->voltage;
    const double range = high->voltage - vMin;
    double bin = options.binVolts > 0 && std::isfinite(options.binVolts) ? options.binVolts : 0.005;
    if (range / bin > kMostBins)
        bin = range / kMostBins;
    const int bins = std::max(1, static_cast<int>(std::ceil(range / bin)));
    const auto binOf
        = [&](double v) { return std::clamp(static_cast<int>(std::floor((v - vMin) / bin)), 0, bins - 1); };

    // Charge per bin: the partial bins at a segment's ends directly, the bins it covers
    // whole through a difference array, so a segment costs the same however many it spans.
    std::vector<double> charge(static_cast<size_t>(bins), 0.0);
    std::vector<double> whole(static_cast<size_t>(bins) + 1, 0.0);
    for (size_t i = 1; i < usable.size(); ++i) {
        const double moved = usable[i].capacityAh - usable[i - 1].capacityAh;
        if (moved <= 0)
            continue;
        const double a = std::min(usable[i - 1].voltage, usable[i].voltage);
        const double b = std::max(usable[i - 1].voltage, usable[i].voltage);
        const int ia = binOf(a);
        const int ib = binOf(b);
        if (ia == ib) {
            charge[static_cast<size_t>(ia)] += moved;
            continue;
        }
        const double perVolt = moved / (b - a); // b > a: they lie in different bins
        charge[static_cast<size_t>(ia)] += perVolt * (vMin + (ia + 1) * bin - a);
        charge[static_cast<size_t>(ib)] += perVolt * (b - (vMin + ib * bin));
        whole[static_cast<size_t>(ia) + 1] += perVolt * bin;
        whole[static_cast<size_t>(ib)] -= perVolt * bin;
    }
    double running = 0;
    for (size_t k = 0; k < charge.size(); ++k) {
        running += whole[k];
        charge[k] += running;
    }

    // A centred moving average, each bin's charge spread evenly over the bins around it;
    // at the ends the spread stops at the last bin, so no charge is lost there.
    const int half = std::max(0, static_cast<int>(std::lround(options.smoothingVolts / bin)) / 2);
    std::vector<double> spread(charge.size() + 1, 0.0);
    for (int k = 0; k < bins; ++k) {
        const int from = std::max(0, k - half);
        const int to = std::min(bins - 1, k + half);
        const double share = charge[static_cast<size_t>(k)] / (to - from + 1);
        spread[static_cast<size_t>(from)] += share;
        spread[static_cast<size_t>(to) + 1] -= share;
    }
    std::vector<QPointF> curve;
    curve.reserve(charge.size());
    running = 0;
    for (int k = 0; k < bins; ++k) {
        running += spread[static_cast<size_t>(k)];
        curve.emplace_back(vMin + (k + 0.5) * bin, std::max(0.0, running) / bin);
    }
    return curve;
}

std::vector<QPointF> ThinForDrawing(const std::vector<QPointF>& curve, int maxPoints)
{
    const size_t groups = static_cast<size_t>(std::max(1, maxPoints / 4));
    if (curve.size() <= static_cast<size_t>(std::max(maxPoints, 4)))
        return curve;
    const size_t size = (curve.size() + groups - 1) / groups;
    std::vector<QPointF> thin;
    thin.reserve(groups * 4);
    for (size_t first = 0; first < curve.size(); first += size) {
        const size_t last = std::min(curve.size(), first + size) - 1;
        size_t lowest = first, highest = first;
        for (size_t i = first; i <= last; ++i) {
            if (curve[i].y() < curve[lowest].y())
                lowest = i;
            if (curve[i].y() > curve[highest].y())
                highest = i;
        }
        // In the curve's own order, each point once.
        size_t picked[] = { first, std::min(lowest, highest), std::max(lowest, highest), last };
        for (size_t n = 0; n < 4; ++n) {
            if (n == 0 || picked[n] != picked[n - 1])
                thin.push_back(curve[picked[n]]);
        }
    }
    return thin;
}

std::vector<AnalysisPoint> AnalysisPointsFromReadings(const std::vector<BdfReading>& readings)
{
    std::vector<AnalysisPoint> points;
    points.reserve(readings.size());
    double integrated = 0;
    for (size_t i = 0; i < readings.size(); ++i) {
        const BdfReading& r = readings[i];
        if (i > 0) {
            const BdfReading& before = readings[i - 1];
            integrated
                += (r.testTimeSeconds - before.testTimeSeconds) * (r.current + before.current) / 2 / 3600;
        }
        points.push_back({ r.testTimeSeconds, r.voltage, r.current, r.capacityAh.value_or(integrated) });
    }
    return points;
}

std::vector<AnalysisPoint> AnalysisPointsFromProfile(const std::vector<ProfileSample>& samples)
{
    std::vector<AnalysisPoint> points;
    points.reserve(samples.size());
    for (const ProfileSample& s : samples)
        points.push_back({ s.seconds, s.voltage, s.current, s.capacityAh });
    return points;
}

std::vector<AnalysisPoint> AnalysisPointsFromProfileRows(const std::vector<QStringList>& rows)
{
    // Run, Step, StepKind, TestTime, Voltage, Current, Power, Capacity, Energy, MeasTime
    std::vector<AnalysisPoint> points;
    points.reserve(rows.size());
    for (const QStringList& row : rows) {
        if (row.size() < 8)
            continue;
        bool ok[4] = {};
        const AnalysisPoint p { row[3].toDouble(&ok[0]), row[4].toDouble(&ok[1]), row[5].toDouble(&ok[2]),
            row[7].toDouble(&ok[3]) };
        if (ok[0] && ok[1] && ok[2] && ok[3])
            points.push_back(p);
    }
    return points;
}

std::vector<AnalysisRun> StoredAnalysisRuns(ResultsFile& results, const QString& station)
{
    std::vector<AnalysisRun> runs;
    for (const StoredRun& stored : results.Runs()) {
        if (stored.table != ResultsTable::Battery && stored.table != ResultsTable::Profile)
            continue;
        AnalysisRun run;
        run.label = stored.key;
        run.station = stored.station.isEmpty() ? station : stored.station;
        run.started = stored.started;
        if (stored.table == ResultsTable::Profile) {
            // The stores keep a profile run's readings, not its text.
            run.profile = QStringLiteral("profile run");
            run.loadPoints = [&results, key = stored.key] {
                return AnalysisPointsFromProfileRows(results.RunRows(ResultsTable::Profile, key));
            };
        } else {
            run.loadPoints = [&results, key = stored.key, started = stored.started] {
                return AnalysisPointsFromReadings(
                    BdfReadingsFromBatteryRows(results.RunRows(ResultsTable::Battery, key), started));
            };
        }
        runs.push_back(std::move(run));
    }
    return runs;
}
