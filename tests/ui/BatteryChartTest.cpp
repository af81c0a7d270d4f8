// The battery chart's views of a long run: the live view, the whole run, wheel zoom, the
// thinned series, the time axis' labels and the pictures it saves.
#include "WindowFixture.h"

#include "ui/ChartPicture.h"
#include "ui/TimeAxisLabels.h"

#include <QAction>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QFile>
#include <QFontMetricsF>
#include <QImage>
#include <QLineSeries>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <set>

namespace {

class ChartTest : public WindowTest
{
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        form->ShowPage(1);
        ASSERT_TRUE(WaitUntil([&] { return Plot().width() > 0; }));
        Chart().Restart(2); // 80 s wide
        form->LeftAxis->setRange(0, 15); // as "Set up" leaves it
    }

    BatteryChart& Chart() { return form->Chart(); }
    QRectF Plot() const { return form->Chart1->chart()->plotArea(); }

    // A discharge with a wiggle, one reading every `step` seconds.
    static double Volts(double t) { return 12.6 - 0.0002 * t + 0.05 * std::sin(t / 7.0); }
    void Feed(int readings, int step = 2)
    {
        for (int i = 1; i <= readings; ++i)
            Chart().Add(QPointF(i * step, Volts(i * step)));
    }

    // Lets the chart lay itself out after its axes changed.
    static void Settle()
    {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            QCoreApplication::processEvents();
        }
    }

    QPointF InViewport(double shareOfPlot) const
    {
        const QRectF plot = Plot();
        const QPointF inChart(plot.left() + shareOfPlot * plot.width(), plot.center().y());
        return form->Chart1->mapFromScene(form->Chart1->chart()->mapToScene(inChart));
    }

    double TimeAt(const QPointF& viewport) const
    {
        QChart* chart = form->Chart1->chart();
        return chart
            ->mapToValue(chart->mapFromScene(form->Chart1->mapToScene(viewport.toPoint())), form->Series1)
            .x();
    }

    void Mouse(QEvent::Type type, const QPointF& at)
    {
        QMouseEvent event(type, at, form->Chart1->viewport()->mapToGlobal(at), Qt::LeftButton,
            type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, {});
        QApplication::sendEvent(form->Chart1->viewport(), &event);
    }

    void Wheel(int angle, const QPointF& at)
    {
        QWheelEvent event(at, form->Chart1->viewport()->mapToGlobal(at), {}, QPoint(0, angle), Qt::NoButton,
            {}, Qt::NoScrollPhase, false);
        QApplication::sendEvent(form->Chart1->viewport(), &event);
    }

    QAction* MenuEntry(const QString& text) const
    {
        for (QAction* action : form->Chart1->actions()) {
            if (action->text() == text)
                return action;
        }
        ADD_FAILURE() << text.toStdString();
        return nullptr;
    }

    // The readings' lowest and highest voltage.
    std::pair<double, double> VoltsSpan() const
    {
        const auto [low, high] = std::minmax_element(form->Chart().Points().begin(),
            form->Chart().Points().end(), [](const QPointF& a, const QPointF& b) { return a.y() < b.y(); });
        return { low->y(), high->y() };
    }

    // The voltage axis spans the readings with a margin of 5 % of their span (at least
    // 0.1 V) on either side.
    void ExpectFittedVolts()
    {
        const auto [low, high] = VoltsSpan();
        const double margin = std::max(0.05 * (high - low), 0.1);
        EXPECT_NEAR(form->LeftAxis->min(), low - margin, 1e-9);
        EXPECT_NEAR(form->LeftAxis->max(), high + margin, 1e-9);
    }

    // Every reading inside the axes, the voltage axis fitted.
    void ExpectFitted()
    {
        ExpectFittedVolts();
        for (const QPointF& p : Chart().Points()) {
            ASSERT_GE(p.x(), form->BottomAxis->min());
            ASSERT_LE(p.x(), form->BottomAxis->max());
            ASSERT_GE(p.y(), form->LeftAxis->min());
            ASSERT_LE(p.y(), form->LeftAxis->max());
        }
    }
};

TEST_F(ChartTest, WholeRunFitsEveryReadingAndHomeReturnsToTheLiveView)
{
    Feed(5000);
    QAction* wholeRunEntry = MenuEntry(QStringLiteral("Whole run"));
    ASSERT_NE(wholeRunEntry, nullptr);
    const QPointF middle = InViewport(0.5);
    const struct
    {
        const char* name;
        std::function<void()> act;
        bool wholeRun;
        double min, max; // the time axis; in the whole run 0 to the newest reading
        double voltsMax; // the live view's voltage axis (from 0)
    } steps[] = {
        { "live after 5000 readings", [] {}, false, 9920, 10000, 15 },
        { "double-click", [&] { Mouse(QEvent::MouseButtonDblClick, middle); }, true, 0, 10000, 0 },
        { "a reading beyond the fit", [&] { Chart().Add(QPointF(10002, 9.5)); }, true, 0, 10002, 0 },
        { "Home", [&] { PressKey(form->Chart1, Qt::Key_Home); }, false, 9922, 10002, 15 },
        { "menu entry", [&] { wholeRunEntry->trigger(); }, true, 0, 10002, 0 },
        { "the window sets its voltage axis", [&] { form->LeftAxis->setMax(20); }, true, 0, 10002, 0 },
        { "menu entry again", [&] { wholeRunEntry->trigger(); }, false, 9922, 10002, 20 },
        { "End", [&] { PressKey(form->Chart1, Qt::Key_End); }, true, 0, 10002, 0 },
        { "double-click again", [&] { Mouse(QEvent::MouseButtonDblClick, middle); }, false, 9922, 10002, 20 },
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        EXPECT_EQ(Chart().WholeRunShown(), step.wholeRun);
        EXPECT_EQ(wholeRunEntry->isChecked(), step.wholeRun);
        EXPECT_DOUBLE_EQ(form->BottomAxis->min(), step.min);
        EXPECT_DOUBLE_EQ(form->BottomAxis->max(), step.max);
        EXPECT_TRUE(Chart().FollowsNewest());
        if (step.wholeRun) {
            ExpectFitted();
        } else {
            EXPECT_DOUBLE_EQ(form->LeftAxis->min(), 0);
            EXPECT_DOUBLE_EQ(form->LeftAxis->max(), step.voltsMax);
            EXPECT_LE(form->Series1->count(), 42) << "the live view's series stays small";
        }
    }
}

TEST_F(ChartTest, WheelZoomsTheTimeAxisAroundThePointer)
{
    Feed(5000);
    Chart().ShowWholeRun();
    Settle();
    const struct
    {
        int angle; // 120 a notch, away from the operator
        double at; // share of the plot's width
        double factor;
    } turns[] = {
        { 120, 0.3, 0.8 },
        { 240, 0.7, 0.64 },
        { -120, 0.5, 1.25 },
        { 120, 0.05, 0.8 },
    };
    for (const auto& turn : turns) {
        SCOPED_TRACE(turn.at);
        const QPointF pointer = InViewport(turn.at);
        const double before = TimeAt(pointer);
        const double span = form->BottomAxis->max() - form->BottomAxis->min();

        Wheel(turn.angle, pointer);
        Settle();

        EXPECT_NEAR(form->BottomAxis->max() - form->BottomAxis->min(), span * turn.factor, 1e-6);
        // The plot's edges move by a pixel or two as the labels change.
        const double pixel = span * turn.factor / Plot().width();
        EXPECT_NEAR(TimeAt(pointer), before, 3 * pixel);
        EXPECT_FALSE(Chart().WholeRunShown());
        ExpectFittedVolts();
    }
    // Zoomed out as far as the whole run goes, and no further.
    for (int i = 0; i < 20; ++i)
        Wheel(-120, InViewport(0.5));
    EXPECT_DOUBLE_EQ(form->BottomAxis->min(), 0);
    EXPECT_DOUBLE_EQ(form->BottomAxis->max(), 10000);
}

// The series' own readings, thinned per pixel column: each column keeps its lowest and
// highest reading, so the drawn envelope is the run's.
TEST_F(ChartTest, LongRunIsDrawnThinnedToItsColumnsEnvelope)
{
    Chart().Restart(1);
    // Looking back at the start, the chart only keeps what comes.
    Feed(100, 1);
    Chart().Pan(-1e9);
    for (int t = 101; t <= 100000; ++t)
        Chart().Add(QPointF(t, Volts(t)));
    Chart().ShowWholeRun();
    Settle();
    Chart().ShowWholeRun(); // thinned for the plot as it has settled
    const int columns = static_cast<int>(Plot().width());
    const QList<QPointF> shown = form->Series1->points();
    ASSERT_GT(shown.size(), columns);
    EXPECT_LE(shown.size(), 4 * columns + 2);

    const std::vector<QPointF>& points = Chart().Points();
    const auto key = [](const QPointF& p) { return std::pair { p.x(), p.y() }; };
    std::set<std::pair<double, double>> drawn;
    for (const QPointF& p : shown)
        drawn.insert(key(p));
    for (const QPointF& p : shown)
        ASSERT_TRUE(std::binary_search(points.begin(), points.end(), p,
            [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); }))
            << "a reading, not an invented point";
    const double min = form->BottomAxis->min();
    const double perColumn = (form->BottomAxis->max() - min) / columns;
    for (auto from = points.begin(); from != points.end();) {
        const int column = std::min(columns - 1, static_cast<int>((from->x() - min) / perColumn));
        auto to = from;
        while (to != points.end()
            && std::min(columns - 1, static_cast<int>((to->x() - min) / perColumn)) == column)
            ++to;
        const auto [low, high]
            = std::minmax_element(from, to, [](const QPointF& a, const QPointF& b) { return a.y() < b.y(); });
        ASSERT_TRUE(drawn.count(key(*low)) && drawn.count(key(*high))) << "column " << column;
        from = to;
    }

    PressKey(form->Chart1, Qt::Key_Home);
    EXPECT_LE(form->Series1->count(), 42);
    EXPECT_EQ(form->Series1->points().last(), points.back());
}

TEST_F(ChartTest, TimeAxisReadsHoursMinutesAndSecondsBeyondAnHour)
{
    const std::pair<double, const char*> texts[]
        = { { 0, "0:00:00" }, { 59.6, "0:01:00" }, { 3661, "1:01:01" }, { 93784, "26:03:04" } };
    for (const auto& [seconds, text] : texts)
        EXPECT_EQ(ClockText(seconds), QString::fromLatin1(text)) << seconds;

    // The window's chart, and a saved picture's (where a label has less room beside the
    // plot, relative to its width).
    static const QRegularExpression hms(QStringLiteral("^\\d+:\\d\\d:\\d\\d$"));
    const struct
    {
        double min, max;
        bool clock;
        bool picture;
    } ranges[] = { { 0, 80, false, false }, { 0, 3600, false, false }, { 0, 3601, true, false },
        { 5000, 9000, true, false }, { 0, 4 * 3600, true, false }, { 0, 4 * 3600, true, true },
        { 100000, 190000, true, false } };
    for (const auto& range : ranges) {
        SCOPED_TRACE(testing::Message() << range.max << (range.picture ? " picture" : " window"));
        std::unique_ptr<ChartPicture> picture;
        const QChart* chart = form->Chart1->chart();
        QCategoryAxis* clock = Chart().TimeLabels().ClockAxis();
        if (range.picture) {
            picture = std::make_unique<ChartPicture>(*chart, *form->Series1, QImage(),
                std::vector<QPointF> { { range.min, 12 }, { range.max, 11 } },
                AxisRange { range.min, range.max }, AxisRange { 10, 13 });
            chart = &picture->Chart();
            const QList<QAbstractAxis*> axes = chart->axes(Qt::Horizontal);
            const auto found = std::find_if(axes.begin(), axes.end(),
                [](QAbstractAxis* axis) { return qobject_cast<QCategoryAxis*>(axis) != nullptr; });
            ASSERT_NE(found, axes.end());
            clock = qobject_cast<QCategoryAxis*>(*found);
        } else {
            form->BottomAxis->setRange(range.min, range.max);
            EXPECT_EQ(Chart().TimeLabels().ShowsClock(), range.clock);
            EXPECT_EQ(form->BottomAxis->isVisible(), !range.clock);
        }
        if (!range.clock)
            continue;
        EXPECT_TRUE(clock->isVisible());
        const QStringList labels = clock->categoriesLabels();
        ASSERT_GE(labels.size(), 2);
        const QFontMetricsF metrics(clock->labelsFont());
        const QRectF plot = chart->plotArea();
        for (const QString& label : labels) {
            EXPECT_TRUE(hms.match(label).hasMatch()) << label.toStdString();
            const double at = clock->endValue(label);
            EXPECT_GE(at, range.min);
            EXPECT_LE(at, range.max);
            EXPECT_EQ(ClockText(at), label);
            // Centred on its time, the label ends inside the chart (a run of whole hours
            // has its last time at the plot's right edge).
            const double x = plot.left() + plot.width() * (at - range.min) / (range.max - range.min);
            EXPECT_LE(x + metrics.horizontalAdvance(label) / 2, chart->size().width()) << label.toStdString();
        }
    }
}

// The points of the curve (stroked in the series' red) in an SVG's coordinates.
std::vector<QPointF> CurvePoints(const QByteArray& svg)
{
    static const QRegularExpression translate(
        QStringLiteral("transform=\"matrix\\(1,0,0,1,([-\\d.]+),([-\\d.]+)\\)\""));
    static const QRegularExpression pair(QStringLiteral("(-?[\\d.]+),(-?[\\d.]+)"));
    std::vector<QPointF> points;
    // Each group's attributes, then what it holds up to the next group or its end.
    for (const QString& group : QString::fromUtf8(svg).split(QStringLiteral("<g "))) {
        const QString attributes = group.section(u'>', 0, 0);
        if (!attributes.contains(QStringLiteral("stroke=\"#ff0000\"")))
            continue;
        const auto offset = translate.match(attributes);
        EXPECT_TRUE(offset.hasMatch()) << attributes.toStdString();
        const QPointF origin(offset.captured(1).toDouble(), offset.captured(2).toDouble());
        const QString body = group.mid(attributes.size() + 1).section(QStringLiteral("</g>"), 0, 0);
        for (const auto& p : pair.globalMatch(body))
            points.push_back(origin + QPointF(p.captured(1).toDouble(), p.captured(2).toDouble()));
    }
    return points;
}

QByteArray FileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST_F(ChartTest, PicturesAre1600By1000AndTheSvgCurveStaysInsideThePlot)
{
    Feed(5000);
    Chart().Pan(-1); // the live view from 9919: the line enters and leaves past its edges
    const struct
    {
        const char* name;
        ChartSpan span;
        QString path;
    } cases[] = {
        { "whole run, PNG", ChartSpan::WholeRun, "run.png" },
        { "visible span, PNG", ChartSpan::Visible, "span.png" },
        { "whole run, SVG", ChartSpan::WholeRun, "run.SVG" },
        { "visible span, SVG", ChartSpan::Visible, "span.svg" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes->Clear();
        ASSERT_TRUE(Chart().SaveImage(c.path, c.span, *boxes));
        EXPECT_TRUE(boxes->messages.isEmpty());
        const QByteArray bytes = FileBytes(c.path);
        if (!c.path.endsWith(QStringLiteral("svg"), Qt::CaseInsensitive)) {
            EXPECT_EQ(QImage::fromData(bytes, "PNG").size(), QSize(1600, 1000));
            continue;
        }
        EXPECT_TRUE(bytes.contains("Battery Test Graph")) << "the chart drawn into it";
        const QRectF plot = Chart().Picture(c.span)->Chart().plotArea().adjusted(-0.01, -0.01, 0.01, 0.01);
        const std::vector<QPointF> curve = CurvePoints(bytes);
        ASSERT_GT(curve.size(), 20u);
        for (const QPointF& p : curve)
            ASSERT_TRUE(plot.contains(p)) << p.x() << ',' << p.y();
        // The curve reaches both sides of the plot.
        const auto [left, right] = std::minmax_element(
            curve.begin(), curve.end(), [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); });
        EXPECT_NEAR(left->x(), plot.left(), 0.5);
        EXPECT_NEAR(right->x(), plot.right(), 0.5);
    }

    // A place that cannot be written: the operator is told, nothing is thrown.
    boxes->Clear();
    EXPECT_FALSE(Chart().SaveImage(QStringLiteral("no/such/dir/chart.png"), ChartSpan::WholeRun, *boxes));
    ASSERT_EQ(boxes->messages.size(), 1);
    EXPECT_TRUE(boxes->messages[0].contains(QStringLiteral("chart.png"))) << boxes->messages[0].toStdString();
}

} // namespace
