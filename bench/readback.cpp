// What waiting for each answer costs: the connect read-back (14 lines) and a recall's
// read-back (51 lines) against a prompt instrument, each against the pacing alone (one
// line per 300 ms tick, the pace at which nothing waits for any answer); and the time from
// a battery poll's write to its stored row with an instrument that answers 250 ms late,
// against the instrument's own delay plus the 100 ms that end a reply.
//
// Targets: both read-backs no slower than the pacing alone (ratio about 1.0); every
// battery reading of a slow instrument stored, about as soon as it can be.
//
//   QT_QPA_PLATFORM=offscreen bench_readback [--rounds N (3)] [--readings N (10)]
#include "FetchPeer.h"
#include "PrintedBoxes.h"
#include "comm/SerialComm.h"
#include "link/InstrumentSession.h"
#include "sim/SimulatorHost.h"
#include "store/ResultsQuery.h"
#include "ui/main.h"
#include "workflows/Connection.h"
#include "workflows/OperatorMessages.h"
#include "workflows/SettingMemories.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace bench;

namespace {

constexpr double kPacingSeconds = 0.3;

struct Quiet : IOperatorMessages
{
    void Tell(const QString& message) override { std::fprintf(stderr, "told: %s\n", qPrintable(message)); }
};

// Runs the event loop until `done` or `limitMs`; false when the limit came first.
bool RunUntil(const std::function<bool()>& done, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Seconds from queueing a read-back until its last answer is in (or -1).
double ReadBackSeconds(bool recall)
{
    SimulatorHost host; // answers 20 ms after each line
    host.Start();
    InstrumentSession session;
    session.Pause = [](int) {};
    Quiet told;
    if (!ConnectInstrument(session, host.SlavePath(), QStringLiteral("9600"), QStringLiteral("8"), told))
        return -1;
    QElapsedTimer clock;
    clock.start();
    if (recall) {
        if (!RunUntil([&] { return session.Pipeline().Idle(); }, 60000))
            return -1;
        clock.restart();
        RecallMemory(session, QStringLiteral("0"), told);
    }
    if (!RunUntil([&] { return session.Pipeline().Idle(); }, 120000))
        return -1;
    return clock.elapsed() / 1000.0;
}

void ReportReadBack(const char* what, int lines, bool recall, int rounds)
{
    std::vector<double> seconds;
    for (int round = 0; round < rounds; ++round)
        seconds.push_back(ReadBackSeconds(recall));
    const double pacing = lines * kPacingSeconds;
    std::printf("%-26s %2d lines at 20 ms: median %.2f s   pacing alone %.2f s   ratio %.2f\n", what, lines,
        Median(seconds), pacing, Median(seconds) / pacing);
}

// A battery run through the window against an instrument answering 250 ms late: the time
// from each poll's write to its row in the results store.
void ReportBatteryLatency(int readings)
{
    QTemporaryDir dir; // db.sqlite goes here
    QDir::setCurrent(dir.path());
    SimOptions options;
    options.replyDelayMs = 250;
    SimulatorHost host(options);
    host.Start();
    TForm1 form;
    form.BuildAllPages();
    form.SetMessageBoxes(std::make_unique<PrintedBoxes>());
    form.Session().Pause = [](int) {};
    form.combutton->click(); // the first click after start-up only closes
    form.Combo->setEditText(host.SlavePath());
    form.combutton->click();
    InstrumentSession& session = form.Session();
    if (!RunUntil([&] { return session.Pipeline().Idle(); }, 60000)) {
        std::printf("battery reading: the connect read-back did not finish\n");
        return;
    }
    form.PageControl1->setCurrentIndex(1);
    form.BOffV->setText(QStringLiteral("8"));
    form.testInteral->setText(QStringLiteral("1"));
    form.BSetButton->click();
    RunUntil([&] { return session.Pipeline().Idle(); }, 60000);

    QElapsedTimer clock;
    clock.start();
    qint64 polledAt = -1;
    int polls = 0;
    std::vector<double> latencies;
    session.OnTraffic = [&](InstrumentSession*, const TrafficLine& line) {
        if (line.route == TrafficRoute::Sent && line.text.startsWith(QStringLiteral("fetch?"))) {
            polledAt = clock.elapsed();
            ++polls;
        }
    };
    // Chained behind the window's own handler: when it returns, the row is stored.
    const auto stored = session.OnBatteryReading;
    session.OnBatteryReading = [&](InstrumentSession* s, const BatteryReading& r) {
        stored(s, r);
        latencies.push_back((clock.elapsed() - polledAt) / 1000.0);
    };
    form.startButtonB->click(); // "Start": only stops
    form.startButtonB->click();
    RunUntil([&] { return static_cast<int>(latencies.size()) >= readings || polls >= readings + 5; },
        (readings + 10) * 1500);
    form.startButtonB->click();
    const double floor = 0.25 + 0.1;
    std::printf("battery reading, poll written to row stored, instrument 250 ms late: median %.3f s   "
                "instrument delay + reply end %.3f s   ratio %.2f   %zu of %d polls stored (%d rows)\n",
        Median(latencies), floor, Median(latencies) / floor, latencies.size(), polls,
        form.ADOQuery2->RowCount());
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = std::max(1, Option(argc, argv, "--rounds", 3));
    const int readings = std::max(1, Option(argc, argv, "--readings", 10));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ReportReadBack("connect read-back", 14, false, rounds);
    ReportReadBack("recall (Load) read-back", 51, true, rounds);
    ReportBatteryLatency(readings);
    return 0;
}
