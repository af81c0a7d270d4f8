// What a long run costs the battery chart, three ways taken in turns in one run in the
// same window, as medians: the live view (40 periods), the whole run of 100 000 readings
// as the chart draws it (thinned to the first, lowest, highest and last reading of each
// pixel column), and the same whole run with every reading handed to the series, the cost
// the thinning saves. Each way: a redraw of the view, a pan (a tenth of the axis' width,
// the series refilled and drawn; the whole-run sides pan a view zoomed to 90 % of the run,
// as the whole run itself cannot move), and a reading added and drawn. Then the points
// each way hands the series. Targets: the thinned whole run stays within a few times the
// live view's cost although it covers 2500 times the readings, and far below the cost of
// drawing every reading.
//
//   QT_QPA_PLATFORM=offscreen bench_chart [readings (100000)] [repeats (50)]
#include "ui/BatteryChart.h"
#include "ui/main.h"

#include <QApplication>
#include <QChartView>
#include <QDir>
#include <QElapsedTimer>
#include <QLineSeries>
#include <QTemporaryDir>
#include <QTimer>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

double Volts(double t)
{
    return 12.6 - 0.00002 * t + 0.02 * std::sin(t / 9.0);
}

double Median(std::vector<double> us)
{
    std::nth_element(us.begin(), us.begin() + static_cast<long>(us.size() / 2), us.end());
    return us[us.size() / 2];
}

// Microseconds `act` takes, layout and paint included.
double Timed(QChartView& view, const std::function<void()>& act)
{
    QElapsedTimer clock;
    clock.start();
    act();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    view.viewport()->repaint();
    return static_cast<double>(clock.nsecsElapsed()) / 1000.0;
}

void Settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCoreApplication::processEvents();
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int readings = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 100000;
    const int repeats = argc > 2 ? std::max(5, std::atoi(argv[2])) : 50;

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    TForm1 form;
    form.BuildAllPages();
    form.Session().Pause = [](int) {};
    form.CoTimer->stop();
    form.show();
    form.ShowPage(1);
    Settle();
    BatteryChart& chart = form.Chart();
    QChartView& view = *form.Chart1;
    chart.Restart(1);
    form.LeftAxis->setRange(0, 15);
    // Looking back, the chart only keeps what comes: the run fills quickly.
    int t = 0;
    for (; t < 100; ++t)
        chart.Add(QPointF(t, Volts(t)));
    chart.Pan(-1e9);
    for (; t < readings; ++t)
        chart.Add(QPointF(t, Volts(t)));

    struct Side
    {
        std::vector<double> redraw, pan, reading;
        qsizetype points = 0;
    } live, whole, full;
    const auto showLive = [&] {
        chart.ShowLiveView();
        Settle();
    };
    const auto showWhole = [&] {
        chart.ShowWholeRun();
        Settle();
    };
    const auto showWide = [&] {
        chart.ShowWholeRun();
        chart.Zoom(0.9, form.BottomAxis->min());
    };
    const auto pan = [&](int i) {
        const double span = form.BottomAxis->max() - form.BottomAxis->min();
        chart.Pan(i % 2 == 0 ? -span / 10 : span / 10);
    };
    for (int i = 0; i < repeats; ++i) {
        showLive();
        live.redraw.push_back(Timed(view, [] {}));
        live.points = form.Series1->count();
        chart.Pan(-readings / 2.0); // away from the ends, so both ways are open
        Settle();
        live.pan.push_back(Timed(view, [&] { pan(i); }));
        showLive();
        live.reading.push_back(Timed(view, [&] {
            chart.Add(QPointF(t, Volts(t)));
            ++t;
        }));

        showWhole();
        whole.redraw.push_back(Timed(view, [] {}));
        whole.points = form.Series1->count();
        showWide();
        chart.Pan((form.BottomAxis->max() - form.BottomAxis->min()) / 18);
        Settle();
        whole.pan.push_back(Timed(view, [&] { pan(i); }));
        showWhole();
        whole.reading.push_back(Timed(view, [&] {
            chart.Add(QPointF(t, Volts(t)));
            ++t;
        }));

        // Every reading in the series, the axes as the whole run set them; the chart is
        // left out of the pan and the reading, which draw the series as it is.
        const QList<QPointF> every(chart.Points().begin(), chart.Points().end());
        form.Series1->replace(every);
        Settle();
        full.redraw.push_back(Timed(view, [] {}));
        full.points = form.Series1->count();
        const double first = form.BottomAxis->min();
        const double width = (form.BottomAxis->max() - first) * 0.9;
        form.BottomAxis->setRange(first + width / 18, first + width / 18 + width);
        Settle();
        full.pan.push_back(Timed(view, [&] {
            const double shift = (i % 2 == 0 ? -width : width) / 10;
            form.BottomAxis->setRange(form.BottomAxis->min() + shift, form.BottomAxis->max() + shift);
        }));
        showWhole();
        form.Series1->replace(every);
        Settle();
        full.reading.push_back(Timed(view, [&] {
            form.Series1->append(QPointF(t, Volts(t)));
            form.BottomAxis->setMax(t);
            ++t;
        }));
    }

    std::printf("battery chart, %d readings, median of %d: the live view, the whole run thinned, the "
                "whole run with every reading\n",
        readings, repeats);
    std::printf("%-16s %10s %10s %10s %12s %12s\n", "", "live us", "thinned us", "every us", "thinned/live",
        "every/thinned");
    const std::pair<const char*, std::vector<double> Side::*> rows[]
        = { { "redraw", &Side::redraw }, { "pan", &Side::pan }, { "reading added", &Side::reading } };
    for (const auto& [name, member] : rows) {
        const double l = Median(live.*member);
        const double w = Median(whole.*member);
        const double f = Median(full.*member);
        std::printf("%-16s %10.1f %10.1f %10.1f %12.2f %12.2f\n", name, l, w, f, w / l, f / w);
    }
    std::printf("%-16s %10lld %10lld %10lld %12.2f %12.2f\n", "points drawn",
        static_cast<long long>(live.points), static_cast<long long>(whole.points),
        static_cast<long long>(full.points), static_cast<double>(whole.points) / live.points,
        static_cast<double>(full.points) / whole.points);
    std::printf(
        "plot width %.0f px, readings kept %zu\n", view.chart()->plotArea().width(), chart.Points().size());
    return 0;
}
