// Voltage against capacity and dQ/dV from synthetic discharges whose answer is known.
#include "workflows/RunAnalysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

// A discharge at 1 A read every second, its voltage a function of the charge taken; `wobble`
// adds to each reading's voltage (noise, a rest's recovery).
std::vector<AnalysisPoint> Discharge(
    double capacityAh, const std::function<double(double)>& voltageAt,
    const std::function<double(int)>& wobble = [](int) { return 0.0; })
{
    std::vector<AnalysisPoint> points;
    const int readings = static_cast<int>(capacityAh * 3600) + 1;
    for (int i = 0; i < readings; ++i) {
        const double q = i / 3600.0;
        points.push_back({ double(i), voltageAt(q) + wobble(i), 1.0, q });
    }
    return points;
}

// 4.0 V falling 1 V per Ah to 3.7 V, a plateau of 1 Ah from 3.7 V to 3.65 V, then 1 V per
// 0.5 Ah: a peak of 20 Ah/V at 3.675 V between two shoulders of 1 and 0.5 Ah/V.
double WithPlateau(double q)
{
    if (q < 0.3)
        return 4.0 - q;
    if (q < 1.3)
        return 3.7 - 0.05 * (q - 0.3);
    return 3.65 - 2.0 * (q - 1.3);
}

double Area(const std::vector<QPointF>& curve, double bin)
{
    double area = 0;
    for (const QPointF& p : curve)
        area += p.y() * bin;
    return area;
}

QPointF Peak(const std::vector<QPointF>& curve)
{
    return *std::max_element(
        curve.begin(), curve.end(), [](const QPointF& a, const QPointF& b) { return a.y() < b.y(); });
}

TEST(RunAnalysis, LinearVoltageGivesConstantIncrementalCapacity)
{
    // V = 4 - 0.5 Q: dQ/dV is 2 Ah/V everywhere, whatever the bins and the smoothing.
    const auto points = Discharge(2.0, [](double q) { return 4.0 - 0.5 * q; });
    const IncrementalCapacityOptions options[] = { { 0.005, 0 }, { 0.005, 0.05 }, { 0.01, 0.02 } };
    for (const IncrementalCapacityOptions& o : options) {
        SCOPED_TRACE(testing::Message() << o.binVolts << " V bins, " << o.smoothingVolts << " V smoothing");
        const auto curve = IncrementalCapacity(points, o);
        ASSERT_FALSE(curve.empty());
        EXPECT_NEAR(curve.front().x(), 3.0 + o.binVolts / 2, 1e-9);
        for (const QPointF& p : curve) {
            if (p.x() > 3.1 && p.x() < 3.9) {
                EXPECT_NEAR(p.y(), 2.0, 0.02) << p.x();
            }
        }
        EXPECT_NEAR(Area(curve, o.binVolts), 2.0, 1e-6);
    }
}

TEST(RunAnalysis, APlateauIsAPeakAtItsVoltageThroughRestsAndNoise)
{
    const struct
    {
        const char* name;
        std::function<double(int)> wobble;
    } shapes[] = {
        { "clean", [](int) { return 0.0; } },
        // A reading now and then 4 mV off, either way: voltage not monotonic.
        { "noise", [](int i) { return (i % 7 == 3) ? 0.004 : (i % 11 == 5 ? -0.004 : 0.0); } },
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.name);
        auto points = Discharge(1.6, WithPlateau, shape.wobble);
        // A rest in the middle: 60 readings with no charge taken while the voltage recovers.
        const AnalysisPoint at = points[1800];
        std::vector<AnalysisPoint> rest;
        for (int i = 0; i < 60; ++i)
            rest.push_back({ at.seconds, at.voltage + 0.001 * i, 0.0, at.capacityAh });
        points.insert(points.begin() + 1800, rest.begin(), rest.end());
        const auto curve = IncrementalCapacity(points, { 0.005, 0.02 });
        ASSERT_FALSE(curve.empty());
        const QPointF peak = Peak(curve);
        EXPECT_NEAR(peak.x(), 3.675, 0.015);
        EXPECT_GT(peak.y(), 10.0);
        for (const QPointF& p : curve) {
            EXPECT_TRUE(std::isfinite(p.y()));
            EXPECT_GE(p.y(), 0.0);
        }
        // Away from the plateau, the shoulders.
        EXPECT_NEAR(curve[static_cast<size_t>((3.85 - 3.05) / 0.005)].y(), 1.0, 0.05);
        EXPECT_NEAR(curve[static_cast<size_t>((3.3 - 3.05) / 0.005)].y(), 0.5, 0.05);
        EXPECT_NEAR(Area(curve, 0.005), 1.6, 1e-3);
    }
}

TEST(RunAnalysis, DegenerateRunsGiveFiniteCurvesOrNone)
{
    const double nan = std::nan("");
    const struct
    {
        const char* name;
        std::vector<AnalysisPoint> points;
        size_t bins; // of the dQ/dV curve
        double area; // Ah under it
    } cases[] = {
        { "no readings", {}, 0, 0 },
        { "one reading", { { 0, 3.7, 1, 0 } }, 0, 0 },
        { "no charge moved", { { 0, 3.7, 0, 0.5 }, { 1, 3.8, 0, 0.5 } }, 0, 0 },
        // Every reading at one voltage: all the charge in a single bin, no division by zero.
        { "flat voltage", { { 0, 3.7, 1, 0 }, { 1, 3.7, 1, 0.1 }, { 2, 3.7, 1, 0.3 } }, 1, 0.3 },
        // The count restarted: held at its highest, the later charge still counts.
        { "count went back",
            { { 0, 3.9, 1, 0 }, { 1, 3.8, 1, 0.2 }, { 2, 3.75, 1, 0.05 }, { 3, 3.7, 1, 0.3 } }, 40, 0.3 },
        { "a reading not a number", { { 0, 3.9, 1, 0 }, { 1, nan, 1, 0.1 }, { 2, 3.7, 1, 0.2 } }, 40, 0.2 },
        // A wide range gets wider bins, not millions of them.
        { "hundreds of volts", { { 0, 600, 1, 0 }, { 1, 0.5, 1, 1 } }, 20000, 1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto curve = IncrementalCapacity(c.points, { 0.005, 0.02 });
        ASSERT_EQ(curve.size(), c.bins);
        if (curve.empty())
            continue;
        const double bin = curve.size() > 1 ? curve[1].x() - curve[0].x() : 0.005;
        EXPECT_NEAR(Area(curve, bin), c.area, 1e-9);
        for (const QPointF& p : curve)
            EXPECT_TRUE(std::isfinite(p.x()) && std::isfinite(p.y()));
        const auto vq = VoltageAgainstCapacity(c.points);
        for (size_t i = 1; i < vq.size(); ++i)
            EXPECT_GE(vq[i].x(), vq[i - 1].x());
    }
}

TEST(RunAnalysis, ThinnedCurveKeepsItsEnvelopeAndEnds)
{
    std::vector<QPointF> curve;
    for (int i = 0; i < 100000; ++i)
        curve.emplace_back(i, std::sin(i / 500.0) + (i == 61234 ? 5 : 0) - (i == 7 ? 5 : 0));
    const auto thin = ThinForDrawing(curve, 2000);
    EXPECT_LE(thin.size(), 2000u);
    EXPECT_EQ(thin.front(), curve.front());
    EXPECT_EQ(thin.back(), curve.back());
    EXPECT_TRUE(std::find(thin.begin(), thin.end(), curve[61234]) != thin.end());
    EXPECT_TRUE(std::find(thin.begin(), thin.end(), curve[7]) != thin.end());
    EXPECT_TRUE(std::is_sorted(
        thin.begin(), thin.end(), [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); }));
    const std::vector<QPointF> shortCurve(curve.begin(), curve.begin() + 100);
    EXPECT_EQ(ThinForDrawing(shortCurve, 2000), shortCurve);
}

TEST(RunAnalysis, BatteryReadingsWithoutCountsAreIntegrated)
{
    std::vector<BdfReading> readings(3);
    readings[0] = { 0, 12.6, 2.0, 0, 1, 1, 1, std::nullopt, std::nullopt, std::nullopt };
    readings[1] = { 1800, 12.4, 2.0, 0, 1, 1, 1, std::nullopt, std::nullopt, std::nullopt };
    readings[2] = { 3600, 12.1, 2.0, 0, 1, 1, 1, 0.99, std::nullopt, std::nullopt };
    const auto points = AnalysisPointsFromReadings(readings);
    ASSERT_EQ(points.size(), 3u);
    EXPECT_DOUBLE_EQ(points[1].capacityAh, 1.0);
    EXPECT_DOUBLE_EQ(points[2].capacityAh, 0.99); // the instrument's own count wins
    EXPECT_DOUBLE_EQ(points[2].voltage, 12.1);
}

} // namespace
