// The settings read-back table: which field each reply code writes, and what it writes.
#include "replies/ReadBack.h"

#include <gtest/gtest.h>

namespace {

struct TextCase {
    int code;
    const char* reply;
    std::vector<std::pair<QString, QString>> texts;
};

class ReadBackTexts : public ::testing::TestWithParam<TextCase> {};

TEST_P(ReadBackTexts, WritesTheCutIntoItsFields)
{
    const TextCase& c = GetParam();
    const ReadBackResult r = ReadBack(c.code, QString::fromLatin1(c.reply));
    EXPECT_EQ(r.texts, c.texts) << "code " << c.code << " reply " << c.reply;
    EXPECT_TRUE(r.select.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadBackTexts,
    ::testing::Values(TextCase {72, "10.000", {{"ISet", "10.00"}}}, // six characters: first five
                      TextCase {72, "1.5A", {{"ISet", "1.5A"}}},    // shorter: whole reply, unit included
                      TextCase {73, "10.000V", {{"VSet", "10.00"}}}, TextCase {74, "150.00W", {{"PSet", "150.0"}}},
                      TextCase {75, "4000.000R", {{"RSet", "4000."}}}, TextCase {84, "0.500V", {{"MinVOn", "0.500"}}},
                      TextCase {85, "0.000V", {{"MinVOff", "0.000"}}}, TextCase {86, "5s", {{"AutoOff", "5"}}},
                      TextCase {86, "5", {{"AutoOff", ""}}}, // no unit: empty
                      TextCase {91, "0.300A", {{"BChargeI", "0.300"}}}, TextCase {92, "8.000V", {{"BOffV", "8.000"}}},
                      TextCase {103, "1.000,10ms", {{"TranA0", "1.000"}, {"TranA1", "10"}}},
                      TextCase {104, "2.5,300ms", {{"TranB0", "2.5"}, {"TranB1", "300"}}},
                      TextCase {103, "1.000", {{"TranA0", ""}, {"TranA1", ""}}}, // no comma, no "m"
                      TextCase {111, "1\r\n", {{"ListSetNum", "1\r\n"}}},       // as received, terminator kept
                      TextCase {129, "0.200,5s", {{"ValStep0", "0.200"}, {"DelayStep0", "5"}}},
                      TextCase {143, "12.000,0.5s", {{"ValStep14", "12.000"}, {"DelayStep14", "0.5"}}},
                      TextCase {144, "curr,0.100,0.300,",
                                {{"ListC0", "Current"}, {"LmtLStep0", "0.100"}, {"LmtHStep0", "0.300"}}},
                      TextCase {144, "curr,0.100,0.300", // high limit needs its comma
                                {{"ListC0", "Current"}, {"LmtLStep0", "0.100"}, {"LmtHStep0", ""}}},
                      TextCase {144, "off", {{"LmtLStep0", ""}, {"LmtHStep0", ""}}}, // kind unchanged
                      TextCase {150, "volt,11,13,", {{"ListC6", "Voltage"}, {"LmtLStep6", "11"}, {"LmtHStep6", "13"}}},
                      TextCase {158, "pow,1,2,", {{"ListC14", "Power"}, {"LmtLStep14", "1"}, {"LmtHStep14", "2"}}},
                      TextCase {145, "off,0.000,0.000,",
                                {{"ListC1", "Off"}, {"LmtLStep1", "0.000"}, {"LmtHStep1", "0.000"}}},
                      TextCase {146, "CURR,1,2,", {{"LmtLStep2", "1"}, {"LmtHStep2", "2"}}}, // case-sensitive
                      TextCase {0, "10.000", {}}, TextCase {4, "12.34V,1.111A", {}}, TextCase {5, "x", {}},
                      TextCase {99, "x", {}}, TextCase {200, "x", {}}, TextCase {128, "x", {}},
                      TextCase {159, "x", {}}));

struct SelectCase {
    int code;
    const char* reply;
    const char* select;
};

class ReadBackSelections : public ::testing::TestWithParam<SelectCase> {};

TEST_P(ReadBackSelections, SelectsTheMatchingButton)
{
    const SelectCase& c = GetParam();
    const ReadBackResult r = ReadBack(c.code, QString::fromLatin1(c.reply));
    EXPECT_EQ(r.select, QString::fromLatin1(c.select)) << "code " << c.code << " reply " << c.reply;
    EXPECT_TRUE(r.texts.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadBackSelections,
    ::testing::Values(SelectCase {80, "ON", "MeasureMode1"}, SelectCase {80, "ON\n", "MeasureMode1"},
                      SelectCase {80, "OFF", "MeasureMode0"}, SelectCase {80, "on", "MeasureMode0"},
                      SelectCase {101, "CC", "TranType1"}, SelectCase {101, "CV", "TranType"},
                      SelectCase {101, "cc", "TranType"}, SelectCase {102, "CONT", "TranMode0"},
                      SelectCase {102, "PULS", "TranMode1"}, SelectCase {102, "TRIG", "TranMode2"},
                      SelectCase {102, "STEP", ""}, SelectCase {102, "cont", ""},
                      SelectCase {112, "AUTO", "StepAuto"}, SelectCase {112, "TRIG", "StepTrig"},
                      SelectCase {112, "auto", "StepTrig"}, SelectCase {113, "ON", "StepRepeatY"},
                      SelectCase {113, "OFF", "StepRepeatN"}));

TEST(ReadBack, MaximaCarryTheirFieldTextForConversion)
{
    const struct {
        int code;
        const char* field;
        StoredMaximum which;
    } cases[] = {{81, "MaxI", StoredMaximum::Current},
                 {82, "MaxV", StoredMaximum::Voltage},
                 {83, "MaxP", StoredMaximum::Power}};
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

} // namespace
