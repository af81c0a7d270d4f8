// Rows stored per second through the results store on one connection: db.sqlite next to
// a PostgreSQL server on its local socket, in rounds taken in turn, in one run. The server
// is one of its own in a temporary folder (as the tests make it); without initdb the
// shared store is left out and said so.
//
//   bench_results_store [rows per round, default 3000] [rounds, default 3]
#include "store/ResultsFile.h"
#include "store/ResultsUrl.h"
#include "store/SharedResults.h"
#include "tests/support/PgTestServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

bool Ready(ResultsFile& store)
{
    const QDeadlineTimer deadline(20000);
    while (!store.Emptied() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return store.Emptied();
}

// Rows per second for `rows` battery readings, each stored before the next comes.
double Round(ResultsFile& store, int rows, int& seconds)
{
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < rows; ++i) {
        ++seconds;
        store.Insert(ResultsTable::Battery,
            { QStringLiteral("12.34"), QStringLiteral("0.300"), QString::number(seconds),
                QStringLiteral("0.123"), QStringLiteral("09.12.2026 04:00:00") },
            {});
    }
    const double elapsed = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    if (store.Waiting() > 0)
        std::fprintf(stderr, "%d rows were kept waiting: the figure is not a store's\n", store.Waiting());
    return rows / elapsed;
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
    std::unique_ptr<ResultsFile> shared;
    if (server.Problem().isEmpty()) {
        shared = std::make_unique<ResultsFile>(
            std::make_unique<SharedResults>(ParseResultsUrl(server.Url()), QStringLiteral("bench")));
        shared->StartSession();
        if (!Ready(*shared)) {
            std::fprintf(stderr, "the PostgreSQL server could not be reached\n");
            return 1;
        }
    } else {
        std::printf("PostgreSQL left out: %s\n", qPrintable(server.Problem()));
    }

    std::printf("battery rows stored one at a time, %d per round\n", rows);
    std::printf("%6s %16s %16s %10s\n", "round", "sqlite rows/s", "postgres rows/s", "pg/sqlite");
    int seconds = 0;
    std::vector<double> sqlite, postgres;
    for (int r = 1; r <= rounds; ++r) {
        sqlite.push_back(Round(local, rows, seconds));
        postgres.push_back(shared ? Round(*shared, rows, seconds) : 0);
        std::printf(
            "%6d %16.0f %16.0f %10.2f\n", r, sqlite.back(), postgres.back(), postgres.back() / sqlite.back());
        std::fflush(stdout);
    }
    std::sort(sqlite.begin(), sqlite.end());
    std::sort(postgres.begin(), postgres.end());
    const size_t mid = sqlite.size() / 2;
    std::printf("median %16.0f %16.0f %10.2f\n", sqlite[mid], postgres[mid], postgres[mid] / sqlite[mid]);
    return 0;
}
