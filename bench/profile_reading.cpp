// What a profile reading costs from the reply to its stored row (the runner's integration
// and end checks, the row's values, the insert into db.sqlite), beside a battery-test
// reading's way from its reply to its stored row, measured in alternating rounds of one run.
//
//   bench_profile_reading [readings per round, default 2000]
#include "link/InstrumentSession.h"
#include "sim/SimulatorHost.h"
#include "store/ResultsFile.h"
#include "store/ResultsQuery.h"
#include "workflows/BatteryDischarge.h"
#include "workflows/ProfileRun.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

struct Cost
{
    double meanUs = 0;
    double medianUs = 0;
};

Cost Measure(int readings, const std::function<void(int)>& one)
{
    std::vector<double> us;
    us.reserve(static_cast<size_t>(readings));
    QElapsedTimer clock;
    for (int i = 0; i < readings; ++i) {
        clock.start();
        one(i);
        us.push_back(static_cast<double>(clock.nsecsElapsed()) / 1000.0);
    }
    double sum = 0;
    for (const double u : us)
        sum += u;
    std::nth_element(us.begin(), us.begin() + readings / 2, us.end());
    return { sum / readings, us[static_cast<size_t>(readings / 2)] };
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int perRound = argc > 1 ? std::max(100, std::atoi(argv[1])) : 2000;
    QTemporaryDir dir;
    ResultsFile results(QDir(dir.path()).filePath(QStringLiteral("db.sqlite")));
    int stored = 0;
    const auto counted = [&stored](const QString&) { ++stored; };

    // The battery test as the window runs it: the instrument's battery layout, a record at
    // the cut-off, a row.
    InstrumentSession battery;
    battery.SetMode(TestMode::Battery);
    battery.SetRun(Activity::Battery, RunState::Running);
    battery.OnBatteryReading = [&](InstrumentSession*, const BatteryReading& r) {
        const BatteryRecord record = RecordOf(r, QStringLiteral("9"));
        if (results.Insert(ResultsTable::Battery,
                { record.voltage, record.current, record.time, record.capacity,
                    MeasurementTimestamp(QDateTime::currentDateTime()) },
                {}))
            ++stored;
    };

    // A profile run on a simulated cell large enough never to end here; once it reads, the
    // polls stop and the replies come from this loop.
    SimOptions cell;
    cell.cellInEveryMode = true;
    cell.batteryCapacityAh = 1000;
    auto host = std::make_shared<SimulatorHost>(cell);
    host->Start();
    InstrumentSession profile;
    profile.Pause = [](int) {};
    profile.AddVirtualPort(QStringLiteral("sim"), [host] { return VirtualPort { host->SlavePath(), host }; });
    profile.Open(QStringLiteral("sim"), 9600);
    ProfileRun run(profile);
    bool reading = false;
    run.OnSample = [&](const ProfileSample& sample) {
        reading = true;
        if (results.Insert(ResultsTable::Profile, ProfileRowValues(run.RunLabel(), sample), counted))
            ++stored;
    };
    run.OnEnd = [](ProfileOutcome, const QString& message) {
        std::fprintf(stderr, "the profile ended: %s\n", qPrintable(message));
        std::exit(1);
    };
    const QByteArray text = "Discharge at 1 A for 10 hours\n";
    run.Start(ReadProfile(text), text);
    QElapsedTimer waited;
    waited.start();
    while (!reading && waited.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!reading) {
        std::fprintf(stderr, "the profile run took no reading within 20 s\n");
        return 1;
    }
    profile.StopPolling();

    std::printf("reply to stored row in db.sqlite, %d readings per round, rounds alternating\n", perRound);
    std::printf("%8s %10s %12s %12s %12s %12s\n", "round", "kind", "mean us", "median us", "mean ratio",
        "median ratio");
    int second = 0;
    for (int round = 1; round <= 3; ++round) {
        const Cost b = Measure(perRound, [&](int) {
            ++second;
            battery.HandleMeasurement(QStringLiteral("12.%1 V,1.000 A,%2s,%3Ah")
                                          .arg(50 - second % 40)
                                          .arg(second)
                                          .arg(second / 3600.0, 0, 'f', 3));
        });
        const Cost p = Measure(perRound, [&](int i) {
            profile.HandleMeasurement(
                QStringLiteral("3.%1V,1.000A").arg(900 - i % 100, 3, 10, QLatin1Char('0')));
        });
        std::printf(
            "%8d %10s %12.1f %12.1f %12s %12s\n", round, "battery", b.meanUs, b.medianUs, "1.00", "1.00");
        std::printf("%8d %10s %12.1f %12.1f %12.2f %12.2f\n", round, "profile", p.meanUs, p.medianUs,
            p.meanUs / b.meanUs, p.medianUs / b.medianUs);
        std::fflush(stdout);
    }
    std::printf("rows stored: %d, waiting: %d\n", stored, results.Waiting());
    run.Stop();
    return 0;
}
