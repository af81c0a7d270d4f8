// Reply-to-output latency of dcload-cli: the time from the peer's write of a "fetch?"
// reply until `dcload-cli measure --period 0.3` has printed that reading on standard
// output (read here through a pipe), minus the receive thread's read interval. Side by
// side in the same run: the bare pseudo-terminal baseline.
//
// Options: --samples N (default 100).
#include "FetchPeer.h"

#include "comm/SerialComm.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

using namespace bench;

int main(int argc, char** argv)
{
    const int samples = std::max(1, Option(argc, argv, "--samples", 100));
    QCoreApplication app(argc, argv);
    const double intervalMs = TComm().ReadIntervalTimeout();
    const std::vector<double> baseline = BaselineMillis(samples);

    FetchPeer peer;
    int out[2];
    if (pipe(out) != 0)
        return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string port = peer.SlavePath().toStdString();
    const char* args[] = { DCLOAD_CLI_EXE, "--port", port.c_str(), "measure", "--period", "0.3", nullptr };
    pid_t child = 0;
    if (posix_spawn(&child, DCLOAD_CLI_EXE, &actions, nullptr, const_cast<char**>(args), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", DCLOAD_CLI_EXE);
        return 1;
    }
    close(out[1]);

    std::vector<double> latencies;
    std::string pending;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30 + samples);
    while (static_cast<int>(latencies.size()) < samples && Clock::now() < deadline) {
        pollfd fd { out[0], POLLIN, 0 };
        if (poll(&fd, 1, 1000) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        const Clock::time_point printed = Clock::now();
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            // time_s,voltage_V,…: the voltage text numbers the reply.
            const size_t comma = line.find(',');
            const int number = comma == std::string::npos ? 0 : std::atoi(line.c_str() + comma + 1);
            if (const auto written = peer.WrittenAt(number))
                latencies.push_back(Millis(printed - *written) - intervalMs);
        }
    }
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    close(out[0]);
    peer.Stop();

    if (static_cast<int>(latencies.size()) < samples) {
        std::fprintf(stderr, "only %zu of %d replies reached standard output\n", latencies.size(), samples);
        return 1;
    }
    const double median = Percentile(latencies, 0.5);
    const double baseMedian = Percentile(baseline, 0.5);
    std::printf(
        "dcload-cli measure: reply-to-output latency over %d replies (read interval %.0f ms taken off):\n",
        samples, intervalMs);
    std::printf("  median %.3f ms, p99 %.3f ms, max %.3f ms\n", median, Percentile(latencies, 0.99),
        Percentile(latencies, 1.0));
    std::printf("bare pseudo-terminal baseline: median %.3f ms\n", baseMedian);
    std::printf("  ratio dcload-cli/baseline: median %.1fx (compare bench_latency's program/baseline)\n",
        median / baseMedian);
    return 0;
}
