// The traffic console's cost: the connected window's CPU at 10 replies a second with the
// console open against closed, in one run.
//
// A pseudo-terminal peer in this process plays the instrument and answers every "fetch?"
// at once. The window connects to it, switches the load on and polls; pacing and polling
// go every 100 ms and the read interval is cut to 20 ms, so each poll's reply is read
// before the next one leaves: 10 replies and 20 traffic lines a second. The run then
// alternates spans with the console closed and open (closed first in one round, open first
// in the next, so a drift of the machine falls on both alike) and sums getrusage over each
// state, the peer's own thread taken off. The console draws into the offscreen platform's
// backing store as it would on a screen.
//
// Options: --seconds S per span (default 5), --rounds N (default 6; each has one span of
// either state).
#include "FetchPeer.h"
#include "PrintedBoxes.h"
#include "comm/SerialComm.h"
#include "ui/TrafficConsole.h"
#include "ui/main.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace bench;

void RunFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Totals
{
    double cpu = 0; // the process, less the peer's thread
    double mainThread = 0; // the window's thread alone
    double wall = 0;
    int replies = 0;
};

} // namespace

int main(int argc, char** argv)
{
    const int spanSeconds = std::max(1, Option(argc, argv, "--seconds", 5));
    const int rounds = std::max(1, Option(argc, argv, "--rounds", 6));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir; // db.sqlite goes here, not into the caller's directory
    QDir::setCurrent(dir.path());

    FetchPeer peer;
    TForm1 form;
    form.SetMessageBoxes(std::make_unique<PrintedBoxes>());
    form.show();
    form.combutton->click(); // the first click after start-up only closes
    form.Combo->setEditText(peer.SlavePath());
    form.combutton->click();
    if (form.combutton->text() != u"Disconnect") {
        std::fprintf(stderr, "could not connect to %s\n", qPrintable(peer.SlavePath()));
        return 1;
    }
    int replies = 0;
    const TReceiveDataEvent programHandler = form.Comm1->OnReceiveData;
    form.Comm1->OnReceiveData = [&](TComm* sender, const char* buffer, uint16_t length) {
        programHandler(sender, buffer, length);
        ++replies;
    };
    RunFor(4500); // the connect sequence; the peer leaves its read-back unanswered
    form.Comm1->setReadIntervalTimeout(20);
    form.CoTimer->setInterval(100);
    form.fetchTimer->setInterval(100);
    form.loadS->click();
    form.modeButton->click();
    form.startButton->click();
    RunFor(1000);

    TrafficConsole* console = form.Traffic();
    Totals closed;
    Totals open;
    for (int round = 0; round < rounds; ++round) {
        for (const bool shown : { round % 2 == 1, round % 2 == 0 }) {
            console->setVisible(shown);
            RunFor(300); // the first drawing of a console just shown belongs to no span
            const double cpuFrom = CpuSeconds(RUSAGE_SELF) - peer.CpuSeconds();
            const double mainFrom = CpuSeconds(RUSAGE_THREAD);
            const int repliesFrom = replies;
            const Clock::time_point from = Clock::now();
            RunFor(spanSeconds * 1000);
            Totals& totals = shown ? open : closed;
            totals.wall += Millis(Clock::now() - from) / 1000;
            totals.cpu += CpuSeconds(RUSAGE_SELF) - peer.CpuSeconds() - cpuFrom;
            totals.mainThread += CpuSeconds(RUSAGE_THREAD) - mainFrom;
            totals.replies += replies - repliesFrom;
        }
    }
    const int lines = console->LinesShown();
    console->hide();
    form.startButton->click();
    form.combutton->click();
    peer.Stop();

    std::printf(
        "connected window polling the Main page, %d spans of %d s in either state:\n", rounds, spanSeconds);
    for (const auto& [name, t] : { std::pair<const char*, const Totals&> { "console closed", closed },
             std::pair<const char*, const Totals&> { "console open  ", open } }) {
        std::printf("  %s: %.1f replies/s, process %.3f s CPU in %.1f s = %.2f %% of one core, window's "
                    "thread %.2f %%\n",
            name, t.replies / t.wall, t.cpu, t.wall, 100 * t.cpu / t.wall, 100 * t.mainThread / t.wall);
    }
    const double closedRate = closed.cpu / closed.wall;
    const double openRate = open.cpu / open.wall;
    // The target is on the difference: a console may cost at most 2 % of one core more.
    std::printf("  ratio open/closed: process %.3fx, window's thread %.3fx; "
                "difference %+.2f %% of one core (target <= +2 %%)\n",
        openRate / closedRate, (open.mainThread / open.wall) / (closed.mainThread / closed.wall),
        100 * (openRate - closedRate));
    std::printf("  console held %d lines at the end\n", lines);
    if (closed.replies / closed.wall < 8 || open.replies / open.wall < 8) {
        std::fprintf(stderr, "the window did not keep up 10 replies a second\n");
        return 1;
    }
    return 0;
}
