// The pure rules of the battery and list tests: accepted entries, step commands, verdict
// captions and the points the battery chart keeps on screen.
#include "workflows/TestRules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace {

struct EntryCase
{
    const char* text;
    std::optional<int> period, count, index;
};

TEST(TestRules, EntriesAreWholeNumbersInTheirRange)
{
    const EntryCase cases[] = {
        { "2", 2, 2, 2 },
        { "1", 1, 1, 1 },
        { "0", std::nullopt, std::nullopt, 0 },
        { "14", 14, 14, 14 },
        { "15", 15, 15, std::nullopt },
        { "16", 16, std::nullopt, std::nullopt },
        { "86400", 86400, std::nullopt, std::nullopt },
        { "86401", std::nullopt, std::nullopt, std::nullopt },
        { "2147483647", std::nullopt, std::nullopt, std::nullopt }, // period x 1000 would overflow
        { "-1", std::nullopt, std::nullopt, std::nullopt },
        { "2.5", std::nullopt, std::nullopt, std::nullopt },
        { "2.", std::nullopt, std::nullopt, std::nullopt },
        { ".", std::nullopt, std::nullopt, std::nullopt },
        { "", std::nullopt, std::nullopt, std::nullopt },
        { "two", std::nullopt, std::nullopt, std::nullopt },
        { "1,000", std::nullopt, std::nullopt, std::nullopt },
    };
    for (const EntryCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(TestPeriodSeconds(QString::fromLatin1(c.text)), c.period);
        EXPECT_EQ(ListStepCount(QString::fromLatin1(c.text)), c.count);
        EXPECT_EQ(ListStepIndex(QString::fromLatin1(c.text)), c.index);
    }
}

TEST(TestRules, WordsFollowTheItemPositionAndFallBackForTypedTexts)
{
    const char* modes[] = { "cc", "cv", "cp", "cr", "sh", "op" };
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(ListModeWord(i), QString::fromLatin1(modes[i]));
    const char* compares[] = { "curr", "volt", "pow", "off" };
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(CompareWord(i), QString::fromLatin1(compares[i]));
    for (const int typed : { -1, 6, 99 })
        EXPECT_EQ(ListModeWord(typed), u"cc") << typed;
    for (const int typed : { -1, 4, 99 })
        EXPECT_EQ(CompareWord(typed), u"curr") << typed;
    EXPECT_FALSE(ModeTakesLevel(u"sh"_qs));
    EXPECT_FALSE(ModeTakesLevel(u"op"_qs));
    EXPECT_TRUE(ModeTakesLevel(u"cr"_qs));
}

TEST(TestRules, StepCommandsCarryTheEditTextsAsTyped)
{
    const struct
    {
        QString command, expected;
    } cases[] = {
        { StepModeCommand(0, u"sh"_qs), u"list:step0:lmod sh"_qs },
        { StepModeCommand(14, u"op"_qs), u"list:step14:lmod op"_qs },
        { StepLevelCommand(3, u"12"_qs, u"5"_qs), u"list:step3:lev 12,5"_qs },
        { StepLevelCommand(1, u"0.20"_qs, u""_qs), u"list:step1:lev 0.20,"_qs },
        { StepCompareCommand(3, u"volt"_qs, u"11"_qs, u"13"_qs), u"list:step3:comp volt,11,13"_qs },
        { StepCompareCommand(2, u"off"_qs, u"0.1"_qs, u"0.3"_qs), u"list:step2:comp off"_qs },
        { StepCompareCommand(10, u"pow"_qs, u"1"_qs, u"2.50"_qs), u"list:step10:comp pow,1,2.50"_qs },
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.command, c.expected);
}

TEST(TestRules, VerdictCaptions)
{
    EXPECT_EQ(StepVerdictCaption(u"0"_qs), u"N/C");
    EXPECT_EQ(StepVerdictCaption(u"1"_qs), u"PASS");
    EXPECT_EQ(StepVerdictCaption(u"2"_qs), u"FAIL");
    for (const char* other : { "3", "9", "", ",", "11" })
        EXPECT_TRUE(StepVerdictCaption(QString::fromLatin1(other)).isEmpty()) << other;
}

QList<QPointF> Shown(const QList<QPointF>& points, double minX)
{
    QList<QPointF> shown;
    for (const QPointF& p : points)
        AddWindowPoint(shown, p, minX);
    return shown;
}

TEST(TestRules, ChartWindowKeepsTheLeadInPointAndDropsOlderOnes)
{
    // Points at 0, 2, ..., 100 with the window starting at 21: 20 leads into the window.
    QList<QPointF> points;
    for (int t = 0; t <= 100; t += 2)
        points.append(QPointF(t, 12.0 - t / 100.0));
    const QList<QPointF> shown = Shown(points, 21);
    ASSERT_FALSE(shown.isEmpty());
    EXPECT_EQ(shown.first(), QPointF(20, 11.8));
    EXPECT_EQ(shown.last(), points.last());
    EXPECT_EQ(shown.size(), 41);
    // A point exactly on the left edge needs no lead-in.
    EXPECT_EQ(Shown(points, 20).first(), QPointF(20, 11.8));
    // Nothing is dropped while the window starts at 0.
    EXPECT_EQ(Shown(points, 0), points);
}

TEST(TestRules, ReadingsAtOneTimeFoldIntoTheLineTheyDraw)
{
    // After its cut-off the instrument's time stands still while readings go on: the
    // points of one x collapse to first, lowest, highest, last however many arrive.
    QList<QPointF> shown;
    AddWindowPoint(shown, QPointF(99, 8.5), 0);
    const double ys[] = { 8.0, 8.2, 7.9, 8.4, 8.1 };
    for (int i = 0; i < 10000; ++i)
        AddWindowPoint(shown, QPointF(100, ys[i % 5]), 0);
    const QList<QPointF> expected { { 99, 8.5 }, { 100, 8.0 }, { 100, 7.9 }, { 100, 8.4 }, { 100, 8.1 } };
    EXPECT_EQ(shown, expected);

    // Identical readings leave a single point; the next time carries on from the last.
    QList<QPointF> flat;
    for (int i = 0; i < 100; ++i)
        AddWindowPoint(flat, QPointF(50, 8.0), 0);
    AddWindowPoint(flat, QPointF(52, 8.0), 0);
    EXPECT_EQ(flat, (QList<QPointF> { { 50, 8.0 }, { 52, 8.0 } }));

    // A run that ends where it began keeps its end point, so the line continues from it.
    QList<QPointF> back;
    for (const double y : { 5.0, 6.0, 5.0 })
        AddWindowPoint(back, QPointF(7, y), 0);
    EXPECT_EQ(back, (QList<QPointF> { { 7, 5.0 }, { 7, 6.0 }, { 7, 5.0 } }));
}

} // namespace
