#pragma once
// The instrument's stand-in for the latency benchmarks: a pseudo-terminal peer in the
// benchmark's own process that answers every "fetch?" with a reading whose voltage text
// numbers the reply, and notes when the reply's last byte was written.
#include <QString>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
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

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Millis(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

inline double CpuSeconds(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline double Percentile(std::vector<double> values, double p)
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

inline void WriteAll(int fd, const std::string& bytes)
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
            FCpuMicros.store(static_cast<int64_t>(bench::CpuSeconds(RUSAGE_THREAD) * 1e6));
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
inline std::vector<double> BaselineMillis(int samples)
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

// The integer after `name` on the command line, or `fallback`.
inline int Option(int argc, char** argv, const char* name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    }
    return fallback;
}

} // namespace bench
