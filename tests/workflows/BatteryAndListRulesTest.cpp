// The pure rules of the battery and list tests: the entries they accept and the points the
// battery chart keeps on screen. (Words, commands and captions are checked through the
// window's step buttons and reports.)
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
