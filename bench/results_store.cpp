// Rows stored per second on one connection: db.sqlite, and a PostgreSQL server on its local
// socket with the server's durable default (each commit on its disk) written one row per
// transaction and in batches of 200 through WriteRows, in rounds taken in turn, in one run.
// The server is one of its own in a temporary folder (as the tests make it); without
// initdb the shared store is left out and said so.
//
//   bench_results_store [rows per round, default 3000] [rounds, default 3]
// (the batched store takes ten times the rows, so that each round lasts long enough)
#include "store/ResultsFile.h"
#include "store/ResultsUrl.h"
#include "store/SharedResults.h"
#include "tests/support/PgTestServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

QStringList Reading(int seconds)
{
    return { QStringLiteral("12.34"), QStringLiteral("0.300"), QString::number(seconds),
        QStringLiteral("0.123"), QStringLiteral("09.12.2026 04:00:00") };
}

bool Ready(ResultsFile& store)
{
    const QDeadlineTimer deadline(20000);
    while (!store.Emptied() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return store.Emptied();
}

bool Ready(SharedResults& store)
{
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        try {
            store.StartSession();
            return true;
        } catch (const EDatabaseError& e) {
            if (!e.Busy())
                return false;
            QThread::msleep(5);
        }
    }
    return false;
}

double PerSecond(int rows, const QElapsedTimer& clock)
{
    return rows / (static_cast<double>(clock.nsecsElapsed()) / 1e9);
}

// The local file, each row stored before the next comes.
double LocalRound(ResultsFile& store, int rows, int& seconds)
{
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < rows; ++i)
        store.Insert(ResultsTable::Battery, Reading(++seconds), {});
    if (store.Waiting() > 0)
        std::fprintf(stderr, "%d rows were kept waiting: the figure is not a store's\n", store.Waiting());
    return PerSecond(rows, clock);
}

// The server, one row per transaction (Write waits for each).
double SingleRound(SharedResults& store, int rows, int& seconds)
{
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < rows; ++i)
        store.Write(ResultsTable::Battery, Reading(++seconds));
    return PerSecond(rows, clock);
}

// The server, in batches of 200 handed to WriteRows and polled until stored.
double BatchedRound(SharedResults& store, int rows, qint64& seq, int& seconds)
{
    QElapsedTimer clock;
    clock.start();
    const QString runId = store.RunKey(ResultsTable::Battery);
    for (int done = 0; done < rows;) {
        std::vector<PendingRow> batch;
        for (int i = 0; i < std::min(200, rows - done); ++i) {
            PendingRow row;
            row.runId = runId;
            row.seq = ++seq;
            row.values = Reading(++seconds);
            batch.push_back(std::move(row));
        }
        for (size_t stored = 0; stored < batch.size();) {
            try {
                const std::vector<PendingRow> rest(
                    batch.begin() + static_cast<std::ptrdiff_t>(stored), batch.end());
                stored += store.WriteRows(rest).size();
            } catch (const EDatabaseError& e) {
                if (!e.Busy()) {
                    std::fprintf(stderr, "%s\n", e.what());
                    return 0;
                }
                QThread::usleep(200);
            }
        }
        done += static_cast<int>(batch.size());
    }
    return PerSecond(rows, clock);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rows = argc > 1 ? std::max(100, std::atoi(argv[1])) : 3000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    QTemporaryDir dir;
    ResultsFile local(dir.filePath(QStringLiteral("db.sqlite")));
    local.StartSession();
    if (!Ready(local)) {
        std::fprintf(stderr, "db.sqlite could not be readied\n");
        return 1;
    }
    PgTestServer server;
    std::unique_ptr<SharedResults> shared;
    if (server.Problem().isEmpty()) {
        shared = std::make_unique<SharedResults>(ParseResultsUrl(server.Url()), QStringLiteral("bench"));
        if (!Ready(*shared)) {
            std::fprintf(stderr, "the PostgreSQL server could not be reached\n");
            return 1;
        }
    } else {
        std::printf("PostgreSQL left out: %s\n", qPrintable(server.Problem()));
    }

    std::printf(
        "battery rows per second on one connection; %d rows a round (batched: %d)\n", rows, rows * 10);
    std::printf("%6s %14s %14s %14s %12s %12s\n", "round", "sqlite", "pg one/commit", "pg batch 200",
        "batch/one", "batch/sqlite");
    int seconds = 0;
    qint64 seq = 0;
    std::vector<double> sqlite, single, batched;
    for (int r = 1; r <= rounds; ++r) {
        sqlite.push_back(LocalRound(local, rows, seconds));
        single.push_back(shared ? SingleRound(*shared, rows, seconds) : 0);
        batched.push_back(shared ? BatchedRound(*shared, rows * 10, seq, seconds) : 0);
        std::printf("%6d %14.0f %14.0f %14.0f %12.1f %12.2f\n", r, sqlite.back(), single.back(),
            batched.back(), batched.back() / single.back(), batched.back() / sqlite.back());
        std::fflush(stdout);
    }
    const double s = Median(sqlite), o = Median(single), b = Median(batched);
    std::printf("median %14.0f %14.0f %14.0f %12.1f %12.2f\n", s, o, b, b / o, b / s);
    return 0;
}
