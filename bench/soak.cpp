// A long battery test through the whole program: the window offscreen, the instrument
// simulator on a pseudo-terminal, a reading every simulated second for a simulated day.
// Time is sped up on both sides: the simulator's clock runs as many times faster as the
// window polls faster than once a second, so every reading is a real round trip through
// the serial component, the pipeline, the session, the store, the grid and the chart.
//
// Reports the wall time, the peak resident memory and the memory at each simulated hour,
// descriptors and threads at the start and the end, and rows stored against readings shown.
// Targets: rows = readings; growth from the end of hour 1 to the end of hour 24 under
// 5 MiB; no growth in descriptors (but the grid's one spill file) or threads. Past a day,
// the memory at the end of each simulated day is printed too.
//
//   QT_QPA_PLATFORM=offscreen bench_soak [--hours H (24)] [--poll-ms MS (40, at least 5)]
//
// A week is long even sped up: each simulated day is also printed as it ends, so a run cut
// short still tells how the memory went.
//
// For finding where memory goes: SOAK_TRIM=1 hands free heap back before each hourly
// figure (what is left is held, not fragmentation); SOAK_EXIT_HOLDING=1 ends without
// tearing down, so a heap profiler reports everything held at the end as kept.
#include "ConnectWindow.h"
#include "comm/SerialComm.h"
#include "sim/SimulatorHost.h"
#include "store/ResultsQuery.h"
#include "ui/main.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <sys/resource.h>

namespace {

int Option(int argc, char** argv, const char* name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    return fallback;
}

// A line of /proc/self/status, such as "VmRSS" (kB) or "Threads".
long Status(const char* key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(QByteArray(key) + ':'))
            return line.mid(static_cast<int>(std::strlen(key)) + 1).trimmed().split(' ').first().toLong();
    return -1;
}

long Descriptors()
{
    return static_cast<long>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

int StoredRows()
{
    int rows = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("soak-reader"));
        db.setDatabaseName(QStringLiteral("db.sqlite"));
        if (db.open()) {
            QSqlQuery query(QStringLiteral("select count(*) from battery"), db);
            if (query.next())
                rows = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("soak-reader"));
    return rows;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int hours = std::max(1, Option(argc, argv, "--hours", 24));
    const int pollMs = std::max(5, Option(argc, argv, "--poll-ms", 40));
    const int readingsWanted = hours * 3600;

    QTemporaryDir dir; // db.sqlite goes here
    QDir::setCurrent(dir.path());

    SimOptions options;
    options.replyDelayMs = 0;
    options.timeScale = 1000.0 / pollMs; // one simulated second per poll
    options.batteryCapacityAh = 1000; // far more than a day at the test's current
    SimulatorHost host(options);
    host.Start();

    long fdsBefore = 0;
    long threadsBefore = 0;
    TForm1 form;
    form.BuildAllPages();
    form.Session().Pause = [](int) {};
    // The same pipeline, only faster: a reply ends 5 ms after its last byte, a command
    // leaves every poll / 3, a poll every pollMs; below 10 ms polls, 2 ms for both.
    const int quickest = pollMs < 10 ? 2 : 5;
    form.Comm1->setReadIntervalTimeout(quickest);
    form.CoTimer->setInterval(std::max(quickest, pollMs / 3));
    form.show();
    if (!bench::ConnectWindow(form, host.SlavePath()))
        return 1;

    long readings = 0;
    QElapsedTimer clock;
    std::vector<long> hourlyRss;
    std::vector<long> hourlyHeap; // bytes the program holds, to tell growth from fragmentation
    const auto program = form.Session().OnBatteryReading;
    form.Session().OnBatteryReading = [&](InstrumentSession* sender, const BatteryReading& reading) {
        program(sender, reading);
        if (++readings % 3600 == 0) {
            if (qEnvironmentVariableIsSet("SOAK_TRIM")) // how much of the growth is free heap
                malloc_trim(0);
            hourlyRss.push_back(Status("VmRSS"));
            const auto heap = mallinfo2(); // small blocks and the large ones mapped alone
            hourlyHeap.push_back(static_cast<long>((heap.uordblks + heap.hblkhd) / 1024));
            if (readings % (24 * 3600) == 0) {
                std::printf("  day %ld: RSS %.1f MiB, heap %.1f MiB, %.0f s of wall time\n",
                    readings / (24 * 3600), hourlyRss.back() / 1024.0, hourlyHeap.back() / 1024.0,
                    clock.elapsed() / 1000.0);
                std::fflush(stdout);
            }
        }
        if (readings >= readingsWanted)
            app.quit();
    };
    // Connected and read back, then the test as the operator starts it, at a 1 s period
    // sped up to the poll interval: each step once the instrument has answered the last, so
    // a slow machine only starts later.
    int step = 0;
    QTimer operatorSteps;
    QObject::connect(&operatorSteps, &QTimer::timeout, &form, [&] {
        if (!form.Session().Pipeline().Idle())
            return;
        if (step == 0) {
            form.PageControl1->setCurrentIndex(1);
            form.testInteral->setText(QStringLiteral("1"));
            form.BSetButton->click();
            step = 1;
        } else if (step == 1 && form.startButtonB->isEnabled()) {
            form.startButtonB->click(); // the first click after connecting only stops
            form.startButtonB->click();
            form.fetchTimer->setInterval(pollMs);
            fdsBefore = Descriptors();
            threadsBefore = Status("Threads");
            clock.start();
            operatorSteps.stop();
        }
    });
    operatorSteps.start(200);
    app.exec();
    const double wallSeconds = clock.elapsed() / 1000.0;
    const long fdsAfter = Descriptors();
    const long threadsAfter = Status("Threads");
    form.startButtonB->click();
    const int gridRows = form.ADOQuery2->RowCount();

    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf(
        "soak: %d simulated hours, a reading every simulated second, polled every %d ms\n", hours, pollMs);
    std::printf("  wall time %.0f s for %ld readings\n", wallSeconds, readings);
    std::printf("  peak RSS %.1f MiB\n", usage.ru_maxrss / 1024.0);
    std::printf("  RSS at each simulated hour, MiB:");
    for (const long kb : hourlyRss)
        std::printf(" %.1f", kb / 1024.0);
    std::printf("\n  heap in use at each simulated hour, MiB:");
    for (const long kb : hourlyHeap)
        std::printf(" %.1f", kb / 1024.0);
    std::printf("\n");
    if (hourlyRss.size() > 1) {
        const size_t day = std::min<size_t>(hourlyRss.size(), 24) - 1;
        std::printf("  growth from hour 1 to hour %zu %.1f MiB (target < 5 by hour 24)\n", day + 1,
            (hourlyRss[day] - hourlyRss.front()) / 1024.0);
    }
    if (hourlyRss.size() > 24) {
        std::printf("  RSS at the end of each simulated day, MiB:");
        for (size_t hour = 23; hour < hourlyRss.size(); hour += 24)
            std::printf(" %.1f", hourlyRss[hour] / 1024.0);
        std::printf("\n");
    }
    std::printf("  descriptors %ld -> %ld, threads %ld -> %ld (from the start of the run to its end)\n",
        fdsBefore, fdsAfter, threadsBefore, threadsAfter);
    std::printf(
        "  readings shown %ld, grid rows %d, rows in db.sqlite %d\n", readings, gridRows, StoredRows());
    // For a heap profiler: end with everything still held, so what is live is told as kept.
    if (qEnvironmentVariableIsSet("SOAK_EXIT_HOLDING")) {
        std::fflush(stdout);
        std::_Exit(0);
    }
    return 0;
}
