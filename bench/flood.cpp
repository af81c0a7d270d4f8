// The connected window under a port that floods as fast as a pseudo-terminal accepts:
// resident memory over the flood, and how late a 10 ms timer on the window's thread
// fires, against a quiet span of the same connection measured first in the same run.
//
// A thread in this process writes readings to the pty master without pause; the window
// reads the slave side as it would a port. Bounded reception keeps memory flat and the
// window's thread free: the driver's queue and the writer's blocking do the holding back.
//
// Options: --seconds S of flood (default 20), --quiet S before it (default 3).
#include "FetchPeer.h"
#include "PrintedBoxes.h"
#include "ui/main.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <fstream>

using namespace bench;

namespace {

double ResidentMiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Writes readings to the master until stopped; the master is non-blocking, so a full
// queue waits in poll() beside the stop event.
class Flooder
{
public:
    explicit Flooder(int master)
        : FMaster(master)
        , FStop(eventfd(0, EFD_CLOEXEC))
    { }
    ~Flooder() { Stop(); }

    void Start()
    {
        fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
        FThread = std::thread([this] { Run(); });
    }
    void Stop()
    {
        if (FThread.joinable()) {
            const uint64_t one = 1;
            (void)!write(FStop, &one, sizeof one);
            FThread.join();
        }
        if (FStop >= 0)
            close(FStop);
        FStop = -1;
    }
    double MiBWritten() const { return static_cast<double>(FBytes.load()) / (1024.0 * 1024.0); }

private:
    void Run()
    {
        std::string block;
        while (block.size() < 4096)
            block += "12.00V,1.000A,12.00W";
        for (;;) {
            pollfd fds[2] = { { FStop, POLLIN, 0 }, { FMaster, POLLOUT, 0 } };
            if (poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[0].revents)
                return;
            const ssize_t n = write(FMaster, block.data(), block.size());
            if (n > 0)
                FBytes.fetch_add(n);
        }
    }

    int FMaster;
    int FStop;
    std::thread FThread;
    std::atomic<int64_t> FBytes { 0 }; // written by the flood thread, read by main
};

struct Span
{
    std::vector<double> lateMs; // how late each tick of the 10 ms timer came
    double rssFrom = 0, rssPeak = 0, rssTo = 0;
};

// Runs the event loop for `seconds`, timing a 10 ms timer and sampling memory.
Span Measure(int seconds)
{
    Span span;
    span.rssFrom = span.rssPeak = ResidentMiB();
    QEventLoop loop;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QElapsedTimer since;
    since.start();
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        span.lateMs.push_back(std::max(0.0, static_cast<double>(since.nsecsElapsed()) / 1e6 - 10));
        since.restart();
        if (span.lateMs.size() % 100 == 0)
            span.rssPeak = std::max(span.rssPeak, ResidentMiB());
    });
    tick.start(10);
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    span.rssTo = ResidentMiB();
    span.rssPeak = std::max(span.rssPeak, span.rssTo);
    return span;
}

void Print(const char* name, const Span& span)
{
    std::printf("  %s: timer late median %.2f ms, p99 %.2f ms, max %.2f ms; RSS %.1f -> %.1f MiB "
                "(peak %.1f)\n",
        name, Percentile(span.lateMs, 0.5), Percentile(span.lateMs, 0.99), Percentile(span.lateMs, 1.0),
        span.rssFrom, span.rssTo, span.rssPeak);
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = std::max(1, Option(argc, argv, "--seconds", 20));
    const int quiet = std::max(1, Option(argc, argv, "--quiet", 3));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir; // db.sqlite goes here, not into the caller's directory
    QDir::setCurrent(dir.path());

    Pty pty;
    TForm1 form;
    form.SetMessageBoxes(std::make_unique<PrintedBoxes>());
    form.combutton->click(); // the first click after start-up only closes
    form.Combo->setEditText(QString::fromStdString(pty.slavePath));
    form.combutton->click();
    if (form.combutton->text() != u"Disconnect") {
        std::fprintf(stderr, "could not connect to %s\n", pty.slavePath.c_str());
        return 1;
    }

    const Span calm = Measure(quiet);
    Flooder flood(pty.master);
    flood.Start();
    const Span flooded = Measure(seconds);
    flood.Stop();

    std::printf("connected window, %d s quiet, then %d s of a pty flood (%.0f MiB written, %.1f MiB/s):\n",
        quiet, seconds, flood.MiBWritten(), flood.MiBWritten() / seconds);
    Print("quiet", calm);
    Print("flood", flooded);
    std::printf("  max lateness flood/quiet %.1fx (target: max < 100 ms); RSS growth over the flood "
                "%+.1f MiB (target: flat)\n",
        Percentile(flooded.lateMs, 1.0) / std::max(0.01, Percentile(calm.lateMs, 1.0)),
        flooded.rssTo - flooded.rssFrom);
    std::printf("  status line: \"%s\"\n", qPrintable(form.findChild<QLabel*>("StatusNote")->text()));
    form.combutton->click();
    return 0;
}
