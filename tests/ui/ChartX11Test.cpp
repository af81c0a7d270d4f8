// The battery chart's whole-run view and its saved picture where the window is drawn by a
// real X server (Xvfb), as on the operator's desktop: a long discharge fills the plot's
// height on the screen and in the 1600 x 1000 PNG, instead of lying flat on its floor.
#include "WindowFixture.h"

#include <QChartView>
#include <QGuiApplication>
#include <QImage>
#include <QLineSeries>
#include <QTest>
#include <QValueAxis>
#include <cmath>

namespace {

class ChartX11Test : public WindowTest
{
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != u"xcb")
            GTEST_SKIP() << "drawn by a real X server: run under xvfb-run (scripts/deps installs it)";
        WindowTest::SetUp();
    }
};

// How many rows of `image` from `top` to `bottom` hold a pixel of the curve (pure red).
int RowsWithCurve(const QImage& image, int top, int bottom)
{
    int found = 0;
    for (int y = std::max(0, top); y < std::min(image.height(), bottom); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 60 && c.blue() < 60) {
                ++found;
                break;
            }
        }
    }
    return found;
}

TEST_F(ChartX11Test, WholeRunFillsThePlotOnScreenAndInTheSavedPng)
{
    form->ShowPage(1);
    BatteryChart& chart = form->Chart();
    chart.Restart(2);
    form->LeftAxis->setRange(0, 150); // the stored voltage maximum, as "Set up" leaves it
    for (int i = 1; i <= 5000; ++i) {
        const double t = 2.0 * i;
        chart.Add(QPointF(t, 12.6 - 0.0002 * t));
    }

    QTest::mouseDClick(
        form->Chart1->viewport(), Qt::LeftButton, {}, form->Chart1->viewport()->rect().center());
    ASSERT_TRUE(chart.WholeRunShown());
    for (const QPointF& p : chart.Points()) {
        ASSERT_GE(p.x(), form->BottomAxis->min());
        ASSERT_LE(p.x(), form->BottomAxis->max());
        ASSERT_GE(p.y(), form->LeftAxis->min());
        ASSERT_LE(p.y(), form->LeftAxis->max());
    }
    // On the screen: the plot's inside, a pixel in from its frame.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QApplication::processEvents();
    const QRect plot = form->Chart1->chart()->plotArea().toRect().adjusted(1, 1, -1, -1);
    const QImage screen = form->Chart1->grab().toImage();
    EXPECT_GT(RowsWithCurve(screen, plot.top(), plot.bottom()), plot.height() / 2);

    ASSERT_TRUE(chart.SaveImage(QStringLiteral("run.png"), ChartSpan::WholeRun, *boxes))
        << boxes->messages.join(u'\n').toStdString();
    const QImage png(QStringLiteral("run.png"));
    ASSERT_EQ(png.size(), QSize(1600, 1000));
    EXPECT_GT(RowsWithCurve(png, 0, png.height()), png.height() / 3);
}

} // namespace
