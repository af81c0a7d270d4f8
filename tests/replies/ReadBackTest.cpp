// The settings read-back table: which field each reply code writes, and what it writes.
#include "replies/ReadBack.h"

#include <gtest/gtest.h>

namespace {

// Codes no query carries.
ReplyCode Unknown(int number)
{
    return static_cast<ReplyCode>(number);
}

struct TextCase
{
    ReplyCode code;
    const char* reply;
    std::vector<std::pair<QString, QString>> texts;
};

class ReadBackTexts : public ::testing::TestWithParam<TextCase>
{
};

TEST_P(ReadBackTexts, WritesTheCutIntoItsFields)
{
    const TextCase& c = GetParam();
    const ReadBackResult r = ReadBack(c.code, QString::fromLatin1(c.reply));
    EXPECT_EQ(r.texts, c.texts) << "code " << CodeNumber(c.code) << " reply " << c.reply;
    EXPECT_TRUE(r.select.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Table, ReadBackTexts,
    ::testing::Values(TextCase { ReplyCode::CurrentSetPoint, "10.000",
                          { { "ISet", "10.00" } } }, // six characters: first five
        TextCase { ReplyCode::CurrentSetPoint, "1.5A",
            { { "ISet", "1.5A" } } }, // shorter: whole reply, unit included
        TextCase { ReplyCode::VoltageSetPoint, "10.000V", { { "VSet", "10.00" } } },
        TextCase { ReplyCode::PowerSetPoint, "150.00W", { { "PSet", "150.0" } } },
        TextCase { ReplyCode::ResistanceSetPoint, "4000.000R", { { "RSet", "4000." } } },
        TextCase { ReplyCode::OnVoltage, "0.500V", { { "MinVOn", "0.500" } } },
        TextCase { ReplyCode::OffVoltage, "0.000V", { { "MinVOff", "0.000" } } },
        TextCase { ReplyCode::AutoOffDelay, "5s", { { "AutoOff", "5" } } },
        TextCase { ReplyCode::AutoOffDelay, "5", { { "AutoOff", "" } } }, // no unit: empty
        TextCase { ReplyCode::BatteryCurrent, "0.300A", { { "BChargeI", "0.300" } } },
        TextCase { ReplyCode::BatteryCutOff, "8.000V", { { "BOffV", "8.000" } } },
        TextCase { ReplyCode::TransientLevelA, "1.000,10ms", { { "TranA0", "1.000" }, { "TranA1", "10" } } },
        TextCase { ReplyCode::TransientLevelB, "2.5,300ms", { { "TranB0", "2.5" }, { "TranB1", "300" } } },
        TextCase {
            ReplyCode::TransientLevelA, "1.000", { { "TranA0", "" }, { "TranA1", "" } } }, // no comma, no "m"
        // The last step's index: one more steps; the line's terminator is no part of it.
        TextCase { ReplyCode::ListSteps, "1\r\n", { { "ListSetNum", "2" } } },
        TextCase { ReplyCode::ListSteps, "x\n", { { "ListSetNum", "x" } } },
        TextCase { ReplyCode::AutoOffDelay, "5s\r\n", { { "AutoOff", "5" } } },
        TextCase { StepLevelCode(0), "0.200,5s", { { "ValStep0", "0.200" }, { "DelayStep0", "5" } } },
        TextCase {
            StepLevelCode(14), "12.000,0.5s", { { "ValStep14", "12.000" }, { "DelayStep14", "0.5" } } },
        TextCase { StepCompareCode(0), "curr,0.100,0.300,",
            { { "ListC0", "Current" }, { "LmtLStep0", "0.100" }, { "LmtHStep0", "0.300" } } },
        TextCase { StepCompareCode(0), "curr,0.100,0.300", // high limit needs its comma
            { { "ListC0", "Current" }, { "LmtLStep0", "0.100" }, { "LmtHStep0", "" } } },
        TextCase {
            StepCompareCode(0), "off", { { "LmtLStep0", "" }, { "LmtHStep0", "" } } }, // kind unchanged
        TextCase { StepCompareCode(6), "volt,11,13,",
            { { "ListC6", "Voltage" }, { "LmtLStep6", "11" }, { "LmtHStep6", "13" } } },
        TextCase { StepCompareCode(14), "pow,1,2,",
            { { "ListC14", "Power" }, { "LmtLStep14", "1" }, { "LmtHStep14", "2" } } },
        TextCase { StepCompareCode(1), "off,0.000,0.000,",
            { { "ListC1", "Off" }, { "LmtLStep1", "0.000" }, { "LmtHStep1", "0.000" } } },
        TextCase { StepCompareCode(2), "CURR,1,2,",
            { { "LmtLStep2", "1" }, { "LmtHStep2", "2" } } }, // case-sensitive
        TextCase { ReplyCode::None, "10.000", {} }, TextCase { ReplyCode::Measurement, "12.34V,1.111A", {} },
        TextCase { Unknown(5), "x", {} }, TextCase { Unknown(99), "x", {} },
        TextCase { Unknown(200), "x", {} }, TextCase { Unknown(128), "x", {} },
        TextCase { Unknown(159), "x", {} }));

struct SelectCase
{
    ReplyCode code;
    const char* reply;
    const char* select;
};

class ReadBackSelections : public ::testing::TestWithParam<SelectCase>
{
};

TEST_P(ReadBackSelections, SelectsTheMatchingButton)
{
    const SelectCase& c = GetParam();
    const ReadBackResult r = ReadBack(c.code, QString::fromLatin1(c.reply));
    EXPECT_EQ(r.select, QString::fromLatin1(c.select))
        << "code " << CodeNumber(c.code) << " reply " << c.reply;
    EXPECT_TRUE(r.texts.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ReadBackSelections,
    ::testing::Values(SelectCase { ReplyCode::Sense, "ON", "MeasureMode1" },
        SelectCase { ReplyCode::Sense, "ON\n", "MeasureMode1" },
        SelectCase { ReplyCode::Sense, "OFF", "MeasureMode0" },
        SelectCase { ReplyCode::Sense, "on", "MeasureMode0" },
        SelectCase { ReplyCode::TransientLoad, "CC", "TranType1" },
        SelectCase { ReplyCode::TransientLoad, "CV", "TranType" },
        SelectCase { ReplyCode::TransientLoad, "cc", "TranType" },
        SelectCase { ReplyCode::TransientMode, "CONT", "TranMode0" },
        SelectCase { ReplyCode::TransientMode, "PULS", "TranMode1" },
        SelectCase { ReplyCode::TransientMode, "TRIG", "TranMode2" },
        SelectCase { ReplyCode::TransientMode, "STEP", "" },
        SelectCase { ReplyCode::TransientMode, "cont", "" },
        SelectCase { ReplyCode::ListStepMode, "AUTO", "StepAuto" },
        SelectCase { ReplyCode::ListStepMode, "TRIG", "StepTrig" },
        SelectCase { ReplyCode::ListStepMode, "auto", "StepTrig" },
        SelectCase { ReplyCode::ListRepeat, "ON", "StepRepeatY" },
        SelectCase { ReplyCode::ListRepeat, "OFF", "StepRepeatN" }));

TEST(ReadBack, MaximaCarryTheirFieldTextForConversion)
{
    const struct
    {
        ReplyCode code;
        const char* field;
        StoredMaximum which;
    } cases[] = { { ReplyCode::CurrentLimit, "MaxI", StoredMaximum::Current },
        { ReplyCode::VoltageLimit, "MaxV", StoredMaximum::Voltage },
        { ReplyCode::PowerLimit, "MaxP", StoredMaximum::Power } };
    for (const auto& c : cases) {
        const ReadBackResult r = ReadBack(c.code, "10.000");
        ASSERT_EQ(r.texts.size(), 1u);
        EXPECT_EQ(r.texts[0].first, c.field);
        EXPECT_EQ(r.texts[0].second, "10.00");
        EXPECT_EQ(r.maximum, c.which);
        EXPECT_EQ(r.maximumText, "10.00");
    }
}

TEST(ReadBack, RepliesWithASlashOrNothingAreDropped)
{
    EXPECT_TRUE(IsDroppedReply(""));
    EXPECT_TRUE(IsDroppedReply("10/000"));
    EXPECT_TRUE(IsDroppedReply("/"));
    EXPECT_FALSE(IsDroppedReply("10.000"));
    EXPECT_FALSE(IsDroppedReply(QString(QChar(0))));
}

// The one table pairs every query with the code its answer is read with: each answer
// lands in the field of its own query, in the order a recall sends them.
TEST(ReadBackQueries, EachAnswerLandsInTheFieldOfItsQuery)
{
    const std::pair<const char*, const char*> head[] = { { "mset:imax?", "MaxI" }, { "mset:vmax?", "MaxV" },
        { "mset:pmax?", "MaxP" }, { "mset:von?", "MinVOn" }, { "mset:voff?", "MinVOff" },
        { "mset:aoff?", "AutoOff" }, { "load:curr?", "ISet" }, { "load:volt?", "VSet" },
        { "load:pow?", "PSet" }, { "load:res?", "RSet" }, { "mset:rsen?", "MeasureMode0" },
        { "bat:curr?", "BChargeI" }, { "bat:vmin?", "BOffV" }, { "tran:lmod?", "TranType" },
        { "tran:tmod?", "TranMode2" }, { "tran:leva?", "TranA0" }, { "tran:levb?", "TranB0" },
        { "list:snum?", "ListSetNum" }, { "list:smod?", "StepTrig" }, { "list:rep?", "StepRepeatN" } };
    const std::vector<ReadBackQuery>& queries = ReadBackQueries();
    ASSERT_EQ(queries.size(), 50u);
    // A reply every cut understands: a value with a unit, commas, and "TRIG".
    const QString reply = QStringLiteral("TRIG,1,2,sAVm");
    const auto firstTarget = [&](const ReadBackQuery& q) {
        const ReadBackResult r = ReadBack(q.code, reply);
        return r.texts.empty() ? r.select : r.texts.front().first;
    };
    for (size_t i = 0; i < std::size(head); ++i) {
        EXPECT_EQ(queries[i].command, QString::fromLatin1(head[i].first));
        EXPECT_EQ(firstTarget(queries[i]), QString::fromLatin1(head[i].second)) << head[i].first;
    }
    for (int n = 0; n < 15; ++n) {
        const ReadBackQuery& level = queries[20 + static_cast<size_t>(n)];
        const ReadBackQuery& compare = queries[35 + static_cast<size_t>(n)];
        EXPECT_EQ(level.command, QStringLiteral("list:step%1:lev?").arg(n));
        EXPECT_EQ(firstTarget(level), QStringLiteral("ValStep%1").arg(n));
        EXPECT_EQ(compare.command, QStringLiteral("list:step%1:comp?").arg(n));
        EXPECT_EQ(firstTarget(compare), QStringLiteral("LmtLStep%1").arg(n));
    }
}

} // namespace
