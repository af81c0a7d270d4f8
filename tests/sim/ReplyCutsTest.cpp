// Every reply of the simulated instrument read through the program's own cuts: what the
// window would show must be the value that was set.
#include "replies/MeasurementCuts.h"
#include "replies/Numbers.h"
#include "replies/ReadBack.h"
#include "replies/ReplyShapes.h"
#include "replies/TextCuts.h"
#include "sim/InstrumentModel.h"

#include <functional>
#include <gtest/gtest.h>

namespace {
QString Ask(InstrumentModel& model, const std::vector<std::string>& setup, const std::string& query)
{
    for (const auto& line : setup)
        EXPECT_FALSE(model.Execute(line).has_value()) << line;
    const auto reply = model.Execute(query);
    EXPECT_TRUE(reply.has_value()) << query;
    return QString::fromStdString(reply.value_or(""));
}

using Cut = std::function<QString(const QString&)>;
Cut First(int n)
{
    return [n](const QString& r) { return FirstChars(r, n); };
}
Cut Before(char mark)
{
    return [mark](const QString& r) { return TextBefore(r, QChar(mark)); };
}
// The width of a transient level and the dwell of a list step: after the comma, before the unit.
Cut SecondBefore(char mark)
{
    return [mark](const QString& r) { return TextBefore(RestAfterComma(r), QChar(mark)); };
}
// The limits of a step comparison: the second and third comma fields.
Cut Field(int index)
{
    return [index](const QString& r) {
        QString rest = r;
        for (int i = 0; i < index; ++i)
            rest = RestAfterComma(rest);
        return TextBefore(rest, QChar(','));
    };
}
Cut Whole()
{
    return [](const QString& r) { return r; };
}

struct ReadBackCase
{
    std::vector<std::string> setup;
    std::string query;
    Cut cut;
    QString shown;
};
} // namespace

// The code the program sends the query with.
ReplyCode CodeOf(const std::string& query)
{
    for (const ReadBackQuery& q : ReadBackQueries())
        if (q.command == QString::fromStdString(query))
            return q.code;
    ADD_FAILURE() << query << " is no read-back query";
    return ReplyCode::None;
}

TEST(SimReplyCuts, EverySettingQueryCutsToTheValueSet)
{
    const ReadBackCase cases[] = {
        { { "load:curr 1.5" }, "load:curr?", First(5), "1.500" },
        { { "load:volt 12.5" }, "load:volt?", First(5), "12.50" },
        { { "load:pow 100" }, "load:pow?", First(5), "100.0" },
        { { "load:res 4000" }, "load:res?", First(5), "4000." },
        { {}, "mset:imax?", First(5), "30.00" },
        { { "mset:imax 5" }, "mset:imax?", First(5), "5.000" },
        { {}, "mset:vmax?", First(5), "150.0" },
        { { "mset:pmax 300" }, "mset:pmax?", First(5), "300.0" },
        { { "mset:von 0.5" }, "mset:von?", First(5), "0.500" },
        { { "mset:voff 1" }, "mset:voff?", First(5), "1.000" },
        { { "mset:aoff 5" }, "mset:aoff?", Before('s'), "5" },
        { { "mset:rsen on" }, "mset:rsen?", First(2), "ON" },
        { { "mset:rsen off" }, "mset:rsen?", First(2), "OF" },
        { { "bat:curr 0.3" }, "bat:curr?", Before('A'), "0.300" },
        { { "bat:vmin 10.8" }, "bat:vmin?", Before('V'), "10.800" },
        { { "tran:lmod cc" }, "tran:lmod?", First(2), "CC" },
        { { "tran:lmod cv" }, "tran:lmod?", First(2), "CV" },
        { { "tran:tmod cont" }, "tran:tmod?", First(4), "CONT" },
        { { "tran:tmod puls" }, "tran:tmod?", First(4), "PULS" },
        { { "tran:tmod trig" }, "tran:tmod?", First(4), "TRIG" },
        { { "tran:leva 1,10" }, "tran:leva?", Before(','), "1.000" },
        { { "tran:leva 1,10" }, "tran:leva?", SecondBefore('m'), "10" },
        { { "tran:levb 2.5,250" }, "tran:levb?", Before(','), "2.500" },
        { { "tran:levb 2.5,250" }, "tran:levb?", SecondBefore('m'), "250" },
        { { "list:snum 13" }, "list:snum?", Whole(), "13" },
        { { "list:smod auto" }, "list:smod?", First(4), "AUTO" },
        { { "list:smod trig" }, "list:smod?", First(4), "TRIG" },
        { { "list:rep on" }, "list:rep?", First(2), "ON" },
        { { "list:rep off" }, "list:rep?", First(2), "OF" },
        { {}, "list:step0:lev?", Before(','), "0.200" },
        { {}, "list:step0:lev?", SecondBefore('s'), "5" },
        { { "list:step14:lev 12,0.5" }, "list:step14:lev?", Before(','), "12.000" },
        { { "list:step14:lev 12,0.5" }, "list:step14:lev?", SecondBefore('s'), "0.5" },
        { {}, "list:step1:comp?", Before(','), "curr" },
        { { "list:step3:comp volt,11,13" }, "list:step3:comp?", Before(','), "volt" },
        { { "list:step3:comp volt,11,13" }, "list:step3:comp?", Field(1), "11.000" },
        { { "list:step3:comp volt,11,13" }, "list:step3:comp?", Field(2), "13.000" },
        { { "list:step4:comp pow,1.5,2" }, "list:step4:comp?", Before(','), "pow" },
        { { "list:step2:comp off" }, "list:step2:comp?", Before(','), "off" },
        { { "list:step2:comp off" }, "list:step2:comp?", Field(1), "0.000" },
    };
    for (const auto& c : cases) {
        InstrumentModel model;
        const QString reply = Ask(model, c.setup, c.query);
        EXPECT_EQ(c.cut(reply), c.shown) << c.query;
        EXPECT_TRUE(FitsShape(CodeOf(c.query), MeasurementLayout::Main, reply)) << reply.toStdString();
    }
}

TEST(SimReplyCuts, LimitsReadBackAsTheNumbersTheWindowStores)
{
    InstrumentModel model;
    EXPECT_DOUBLE_EQ(StrToFloat(FirstChars(Ask(model, {}, "mset:imax?"), 5)), 30.0);
    EXPECT_DOUBLE_EQ(StrToFloat(FirstChars(Ask(model, {}, "mset:vmax?"), 5)), 150.0);
    EXPECT_DOUBLE_EQ(StrToFloat(FirstChars(Ask(model, { "mset:pmax 12.5" }, "mset:pmax?"), 5)), 12.5);
}

TEST(SimReplyCuts, OrdinaryFetchGivesVoltageCurrentAndPower)
{
    InstrumentModel model;
    const QString reply = Ask(model, { "load:mode cc", "load:curr 1", "load on" }, "fetch?");
    EXPECT_EQ(reply, "11.94V,1.000A,11.94W");
    EXPECT_TRUE(FitsShape(ReplyCode::Measurement, MeasurementLayout::Main, reply));
    const MainReading r = CutMainReading(reply);
    EXPECT_EQ(r.voltage, "11.94");
    EXPECT_EQ(r.current, "1.000");
    EXPECT_EQ(PowerText(r), "11.94");
}

TEST(SimReplyCuts, BatteryFetchCutsIntoItsFourFields)
{
    InstrumentModel model;
    Ask(model, { "load:mode bat", "bat:curr 0.3", "load on" }, "fetch?");
    model.Advance(125.4);
    const QString reply = Ask(model, {}, "fetch?");
    EXPECT_TRUE(FitsShape(ReplyCode::Measurement, MeasurementLayout::Battery, reply)) << reply.toStdString();
    const BatteryReading r = CutBatteryReading(reply);
    EXPECT_EQ(r.current, "0.300") << reply.toStdString();
    EXPECT_EQ(r.time, "125") << reply.toStdString();
    EXPECT_EQ(r.capacity, "0.010") << reply.toStdString();
    EXPECT_EQ(r.voltage.size(), 5);
    EXPECT_GT(r.voltageValue, 10.5);
    EXPECT_LT(r.voltageValue, 12.6);
}

// Every step, one digit or two, is read back as the step it is.
TEST(SimReplyCuts, EveryStepReadingCutsToItsOwnStep)
{
    InstrumentModel model;
    Ask(model, { "load:mode list", "list:snum 14" }, "fetch?");
    for (int n = 0; n < 15; ++n)
        model.Execute("list:step" + std::to_string(n) + ":lev 0.5,1");
    model.Execute("load on");
    model.Advance(0.5);
    for (int n = 0; n < 15; ++n) {
        SCOPED_TRACE(n);
        const QString reply = Ask(model, {}, "fetch?");
        EXPECT_TRUE(FitsShape(ReplyCode::Measurement, MeasurementLayout::List, reply)) << reply.toStdString();
        const StepReading r = CutStepReading(reply);
        EXPECT_EQ(r.stepIndex, n) << reply.toStdString();
        EXPECT_EQ(r.step, QString::number(n));
        EXPECT_EQ(r.voltage, "11.97");
        EXPECT_EQ(r.current, "0.500");
        model.Advance(1.0);
    }
}

TEST(SimReplyCuts, ListReportCutsIntoListAndStepVerdicts)
{
    InstrumentModel model;
    Ask(model,
        { "load:mode list", "list:snum 2", "list:step0:lev 0.2,1", "list:step1:lev 0.5,1",
            "list:step2:lev 0.2,1", "list:step2:comp off", "load on" },
        "fetch?");
    model.Advance(3.5);
    const QString report = Ask(model, {}, "fetch?");
    EXPECT_EQ(report, "L3:2,1,2,0");
    EXPECT_TRUE(FitsShape(ReplyCode::Measurement, MeasurementLayout::List, report));
    EXPECT_EQ(ListVerdict(report), 2);
    EXPECT_EQ(StepVerdict(report, 0), "1");
    EXPECT_EQ(StepVerdict(report, 1), "2");
    EXPECT_EQ(StepVerdict(report, 2), "0");
    EXPECT_EQ(StepVerdict(report, 3), "");
}
