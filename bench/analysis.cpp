// How long the analysis view takes to open (curves computed, charts built, first paint)
// for a run of 100,000 readings with one earlier run of as many ticked, beside the same
// for 1,000 readings, in alternating rounds of one run. The target: a long run opens in
// well under a second, and its cost grows no faster than its readings.
//
//   QT_QPA_PLATFORM=offscreen bench_analysis [rounds, default 5]
#include "ui/AnalysisView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A Li-ion-like discharge at 2 A over `readings` readings: a slope with two plateaus.
AnalysisRun Discharge(int readings, double shift)
{
    AnalysisRun run;
    run.label = QStringLiteral("run of %1").arg(readings);
    run.station = QStringLiteral("bench-1");
    run.started = QDateTime::currentDateTimeUtc();
    run.points.reserve(static_cast<size_t>(readings));
    for (int i = 0; i < readings; ++i) {
        const double f = static_cast<double>(i) / readings;
        const double volts
            = 4.2 - 1.1 * f - 0.05 * std::tanh((f - 0.3) * 40) - 0.05 * std::tanh((f - 0.7) * 40) + shift;
        run.points.push_back({ 7200.0 * f, volts, 2.0, 4.0 * f });
    }
    return run;
}

// Opens a view of `run` with `earlier` ticked and paints it; milliseconds.
double Open(const AnalysisRun& run, const AnalysisRun& earlier)
{
    QElapsedTimer clock;
    clock.start();
    AnalysisView view(run, [&earlier] { return std::vector<AnalysisRun> { earlier }; });
    view.resize(900, 640);
    view.show();
    if (auto* list = view.findChild<QListWidget*>(QStringLiteral("AnalysisEarlierRuns"));
        list && list->count() > 0)
        list->item(0)->setCheckState(Qt::Checked);
    view.repaint();
    QApplication::processEvents();
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const AnalysisRun smallRun = Discharge(1000, 0), smallEarlier = Discharge(1000, 0.02);
    const AnalysisRun largeRun = Discharge(100000, 0), largeEarlier = Discharge(100000, 0.02);
    Open(smallRun, smallEarlier); // fonts and chart code loaded once, outside the figures
    std::vector<double> small, large;
    for (int r = 0; r < rounds; ++r) {
        small.push_back(Open(smallRun, smallEarlier));
        large.push_back(Open(largeRun, largeEarlier));
    }
    std::sort(small.begin(), small.end());
    std::sort(large.begin(), large.end());
    const double s = small[small.size() / 2], l = large[large.size() / 2];
    std::printf("analysis view opened with one earlier run ticked, median of %d rounds\n", rounds);
    std::printf("%10s %12s %10s\n", "readings", "ms", "ratio");
    std::printf("%10d %12.1f %10.2f\n", 1000, s, 1.0);
    std::printf("%10d %12.1f %10.2f   (readings x100)\n", 100000, l, l / s);
    return 0;
}
