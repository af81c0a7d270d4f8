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
#include "comm/SerialComm.h"
#include "ui/MessageBoxes.h"
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
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Millis(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double CpuSeconds(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const auto at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

// Both ends of a fresh pseudo-terminal; the slave is kept open here so the master never
// reads as hung up while nobody else has the slave open.
struct Pty
{
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        slavePath = ptsname(master);
        slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        if (slave < 0)
            throw std::runtime_error("cannot open " + slavePath);
    }
    ~Pty()
    {
        close(slave);
        close(master);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master = -1;
    int slave = -1;
    std::string slavePath;
};

void WriteAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
    }
}

// The instrument's stand-in. Its thread is stopped by the eventfd and joined by Stop().
class FetchPeer
{
public:
    static constexpr int kFirstNumber = 10000; // five digits, so the label shows all of it

    FetchPeer()
        : FStop(eventfd(0, EFD_CLOEXEC))
    {
        FThread = std::thread([this] { Run(); });
    }
    ~FetchPeer() { Stop(); }

    void Stop()
    {
        if (!FThread.joinable())
            return;
        const uint64_t one = 1;
        (void)!write(FStop, &one, sizeof one);
        FThread.join();
        close(FStop);
    }

    QString SlavePath() const { return QString::fromStdString(FPty.slavePath); }

    std::optional<Clock::time_point> WrittenAt(int number) const
    {
        const std::lock_guard lock(FMutex);
        const auto it = FWrittenAt.find(number);
        return it == FWrittenAt.end() ? std::nullopt : std::optional(it->second);
    }

    // CPU time of the peer's own thread so far.
    double CpuSeconds() const { return FCpuMicros.load() / 1e6; }

private:
    void Run()
    {
        std::string pending;
        int next = kFirstNumber;
        for (;;) {
            pollfd fds[2] = { { FStop, POLLIN, 0 }, { FPty.master, POLLIN, 0 } };
            if (poll(fds, 2, -1) < 0 && errno != EINTR)
                break;
            if (fds[0].revents)
                break;
            if (!(fds[1].revents & POLLIN))
                continue;
            char buffer[512];
            const ssize_t n = read(FPty.master, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\r')) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (line != "fetch?")
                    continue; // every other command goes unanswered
                const int number = next++;
                WriteAll(FPty.master, std::to_string(number) + "V,1.000A," + std::to_string(number) + "W");
                const Clock::time_point written = Clock::now();
                const std::lock_guard lock(FMutex);
                FWrittenAt[number] = written;
            }
            FCpuMicros.store(static_cast<int64_t>(::CpuSeconds(RUSAGE_THREAD) * 1e6));
        }
    }

    Pty FPty;
    int FStop;
    std::thread FThread;
    mutable std::mutex FMutex; // guards FWrittenAt (peer thread writes, main thread reads)
    std::map<int, Clock::time_point> FWrittenAt;
    std::atomic<int64_t> FCpuMicros { 0 }; // the peer thread's CPU time, written by that thread only
};

// The bare pseudo-terminal: write on the master, a thread blocked on the slave reads.
std::vector<double> BaselineMillis(int samples)
{
    Pty pty;
    termios raw {};
    tcgetattr(pty.slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(pty.slave, TCSANOW, &raw);
    std::atomic<int64_t> readAtNanos { 0 }; // written by the reader thread, read after each round
    std::atomic<int> reads { 0 }; // rounds the reader has completed
    std::thread reader([&] {
        for (int i = 0; i < samples; ++i) {
            pollfd fd { pty.slave, POLLIN, 0 };
            poll(&fd, 1, -1);
            char buffer[64];
            (void)!read(pty.slave, buffer, sizeof buffer);
            readAtNanos.store(Clock::now().time_since_epoch().count());
            reads.fetch_add(1);
        }
    });
    std::vector<double> millis;
    for (int i = 0; i < samples; ++i) {
        const Clock::time_point sent = Clock::now();
        WriteAll(pty.master, "10000V,1.000A,10000W");
        while (reads.load() == i)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        millis.push_back(Millis(Clock::time_point(Clock::duration(readAtNanos.load())) - sent));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reader.join();
    return millis;
}

class CountedBoxes : public IMessageBoxes
{
public:
    void ShowMessage(QWidget*, const QString& text) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    void ShowError(QWidget*, const QString& text) override
    {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    }
};

int Option(int argc, char** argv, const char* name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    }
    return fallback;
}

} // namespace

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
    form.SetMessageBoxes(std::make_unique<CountedBoxes>());
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
