// The simulated instrument's behaviour: what it accepts, what it refuses, its memories,
// the physics behind its readings, battery discharge and list runs.
#include "sim/InstrumentModel.h"
#include "replies/MeasurementCuts.h"
#include "replies/Numbers.h"
#include "sim/ReplyFormat.h"

#include <clocale>
#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {
std::string Reply(InstrumentModel& model, const std::string& query)
{
    const auto reply = model.Execute(query);
    EXPECT_TRUE(reply.has_value()) << query;
    return reply.value_or("");
}

void Send(InstrumentModel& model, const std::vector<std::string>& lines)
{
    for (const auto& line : lines) {
        EXPECT_FALSE(model.Execute(line).has_value()) << line;
        EXPECT_FALSE(model.LastLineIgnored()) << line;
    }
}

// Every setting the instrument reports, in one text, to compare whole states.
std::string Snapshot(InstrumentModel& model)
{
    std::string all;
    for (const char* q :
        { "load:curr?", "load:volt?", "load:pow?", "load:res?", "mset:imax?", "mset:vmax?", "mset:pmax?",
            "mset:von?", "mset:voff?", "mset:aoff?", "mset:rsen?", "bat:curr?", "bat:vmin?", "tran:lmod?",
            "tran:tmod?", "tran:leva?", "tran:levb?", "list:snum?", "list:smod?", "list:rep?" })
        all += Reply(model, q) + "|";
    for (int n = 0; n < kListSteps; ++n) {
        const std::string step = "list:step" + std::to_string(n);
        all += Reply(model, step + ":lev?") + Reply(model, step + ":comp?") + "|";
    }
    return all;
}

double Field(const std::string& text)
{
    return StrToFloat(QString::fromStdString(text));
}
} // namespace

TEST(SimFormat, Fmt5IsAlwaysFiveCharactersOfTheRightNumber)
{
    const struct
    {
        double value;
        const char* text;
    } cases[] = {
        { 0, "0.000" },
        { 1.111, "1.111" },
        { 9.9996, "10.00" },
        { 12.344, "12.34" },
        { 99.996, "100.0" },
        { 123.44, "123.4" },
        { 999.96, "01000" },
        { 1234.4, "01234" },
        { -1, "0.000" },
        { NAN, "0.000" },
        { 1e9, "99999" },
    };
    for (const auto& c : cases) {
        const std::string text = Fmt5(c.value);
        EXPECT_EQ(text, c.text) << c.value;
        EXPECT_NO_THROW(Field(text)) << text;
    }
}

TEST(SimModel, NumbersIgnoreTheProcessLocale)
{
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "de_DE.utf8") == nullptr)
        GTEST_SKIP() << "no German locale installed";
    InstrumentModel model;
    model.Execute("load:curr 2.5");
    model.Execute("list:step0:lev 1,0.5");
    const std::string current = Reply(model, "load:curr?");
    const std::string level = Reply(model, "list:step0:lev?");
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(current, "2.500A");
    EXPECT_EQ(level, "1.000,0.5s");
}

TEST(SimModel, CommandsMatchWhateverTheirCaseAndBlanks)
{
    InstrumentModel model;
    Send(model,
        { "LOAD:CURR 2.5", "  Mset:Rsen ON  ", "list:STEP2:lmod CV", "Tran:TMod Puls", "load:volt +7" });
    EXPECT_EQ(Reply(model, "LOAD:CURR?"), "2.500A");
    EXPECT_EQ(Reply(model, "mset:rsen?"), "ON");
    EXPECT_EQ(model.Settings().steps[2].mode, StepMode::CV);
    EXPECT_EQ(Reply(model, "tran:tmod?"), "PULS");
    EXPECT_EQ(Reply(model, "load:volt?"), "7.000V");
}

TEST(SimModel, RefusedLinesGetNoReplyAndChangeNothing)
{
    const char* lines[] = { "bogus", "bogus?", "", "   ", "load:curr 1,5", "load:curr abc", "load:curr -1",
        "load:curr 31", "mset:imax 1e400", "mset:aoff 2.5", "load:mode xx", "load maybe", "fetch? now",
        "list:step15:lev 1,1", "list:step3:lev 1", "list:step3:lev 1,2,3", "list:step3:comp volt,1",
        "list:step3:comp amps,1,2", "list:step3:lmod xx", "list:snum 15", "list:snum -1", "mmem:save 10",
        "mmem:load x", "*adr 1.5", "tran:leva 1", "tran:lmod xx", "trig now", "load:curr 1\x7f" };
    InstrumentModel model;
    const std::string before = Snapshot(model);
    for (const char* line : lines) {
        EXPECT_FALSE(model.Execute(line).has_value()) << line;
        EXPECT_TRUE(model.LastLineIgnored()) << line;
    }
    EXPECT_EQ(Snapshot(model), before);
    EXPECT_EQ(model.Settings().mode, LoadMode::CC);
}

TEST(SimModel, MemoriesSaveAndRestoreEverySetting)
{
    InstrumentModel model;
    const std::string powerUp = Snapshot(model);
    Send(model,
        { "load:mode cr", "load:curr 1", "load:volt 2", "load:pow 3", "load:res 4", "mset:imax 5",
            "mset:vmax 6", "mset:pmax 7", "mset:von 0.8", "mset:voff 0.9", "mset:aoff 10", "mset:rsen on",
            "bat:curr 1.1", "bat:vmin 9.5", "tran:lmod cv", "tran:tmod trig", "tran:leva 1.2,13",
            "tran:levb 1.4,15", "list:snum 4", "list:smod trig", "list:rep on", "list:step7:lmod cp",
            "list:step7:lev 16,1.7", "list:step7:comp pow,18,19", "mmem:save 3" });
    const std::string saved = Snapshot(model);
    Send(model, { "load:mode cc", "load:curr 9", "list:step7:comp off", "tran:leva 2,2", "mmem:load 3" });
    EXPECT_EQ(Snapshot(model), saved);
    EXPECT_EQ(model.Settings().mode, LoadMode::CR);
    EXPECT_EQ(model.Settings().steps[7].mode, StepMode::CP);
    Send(model, { "mmem:load 0" });
    EXPECT_EQ(Snapshot(model), powerUp);
    EXPECT_EQ(model.Settings().mode, LoadMode::CC);
}

TEST(SimModel, OrdinaryModesLoadTheBenchSupplyWithinTheLimits)
{
    const struct
    {
        std::vector<std::string> setup;
        const char* reading;
    } cases[] = {
        { {}, "12.00V,0.000A,0.000W" },
        { { "load on" }, "11.40V,10.00A,114.0W" },
        { { "mset:rsen on", "load on" }, "11.50V,10.00A,115.0W" },
        { { "mset:imax 5", "load on" }, "11.70V,5.000A,58.50W" },
        { { "mset:pmax 10", "load on" }, "11.95V,0.837A,10.00W" },
        { { "mset:von 12.5", "load on" }, "12.00V,0.000A,0.000W" },
        { { "load:mode cv", "load:volt 11", "load on" }, "11.00V,16.67A,183.3W" },
        { { "load:mode cv", "load:volt 13", "load on" }, "12.00V,0.000A,0.000W" },
        { { "load:mode cp", "load:pow 60", "load on" }, "11.69V,5.132A,60.00W" },
        { { "load:mode cr", "load:res 2", "load on" }, "11.65V,5.825A,67.87W" },
        { { "load:mode sh", "mset:imax 20", "load on" }, "10.80V,20.00A,216.0W" },
        { { "load:mode sh", "load on", "load off" }, "12.00V,0.000A,0.000W" },
    };
    for (const auto& c : cases) {
        InstrumentModel model;
        Send(model, c.setup);
        EXPECT_EQ(Reply(model, "fetch?"), c.reading) << c.setup.size();
    }
}

TEST(SimModel, TransientLevelsFollowTimeAndBusTriggers)
{
    const auto current = [](InstrumentModel& m) {
        return Field(CutMainReading(QString::fromStdString(Reply(m, "fetch?"))).current.toStdString());
    };
    InstrumentModel model;
    Send(model, { "load:mode tran", "tran:leva 1,10", "tran:levb 2,30", "load on" });
    model.Advance(0.005);
    EXPECT_EQ(current(model), 1.0);
    model.Advance(0.010);
    EXPECT_EQ(current(model), 2.0);

    Send(model, { "tran:tmod trig" });
    EXPECT_EQ(current(model), 1.0);
    Send(model, { "trig" });
    EXPECT_EQ(current(model), 1.0) << "a trigger counts only once the bus is the source";
    Send(model, { "trig:sour bus", "trig" });
    EXPECT_EQ(current(model), 2.0);
    Send(model, { "trig" });
    EXPECT_EQ(current(model), 1.0);

    Send(model, { "tran:tmod puls", "trig" });
    model.Advance(0.020);
    EXPECT_EQ(current(model), 2.0);
    model.Advance(0.020);
    EXPECT_EQ(current(model), 1.0);
}

TEST(SimModel, BatteryDischargesToTheCutoffAndSwitchesOff)
{
    InstrumentModel model; // 2 Ah, 12.6 V full, 10.5 V empty
    Send(model, { "load:mode bat", "bat:curr 0.3", "bat:vmin 8", "load on" });
    double previous = 99;
    for (int hour = 0; hour < 6; ++hour) {
        model.Advance(3600);
        const BatteryReading r = CutBatteryReading(QString::fromStdString(Reply(model, "fetch?")));
        EXPECT_LT(r.voltageValue, previous) << hour;
        EXPECT_GT(r.voltageValue, 10.4) << hour;
        EXPECT_EQ(r.current, "0.300");
        EXPECT_EQ(r.time.toInt(), (hour + 1) * 3600);
        previous = r.voltageValue;
    }
    EXPECT_TRUE(model.InputOn());

    model.Advance(3 * 3600);
    EXPECT_FALSE(model.InputOn());
    const BatteryReading end = CutBatteryReading(QString::fromStdString(Reply(model, "fetch?")));
    EXPECT_EQ(end.current, "0.000");
    // The rated 2 Ah at 0.3 A last 24000 s; the collapse after that takes a few minutes.
    EXPECT_GT(end.time.toInt(), 24000);
    EXPECT_LT(end.time.toInt(), 24600);
    EXPECT_GE(end.capacity.toDouble(), 2.0);
    EXPECT_LT(end.capacity.toDouble(), 2.05);

    model.Advance(3600);
    const BatteryReading later = CutBatteryReading(QString::fromStdString(Reply(model, "fetch?")));
    EXPECT_EQ(later.time, end.time);
    EXPECT_EQ(later.capacity, end.capacity);

    Send(model, { "load on" });
    EXPECT_FALSE(model.InputOn()) << "an exhausted battery is at its cut-off at once";
}

TEST(SimModel, BatteryCutoffDoesNotDependOnHowTimeIsSliced)
{
    const auto discharge = [](double slice) {
        InstrumentModel model(BatteryCell(0.005, 0.15, 12.6, 10.5)); // about a minute at 0.3 A
        model.Execute("load:mode bat");
        model.Execute("load on");
        for (double t = 0; t < 600 && model.InputOn(); t += slice)
            model.Advance(slice);
        return model.Execute("fetch?").value_or("");
    };
    const std::string whole = discharge(600);
    EXPECT_EQ(discharge(0.25), whole);
    EXPECT_EQ(discharge(7), whole);
    EXPECT_NE(whole.find(" A,6"), std::string::npos) << whole; // a little over 60 s
}

TEST(SimModel, AutoListJudgesEveryStepAndEndsWithItsReport)
{
    InstrumentModel model;
    Send(model,
        { "load:mode list", "list:snum 2", "list:step0:lmod cc", "list:step0:lev 0.2,2",
            "list:step0:comp curr,0.1,0.3", "list:step1:lmod cv", "list:step1:lev 11,1",
            "list:step1:comp volt,11.5,12", "list:step2:lmod op", "list:step2:lev 0,1",
            "list:step2:comp off" });
    EXPECT_EQ(Reply(model, "fetch?"), "L1:0");
    Send(model, { "load on" });
    EXPECT_EQ(Reply(model, "fetch?"), "L2:0,11.99 V,0.200A,");
    model.Advance(1.5);
    EXPECT_EQ(Reply(model, "fetch?"), "L2:0,11.99 V,0.200A,");
    model.Advance(1.0);
    EXPECT_EQ(Reply(model, "fetch?"), "L2:1,11.00 V,16.67A,");
    model.Advance(1.0);
    EXPECT_EQ(Reply(model, "fetch?"), "L2:2,12.00 V,0.000A,");
    model.Advance(1.0);
    EXPECT_EQ(Reply(model, "fetch?"), "L3:2,1,2,0");
    EXPECT_FALSE(model.InputOn());
    model.Advance(10);
    EXPECT_EQ(Reply(model, "fetch?"), "L3:2,1,2,0");

    Send(model, { "load on" });
    EXPECT_EQ(Reply(model, "fetch?").substr(0, 4), "L2:0");
    Send(model, { "load off" });
    EXPECT_EQ(Reply(model, "fetch?"), "L1:0") << "an interrupted list has no verdict";
}

TEST(SimModel, TriggeredListStepsOnlyOnBusTriggers)
{
    InstrumentModel model;
    Send(model,
        { "trig:sour bus", "load:mode list", "list:smod trig", "list:snum 1", "list:step1:lmod sh",
            "load on" });
    model.Advance(100);
    EXPECT_EQ(Reply(model, "fetch?"), "L2:0,11.99 V,0.200A,");
    Send(model, { "trig" });
    EXPECT_EQ(Reply(model, "fetch?").substr(0, 5), "L2:1,");
    Send(model, { "trig" });
    EXPECT_EQ(Reply(model, "fetch?"), "L3:2,1,2") << "a short draws far more than the 0.3 A limit";
    EXPECT_FALSE(model.InputOn());
}

TEST(SimModel, RepeatedListReportsEachPassOnceAndStartsAgain)
{
    InstrumentModel model;
    Send(model, { "load:mode list", "list:rep on", "list:snum 0", "list:step0:lev 0.2,1", "load on" });
    model.Advance(1.5);
    EXPECT_EQ(Reply(model, "fetch?"), "L3:1,1");
    EXPECT_EQ(Reply(model, "fetch?"), "L2:0,11.99 V,0.200A,");
    EXPECT_TRUE(model.InputOn());
    Send(model, { "list:step0:lev 0.5,1" });
    model.Advance(1.5);
    EXPECT_EQ(Reply(model, "fetch?"), "L3:2,2");
    EXPECT_EQ(Reply(model, "fetch?").substr(0, 4), "L2:0");
}
