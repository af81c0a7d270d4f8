// Reply-to-display latency through the whole program and the connected window's idle CPU.
//
// A pseudo-terminal peer in this process plays the instrument: it answers every "fetch?"
// with a reading whose voltage text numbers the reply, and notes when the reply's last
// byte was written. The window connects to the peer's slave side like to any port, the
// load is switched on from the Main page, and the received-data handler is chained so
// that right after the program has handled a chunk the voltage label is read: the time
// from the peer's write to the label holding that reply's number, minus the receive
// thread's read interval (a chunk ends only after that much silence), is the latency.
// The baseline is the bare pseudo-terminal: the time from a write on the master side
// until a thread waiting on the slave side has read the bytes.
//
// While the samples are taken the window simply runs its event loop, so getrusage over
// the same span gives the CPU the connected, polling window uses (the peer's own thread
// is subtracted).
//
// Options: --samples N (default 200), --cpu-seconds S (default 60).
#include "FetchPeer.h"
#include "PrintedBoxes.h"
#include "comm/SerialComm.h"
#include "ui/main.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace bench;

int main(int argc, char** argv)
{
    const int samples = std::max(1, Option(argc, argv, "--samples", 200));
    const int cpuSeconds = std::max(1, Option(argc, argv, "--cpu-seconds", 60));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir; // db.sqlite goes here, not into the caller's directory
    QDir::setCurrent(dir.path());

    const std::vector<double> baseline = BaselineMillis(samples);

    FetchPeer peer;
    TForm1 form;
    form.SetMessageBoxes(std::make_unique<PrintedBoxes>());
    form.combutton->click(); // the first click after start-up only closes
    form.Combo->setEditText(peer.SlavePath());
    form.combutton->click();
    if (form.combutton->text() != u"Disconnect") {
        std::fprintf(stderr, "could not connect to %s\n", qPrintable(peer.SlavePath()));
        return 1;
    }

    // Chained behind the program's own handler: the label is read the moment the program
    // has finished with the chunk.
    const double intervalMs = form.Comm1->ReadIntervalTimeout();
    std::vector<double> latencies;
    int lastShown = -1;
    const TReceiveDataEvent programHandler = form.Comm1->OnReceiveData;
    form.Comm1->OnReceiveData = [&](TComm* sender, const char* buffer, uint16_t length) {
        programHandler(sender, buffer, length);
        const Clock::time_point shown = Clock::now();
        const int number = form.VLable->text().left(5).toInt();
        if (number == lastShown || number < FetchPeer::kFirstNumber)
            return;
        lastShown = number;
        if (const auto written = peer.WrittenAt(number))
            latencies.push_back(Millis(shown - *written) - intervalMs);
    };

    QEventLoop loop;
    // The connect sequence first, then the load on with polling.
    QTimer::singleShot(4500, &loop, [&] {
        form.loadS->click();
        form.modeButton->click();
        form.startButton->click();
        loop.quit();
    });
    loop.exec();

    const Clock::time_point from = Clock::now();
    const double cpuFrom = CpuSeconds(RUSAGE_SELF);
    const double peerFrom = peer.CpuSeconds();
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        const bool enough = static_cast<int>(latencies.size()) >= samples
            && Clock::now() - from >= std::chrono::seconds(cpuSeconds);
        // One reply per pacing tick: far past that, the window is not polling at all.
        const bool stuck = Clock::now() - from > std::chrono::seconds(30 + samples + cpuSeconds);
        if (enough || stuck)
            loop.quit();
    });
    check.start(500);
    loop.exec();
    const double wall = Millis(Clock::now() - from) / 1000;
    const double cpu = (CpuSeconds(RUSAGE_SELF) - cpuFrom) - (peer.CpuSeconds() - peerFrom);

    form.startButton->click();
    form.combutton->click();
    peer.Stop();

    if (static_cast<int>(latencies.size()) < samples) {
        std::fprintf(stderr, "only %zu of %d replies reached the display\n", latencies.size(), samples);
        return 1;
    }
    latencies.resize(static_cast<size_t>(samples));
    const double median = Percentile(latencies, 0.5);
    const double p99 = Percentile(latencies, 0.99);
    const double baseMedian = Percentile(baseline, 0.5);
    std::printf("reply-to-display latency over %d fetch? replies (read interval %.0f ms taken off):\n",
        samples, intervalMs);
    std::printf("  median %.3f ms (target < 3), p99 %.3f ms (target < 10), max %.3f ms\n", median, p99,
        Percentile(latencies, 1.0));
    std::printf("bare pseudo-terminal baseline: median %.3f ms, p99 %.3f ms\n", baseMedian,
        Percentile(baseline, 0.99));
    std::printf("  ratio program/baseline: median %.1fx\n", median / baseMedian);
    std::printf(
        "connected window polling the Main page: %.2f s CPU in %.1f s = %.2f %% of one core (target < 2)\n",
        cpu, wall, 100 * cpu / wall);
    return 0;
}
