// The simulator with a battery cell in place of the bench supply: its open-circuit curve,
// the current each load mode draws from it, its discharge over time, and the step in its
// terminal voltage when the current steps (what an internal-resistance measurement reads).
#include "sim/InstrumentModel.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {
constexpr double kLeadOhm = InstrumentModel::kLeadOhm;

BatteryCell LiIon(double capacityAh = 2.0, double ohm = 0.05)
{
    const CellVolts v = ChemistryVolts(CellChemistry::LiIon);
    return BatteryCell(capacityAh, ohm, v.full, v.empty, CellChemistry::LiIon);
}

BatteryCell LeadAcid(double capacityAh = 2.0, double ohm = 0.05)
{
    const CellVolts v = ChemistryVolts(CellChemistry::LeadAcid);
    return BatteryCell(capacityAh, ohm, v.full, v.empty, CellChemistry::LeadAcid);
}

void Send(InstrumentModel& model, const std::vector<std::string>& lines)
{
    for (const auto& line : lines) {
        model.Execute(line);
        EXPECT_FALSE(model.LastLineIgnored()) << line;
    }
}

// The current a load mode draws from an open-circuit voltage `e` behind `ohm`, `t` seconds
// after switching on, worked out from the circuit.
using Draw = double (*)(double e, double ohm, double t);
} // namespace

TEST(SimCell, OpenCircuitVoltageFollowsTheChemistrysCurve)
{
    const struct
    {
        BatteryCell cell;
        double soc;
        double low, high; // volts
    } cases[] = {
        { LiIon(), 1.0, 4.2, 4.2 },
        { LiIon(), 0.0, 3.0, 3.0 },
        { LiIon(), 0.3, 3.6, 3.7 }, // the plateau
        { LiIon(), 0.5, 3.6, 3.7 },
        { LiIon(), 0.95, 4.06, 4.19 },
        { LiIon(), 0.02, 3.05, 3.3 }, // the drop into empty
        { LiIon(), -0.02, 0, 0 }, // overdrawn: collapsed
        { LeadAcid(), 1.0, 12.6, 12.6 },
        { LeadAcid(), 0.0, 10.5, 10.5 },
        { LeadAcid(), 0.5, 12.0, 12.4 },
    };
    for (const auto& c : cases) {
        const double v = c.cell.OpenCircuitVoltsAt(c.soc);
        EXPECT_GE(v, c.low - 1e-9) << c.soc;
        EXPECT_LE(v, c.high + 1e-9) << c.soc;
    }
    for (const BatteryCell& cell : { LiIon(), LeadAcid() })
        for (double soc = 0; soc < 1; soc += 0.01)
            EXPECT_LT(cell.OpenCircuitVoltsAt(soc), cell.OpenCircuitVoltsAt(soc + 0.01)) << soc;
}

// Every mode discharges the cell by the current it draws; after a known time the state of
// charge, the current and the terminal voltage are those of the circuit integrated in fine
// steps alongside.
TEST(SimCell, EveryModeDrawsFromTheCellAsTheCircuitSays)
{
    const struct
    {
        const char* name;
        std::vector<std::string> setup;
        double seconds;
        Draw draw;
        bool leads = false; // remote sense off: the leads' resistance is in circuit
    } cases[] = {
        { "input off", {}, 1800, [](double, double, double) { return 0.0; } },
        { "cc 2 A on 2 Ah for half an hour", { "load:curr 2", "load on" }, 1800,
            [](double, double, double) { return 2.0; } },
        { "cc through the leads", { "load:curr 2", "load on" }, 1800,
            [](double, double, double) { return 2.0; }, true },
        { "cv 3.9 V", { "load:mode cv", "load:volt 3.9", "load on" }, 900,
            [](double e, double ohm, double) { return std::max(e - 3.9, 0.0) / ohm; } },
        { "cp 6 W", { "load:mode cp", "load:pow 6", "load on" }, 1800,
            [](double e, double ohm, double) { return (e - std::sqrt(e * e - 4 * ohm * 6)) / (2 * ohm); } },
        { "cr 2 ohm", { "load:mode cr", "load:res 2", "load on" }, 1800,
            [](double e, double ohm, double) { return e / (ohm + 2); } },
        { "battery 1.5 A", { "load:mode bat", "bat:curr 1.5", "bat:vmin 2.5", "load on" }, 1800,
            [](double, double, double) { return 1.5; } },
        { "list cc 1 A then cr 4 ohm",
            { "load:mode list", "list:snum 1", "list:step0:lmod cc", "list:step0:lev 1,600",
                "list:step1:lmod cr", "list:step1:lev 4,1200", "load on" },
            1000, [](double e, double ohm, double t) { return t < 600 ? 1.0 : e / (ohm + 4); } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstrumentModel model(LiIon(), CellWiring::EveryMode);
        Send(model, { c.leads ? "mset:rsen off" : "mset:rsen on" });
        Send(model, c.setup);
        // Uneven pieces of time, as a host's clock hands them over.
        model.Advance(0.37);
        model.Advance(c.seconds / 3 - 0.37);
        model.Advance(c.seconds - c.seconds / 3);

        const double ohm = 0.05 + (c.leads ? kLeadOhm : 0.0);
        BatteryCell cell = LiIon();
        constexpr double dt = 0.01;
        for (double t = 0; t < c.seconds - dt / 2; t += dt) {
            BatteryCell half = cell;
            half.Draw(c.draw(cell.OpenCircuitVolts(), ohm, t), dt / 2);
            cell.Draw(c.draw(half.OpenCircuitVolts(), ohm, t + dt / 2), dt);
        }
        const double amps = c.draw(cell.OpenCircuitVolts(), ohm, c.seconds);
        const OperatingPoint r = model.Reading();
        EXPECT_NEAR(model.Battery().StateOfCharge(), cell.StateOfCharge(), 1e-5);
        EXPECT_NEAR(r.amps, amps, 1e-3 + 1e-3 * amps);
        EXPECT_NEAR(r.volts, cell.OpenCircuitVolts() - amps * ohm, 2e-4);
    }
    // The worked example: half the charge gone, 3.70 V open circuit, 0.1 V lost inside.
    InstrumentModel model(LiIon(), CellWiring::EveryMode);
    Send(model, { "mset:rsen on", "load:curr 2", "load on" });
    model.Advance(1800);
    EXPECT_NEAR(model.Battery().StateOfCharge(), 0.5, 1e-9);
    EXPECT_NEAR(model.Reading().volts, 3.6, 1e-9);
}

// Stepping the current from I1 to I2 drops the terminal by (I2 - I1) times the resistance in
// circuit, a second of discharge later, to within 1 %.
TEST(SimCell, CurrentStepDropsTheTerminalByTheResistance)
{
    const struct
    {
        const char* name;
        BatteryCell cell;
        std::vector<std::string> first, second;
        bool leads;
        double ohm; // in circuit
    } cases[] = {
        { "li-ion cc 1 to 3 A", LiIon(2, 0.05), { "load:curr 1" }, { "load:curr 3" }, false, 0.05 },
        { "with the leads", LiIon(2, 0.05), { "load:curr 1" }, { "load:curr 3" }, true, 0.06 },
        { "stiff cell", LiIon(20, 0.005), { "load:curr 0.5" }, { "load:curr 10" }, false, 0.005 },
        { "lead-acid", LeadAcid(7, 0.2), { "load:curr 0.5" }, { "load:curr 5" }, false, 0.2 },
        { "cr 10 to 2 ohm", LiIon(2, 0.1), { "load:mode cr", "load:res 10" }, { "load:res 2" }, false, 0.1 },
        { "cp 2 to 8 W", LiIon(2, 0.1), { "load:mode cp", "load:pow 2" }, { "load:pow 8" }, false, 0.1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstrumentModel model(c.cell, CellWiring::EveryMode);
        Send(model, { c.leads ? "mset:rsen off" : "mset:rsen on" });
        Send(model, c.first);
        Send(model, { "load on" });
        model.Advance(300);
        const OperatingPoint before = model.Reading();
        Send(model, c.second);
        model.Advance(1);
        const OperatingPoint after = model.Reading();
        ASSERT_GT(after.amps, before.amps);
        const double drop = before.volts - after.volts;
        EXPECT_NEAR(drop / (after.amps - before.amps), c.ohm, 0.01 * c.ohm);
    }
}

// Without the cell the ordinary modes keep loading the 12 V bench supply, which does not
// run down; the battery mode keeps its 12 V block.
TEST(SimCell, WithoutTheCellTheBenchSupplyStays)
{
    InstrumentModel model;
    model.Execute("load:curr 2");
    model.Execute("load on");
    model.Advance(7200);
    EXPECT_EQ(model.Execute("fetch?").value_or(""), "11.88V,2.000A,23.76W");
    EXPECT_EQ(model.Battery().DrawnAh(), 0);
}
