// What publishing a reading live adds to its way from the instrument's reply to its stored
// row: a battery reading as the window takes it (reply cut, record, insert into db.sqlite),
// once without a publisher and once building its JSON and handing it to libmosquitto for a
// mosquitto on this machine, in alternating rounds of one run. Target: the median reading
// costs less than 0.1 ms more when published (readings come 300 ms apart at the fastest),
// whatever the ratio; the network is libmosquitto's thread's business, never the reading's.
//
//   bench_publish [readings per round, default 2000]
#include "link/InstrumentSession.h"
#include "publish/LiveFeed.h"
#include "publish/LivePublisher.h"
#include "store/ResultsFile.h"
#include "store/ResultsQuery.h"
#include "tests/support/MqttTestBroker.h"
#include "workflows/BatteryDischarge.h"

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
    MqttTestBroker broker;
    if (!broker.Problem().isEmpty()) {
        std::fprintf(stderr, "no broker: %s\n", qPrintable(broker.Problem()));
        return 1;
    }
    PublishLocation location;
    location.host = QStringLiteral("127.0.0.1");
    location.port = broker.Port();
    location.prefix = QStringLiteral("bench");
    LivePublisher publisher(location, QStringLiteral("station"), {});
    publisher.Start();
    if (!WaitUntil([&] { return publisher.CurrentState() == LivePublisher::State::Publishing; })) {
        std::fprintf(stderr, "the publisher did not connect to the broker on port %d\n", broker.Port());
        return 1;
    }
    LiveFeed silent, live(&publisher);
    RunRecord run;
    run.kind = QStringLiteral("battery");
    live.RunStarted(run);

    QTemporaryDir dir;
    ResultsFile results(QDir(dir.path()).filePath(QStringLiteral("db.sqlite")));
    InstrumentSession session;
    session.SetMode(TestMode::Battery);
    session.SetRun(Activity::Battery, RunState::Running);
    LiveFeed* feed = &silent;
    int stored = 0;
    session.OnBatteryReading = [&](InstrumentSession*, const BatteryReading& r) {
        const BatteryRecord record = RecordOf(r, QStringLiteral("9"));
        if (results.Insert(ResultsTable::Battery,
                { record.voltage, record.current, record.time, record.capacity,
                    MeasurementTimestamp(QDateTime::currentDateTime()) },
                {}))
            ++stored;
        LiveReading reading = LiveReadingOf(QDateTime::currentDateTime(), r.voltageValue, r.currentValue);
        reading.seconds = r.seconds;
        reading.capacityAh = r.capacityValue;
        feed->Reading(reading);
    };

    std::printf(
        "battery reading, reply to stored row, %d readings per round, rounds alternating\n", perRound);
    std::printf("%8s %12s %12s %12s %12s %12s %12s\n", "round", "kind", "mean us", "median us", "mean ratio",
        "median ratio", "added us");
    int second = 0;
    const auto one = [&](int) {
        ++second;
        session.HandleMeasurement(QStringLiteral("12.%1 V,1.000 A,%2s,%3Ah")
                                      .arg(50 - second % 40)
                                      .arg(second)
                                      .arg(second / 3600.0, 0, 'f', 3));
    };
    for (int round = 1; round <= 3; ++round) {
        feed = &silent;
        const Cost quiet = Measure(perRound, one);
        feed = &live;
        const Cost published = Measure(perRound, one);
        std::printf("%8d %12s %12.1f %12.1f %12s %12s\n", round, "stored", quiet.meanUs, quiet.medianUs,
            "1.00", "1.00");
        std::printf("%8d %12s %12.1f %12.1f %12.2f %12.2f\n", round, "+published", published.meanUs,
            published.medianUs, published.meanUs / quiet.meanUs, published.medianUs / quiet.medianUs);
        std::fflush(stdout);
    }
    live.RunEnded(QStringLiteral("finished"));
    const int left = publisher.Finish(3000);
    std::printf("rows stored: %d, waiting: %d; readings not published: %d, run messages not taken: %d\n",
        stored, results.Waiting(), publisher.ReadingsNotPublished(), left);
    return 0;
}
