// The shared results store against a real PostgreSQL server that crashes, loses a commit's
// answer, is held up by another client or stopped, has tables of an older version, or
// refuses rows. The store is driven as the results file drives it: rows numbered within
// their run, written in batches while the caller polls, and counted stored only once the
// store returns their Ids.
#include "CommitCutRelay.h"
#include "store/ResultsUrl.h"
#include "store/SharedResults.h"
#include "support/EventLoop.h"
#include "support/PgSuite.h"

#include <QProcess>
#include <QTimer>
#include <QUuid>
#include <csignal>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace {

// A caller of WriteRows: rows wait in order until the store returns their Ids.
struct Writer
{
    Writer(const QString& url, const QString& station = QStringLiteral("alpha"))
        : store(std::make_unique<SharedResults>(ParseResultsUrl(url), station))
        , runId(store->RunKey(ResultsTable::Battery))
    { }

    // Readies the store; false when it kept failing.
    bool Start()
    {
        return WaitUntil([this] {
            try {
                store->StartSession();
                return true;
            } catch (const EDatabaseError& e) {
                if (!e.Busy())
                    errors << QString::fromUtf8(e.what());
                return false;
            }
        });
    }

    void Add(int count)
    {
        for (int i = 0; i < count; ++i) {
            PendingRow row;
            row.runId = runId;
            row.seq = ++added;
            row.values = QStringList { "12.00", "0.300", QString::number(row.seq), "0.001", "9.12.2026" };
            waiting.push_back(row);
        }
    }

    void AddRecord(bool ended)
    {
        PendingRow row;
        row.runId = runId;
        row.runRecord = true;
        row.record.runId = runId;
        row.record.kind = QStringLiteral("battery");
        row.record.started = QDateTime(QDate(2026, 12, 9), QTime(4, 0), Qt::UTC);
        if (ended) {
            row.record.ended = row.record.started.addSecs(60);
            row.record.outcome = QStringLiteral("cut-off");
        }
        waiting.push_back(row);
    }

    // One poll of the store, as the results file's flush makes it.
    void Step()
    {
        if (waiting.empty())
            return;
        const std::vector<PendingRow> batch(
            waiting.begin(), waiting.begin() + std::min<std::ptrdiff_t>(200, std::ssize(waiting)));
        try {
            const std::vector<QString> got = store->WriteRows(batch);
            for (const QString& id : got) {
                if (!waiting.front().runRecord)
                    stored.push_back({ waiting.front().seq, id });
                waiting.pop_front();
            }
        } catch (const EDatabaseError& e) {
            if (!e.Busy())
                errors << QString::fromUtf8(e.what());
            if (!e.Passing())
                refused = true;
        }
    }

    bool StoreAll()
    {
        return WaitUntil(
            [this] {
                Step();
                return waiting.empty();
            },
            std::chrono::seconds(60));
    }

    std::unique_ptr<SharedResults> store;
    QString runId;
    qint64 added = 0;
    std::deque<PendingRow> waiting;
    std::vector<std::pair<qint64, QString>> stored; // seq and Id, as the store reported them
    QStringList errors;
    bool refused = false;
};

class SharedDurabilityTest : public PgSuite
{
protected:
    void SetUp() override
    {
        PgSuite::SetUp();
        if (IsSkipped())
            return;
        server->Psql(QStringLiteral("drop table if exists battery, lists, profile, resistance, runs"));
    }

    // Every row of the run once, numbered 1 … count; and the Ids the store reported are theirs.
    static void ExpectOnce(const Writer& writer, qint64 count)
    {
        EXPECT_EQ(Rows("select count(*) || ' ' || count(distinct seq) || ' ' || min(seq) || ' ' || max(seq) "
                       "from battery where station = 'alpha'"),
            QStringLiteral("%1 %1 1 %1").arg(count));
        EXPECT_EQ(Rows("select count(*) from (select seq from battery group by station, run_id, seq having "
                       "count(*) > 1) twice"),
            u"0");
        QStringList reported;
        for (const auto& [seq, id] : writer.stored)
            reported << QString::number(seq) + u':' + id;
        EXPECT_EQ(Rows("select string_agg(seq || ':' || id, ',' order by seq) from battery where station = "
                       "'alpha'"),
            reported.join(u','));
    }
};

TEST_F(SharedDurabilityTest, ACrashMidRunKeepsEveryRowReportedStoredAndDoublesNone)
{
    Writer writer(server->Url());
    ASSERT_TRUE(writer.Start()) << writer.errors.join(u'\n').toStdString();
    writer.AddRecord(false);
    ASSERT_TRUE(WaitUntil([&] {
        writer.Add(20);
        writer.Step();
        return writer.stored.size() >= 400;
    }));
    // A batch is handed over, and the server dies under it.
    writer.Add(150);
    writer.Step();
    ASSERT_TRUE(server->Crash());
    const qint64 reported = writer.stored.back().first;
    for (int i = 0; i < 5; ++i) {
        writer.Add(10);
        writer.Step();
    }
    ASSERT_TRUE(server->Start());
    EXPECT_EQ(Rows(QStringLiteral("select count(*) from battery where seq <= %1").arg(reported)),
        QString::number(reported))
        << "every row reported stored survived the crash";

    writer.AddRecord(true);
    ASSERT_TRUE(writer.StoreAll()) << writer.errors.join(u'\n').toStdString();
    ExpectOnce(writer, writer.added);
    EXPECT_FALSE(writer.errors.filter(QStringLiteral("went away")).isEmpty()
        && writer.errors.filter(QStringLiteral("Cannot reach")).isEmpty())
        << writer.errors.join(u'\n').toStdString();
    const std::vector<RunRecord> runs = writer.store->RunRecords({});
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].outcome, u"cut-off") << "the run's records were written in order";
}

TEST_F(SharedDurabilityTest, ACommitWhoseAnswerIsLostIsStoredOnceAndReportedWithItsId)
{
    CommitCutRelay relay(server->SocketDir() + QStringLiteral("/.s.PGSQL.%1").arg(server->Port()));
    Writer writer(QStringLiteral("postgresql://dcload@127.0.0.1:%1/results").arg(relay.Port()));
    ASSERT_TRUE(writer.Start()) << writer.errors.join(u'\n').toStdString();
    writer.Add(50);
    ASSERT_TRUE(writer.StoreAll()) << writer.errors.join(u'\n').toStdString();

    relay.CutNextCommit();
    writer.Add(50);
    ASSERT_TRUE(writer.StoreAll()) << writer.errors.join(u'\n').toStdString();
    EXPECT_EQ(relay.Cuts(), 1);
    ASSERT_EQ(writer.errors.size(), 1) << writer.errors.join(u'\n').toStdString();
    EXPECT_TRUE(writer.errors[0].contains(u"went away")) << writer.errors[0].toStdString();
    ExpectOnce(writer, 100);
}

// The caller's thread keeps turning while the store is held up, and the rows are stored
// once it lets go.
TEST_F(SharedDurabilityTest, AServerHeldUpNeverHoldsUpTheCallerAndStoresEveryRowOnceAfterwards)
{
    QProcess holder;
    const struct
    {
        const char* name;
        std::function<void()> hold, release;
        const char* says; // the error the caller is given while held up
        const char* status; // HeldUpStatus meanwhile
    } cases[] = {
        { "another client locks the table",
            [&] {
                server->StartSession(holder);
                holder.write("begin; lock table battery in access exclusive mode;\n");
                ASSERT_TRUE(WaitUntil([] {
                    return Rows("select count(*) from pg_locks where relation = 'battery'::regclass and mode "
                                "= 'AccessExclusiveLock' and granted")
                        == u"1";
                }));
            },
            [&] {
                holder.write("commit;\n");
                holder.closeWriteChannel();
                holder.waitForFinished(10000);
            },
            "another client holds a lock on the table", "Another client holds a lock" },
        { "the server is stopped", [] { ASSERT_TRUE(server->Signal(SIGSTOP)); },
            [] { ASSERT_TRUE(server->Signal(SIGCONT)); }, "has not answered for 5 s", "does not answer" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Writer writer(server->Url());
        Writer leaving(server->Url(), QStringLiteral("leaving"));
        ASSERT_TRUE(writer.Start() && leaving.Start());
        writer.Add(20);
        leaving.Add(1);
        ASSERT_TRUE(writer.StoreAll() && leaving.StoreAll());

        c.hold();
        // A reading on each of the first 20 ticks, and a poll on every one: the store must
        // take them and hand back at once.
        int ticks = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            if (++ticks <= 20)
                writer.Add(1);
            writer.Step();
        });
        tick.start(0);
        ASSERT_TRUE(WaitUntil([&] { return ticks >= 20 && !writer.errors.filter(c.says).isEmpty(); }))
            << writer.errors.join(u'\n').toStdString();
        tick.stop();
        EXPECT_EQ(writer.stored.size(), 20u) << "nothing stored while held up";
        EXPECT_TRUE(writer.store->HeldUpStatus().contains(QLatin1String(c.status)))
            << writer.store->HeldUpStatus().toStdString();
        // A store whose server holds its write goes without waiting for it.
        leaving.Add(1);
        leaving.Step();
        leaving.store.reset();

        c.release();
        ASSERT_TRUE(writer.StoreAll()) << writer.errors.join(u'\n').toStdString();
        ExpectOnce(writer, writer.added);
        EXPECT_FALSE(writer.refused);
    }
}

// A table of an older version (no seq) gets the column and the unique key, its rows kept;
// a table another program dropped is made again.
TEST_F(SharedDurabilityTest, OldTablesAreCompletedAndADroppedTableIsMadeAgain)
{
    Rows("create table battery(Id bigserial primary key, InputVoltage text, InputCurrent text, DischargeTime "
         "text, BatteryCapacity text, MeasTime text, station text not null, run_id uuid not null); create "
         "index battery_station_run on battery(station, run_id); insert into battery(dischargetime, station, "
         "run_id) values ('old1', 'alpha', gen_random_uuid()), ('old2', 'alpha', gen_random_uuid())");
    Writer writer(server->Url());
    ASSERT_TRUE(writer.Start()) << writer.errors.join(u'\n').toStdString();
    EXPECT_EQ(Rows("select string_agg(dischargetime, ',' order by id) from battery where seq is null"),
        u"old1,old2");
    EXPECT_EQ(Rows("select indexdef like '%UNIQUE%(station, run_id, seq)' from pg_indexes where indexname = "
                   "'battery_run_seq'"),
        u"t");

    writer.Add(3);
    ASSERT_TRUE(writer.StoreAll());
    Rows("drop table battery");
    writer.Add(2);
    ASSERT_TRUE(writer.StoreAll()) << writer.errors.join(u'\n').toStdString();
    EXPECT_EQ(Rows("select string_agg(seq::text, ',' order by id) from battery"), u"4,5");
    EXPECT_TRUE(writer.errors.isEmpty()) << writer.errors.join(u'\n').toStdString();
}

// A row the server refuses is said with the table and the server's reason, and not
// reported stored.
TEST_F(SharedDurabilityTest, ARefusedRowIsSaidWithItsReasonAndNotReportedStored)
{
    const struct
    {
        const char* setup;
        const char* user;
        const char* says;
    } cases[] = {
        { "drop role if exists reader; create role reader login; grant select on battery to reader", "reader",
            "permission denied for table battery" },
        { "alter table battery add constraint readable check (inputvoltage <> '12.00')", "dcload",
            "violates check constraint \"readable\"" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        SetUp();
        {
            Writer maker(server->Url());
            ASSERT_TRUE(maker.Start());
        }
        Rows(QLatin1String(c.setup));
        Writer writer(server->Url(QLatin1String(c.user)));
        ASSERT_TRUE(writer.Start()) << writer.errors.join(u'\n').toStdString();
        writer.Add(3);
        ASSERT_TRUE(WaitUntil([&] {
            writer.Step();
            return writer.refused;
        }));
        EXPECT_TRUE(writer.errors.last().contains(u"refused the readings of table battery")
            && writer.errors.last().contains(QLatin1String(c.says)))
            << writer.errors.last().toStdString();
        EXPECT_TRUE(writer.stored.empty());
        EXPECT_EQ(writer.waiting.size(), 3u);
    }
}

} // namespace
