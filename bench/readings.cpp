// What one battery reading costs the window (stored row, grid, chart, labels, and the
// repaint that follows) once 100, 10 000 and 100 000 readings have come before it, in
// one run; printed as ratios to the 100-reading cost. Then the peak resident memory.
//
//   QT_QPA_PLATFORM=offscreen bench_readings [readings measured per level, default 1000]
#include "ConnectWindow.h"
#include "PrintedBoxes.h"
#include "sim/SimulatorHost.h"
#include "ui/main.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

struct Cost
{
    double meanUs;
    double medianUs;
};

class ReadingFeed
{
public:
    explicit ReadingFeed(TForm1& form)
        : FForm(form)
    { }

    // One reply of the instrument's battery layout through the window's reply handling.
    void Next()
    {
        ++FSeconds;
        const double volts = 12.6 - 0.00002 * FSeconds;
        FForm.Session().HandleMeasurement(QString::number(volts, 'f', 2) + QStringLiteral(" V,0.300 A,")
            + QString::number(FSeconds) + QStringLiteral("s,")
            + QString::number(FSeconds / 3600.0 * 0.3, 'f', 3) + QStringLiteral("Ah"));
    }

    // Feeds readings until `total` have been stored, repainting now and then.
    void FillTo(int total)
    {
        while (FSeconds < total) {
            Next();
            if (FSeconds % 200 == 0)
                QCoreApplication::processEvents();
        }
    }

    // Each reading with the repaint it causes.
    Cost Measure(int readings)
    {
        std::vector<double> us;
        us.reserve(static_cast<size_t>(readings));
        QElapsedTimer clock;
        for (int i = 0; i < readings; ++i) {
            clock.start();
            Next();
            QCoreApplication::processEvents();
            us.push_back(static_cast<double>(clock.nsecsElapsed()) / 1000.0);
        }
        double sum = 0;
        for (const double u : us)
            sum += u;
        std::nth_element(us.begin(), us.begin() + readings / 2, us.end());
        return { sum / readings, us[static_cast<size_t>(readings / 2)] };
    }

    int Stored() const { return FSeconds; }

private:
    TForm1& FForm;
    int FSeconds = 0;
};

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int measured = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    // A run is only started on an open port: the simulator's, until its commands have left.
    SimulatorHost host(SimOptions {});
    host.Start();
    TForm1 form;
    form.BuildAllPages();
    // A refusal is printed: a modal box would stop the bench waiting for nobody.
    form.SetMessageBoxes(std::make_unique<bench::PrintedBoxes>());
    form.Session().Pause = [](int) {};
    form.show();
    if (!bench::ConnectWindow(form, host.SlavePath()))
        return 1;
    form.PageControl1->setCurrentIndex(1);

    // A run as the operator starts it: Set up, the first click stops, the second starts.
    form.Session().Maxima().voltage = 15;
    form.Session().Maxima().current = 5;
    const auto answered = [&] {
        const QDeadlineTimer sent(10000);
        while (!form.Session().Pipeline().Idle() && !sent.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    };
    answered();
    form.testInteral->setText(QStringLiteral("1"));
    form.BSetButton->click();
    answered();
    form.startButtonB->click();
    form.startButtonB->click();
    form.fetchTimer->stop(); // readings come from the feed, not from polling
    answered();
    form.CoTimer->stop();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 200); // the last answers

    ReadingFeed feed(form);
    std::printf(
        "per-reading cost (stored row, grid, chart, labels, repaint), %d readings per level\n", measured);
    std::printf("%10s %12s %12s %12s %12s\n", "stored", "mean us", "median us", "mean ratio", "median ratio");
    Cost base {};
    for (const int level : { 100, 10000, 100000 }) {
        feed.FillTo(level);
        const Cost cost = feed.Measure(measured);
        if (level == 100)
            base = cost;
        std::printf("%10d %12.1f %12.1f %12.2f %12.2f\n", level, cost.meanUs, cost.medianUs,
            cost.meanUs / base.meanUs, cost.medianUs / base.medianUs);
        std::fflush(stdout);
    }

    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak RSS after %d readings: %.1f MiB\n", feed.Stored(), usage.ru_maxrss / 1024.0);
    return 0;
}
