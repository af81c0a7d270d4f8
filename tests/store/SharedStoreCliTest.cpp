// dcload-cli against the shared store: stations storing at once, a server stopped or gone
// mid-run, a killed run's readings, a profile's report, and rows the store refuses.
#include "SharedStoreFixture.h"
#include "support/EventLoop.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <thread>

#include <signal.h>

namespace {

// dcload-cli battery runs with the simulator, as stations in a lab run them.
class SharedStoreCliTest : public SharedStoreTest
{
protected:
    void StartStation(QProcess& cli, const QString& station, const QString& timeScale)
    {
        cli.start(QStringLiteral(DCLOAD_CLI_EXE),
            { "--port", "sim", "--time-scale", timeScale, "--results", server->Url(), "--station", station,
                "battery", "--current", "2", "--cutoff", "11", "--period", "1" });
        ASSERT_TRUE(cli.waitForStarted(5000));
    }

    // The readings the program printed, as stored: DischargeTime, InputCurrent, BatteryCapacity.
    static QStringList Printed(QProcess& cli)
    {
        EXPECT_TRUE(cli.waitForFinished(60000));
        EXPECT_EQ(cli.exitCode(), 0) << cli.readAllStandardError().toStdString();
        QStringList rows;
        for (const QString& line : QString::fromUtf8(cli.readAllStandardOutput()).split(u'\n')) {
            const QStringList f = line.split(u',');
            if (f.size() == 4 && f[0] != u"time_s" && !line.startsWith(u'#'))
                rows << f[0] + u' ' + f[2] + u' ' + f[3];
        }
        return rows;
    }

    static QStringList Stored(const char* station)
    {
        return Rows(
            QStringLiteral("select dischargetime || ' ' || inputcurrent || ' ' || batterycapacity from "
                           "battery where station = '%1' order by id")
                .arg(QLatin1String(station)))
            .split(u'\n', Qt::SkipEmptyParts);
    }
};

TEST_F(SharedStoreCliTest, TwoStationsWritingAtOnceStoreEveryReadingOnceUnderTheirStationAndRun)
{
    QProcess one, two;
    StartStation(one, QStringLiteral("bench-1"), QStringLiteral("800"));
    StartStation(two, QStringLiteral("bench-2"), QStringLiteral("600"));
    const QStringList printedOne = Printed(one), printedTwo = Printed(two);
    ASSERT_GE(printedOne.size(), 3);
    ASSERT_GE(printedTwo.size(), 3);
    EXPECT_EQ(Stored("bench-1"), printedOne);
    EXPECT_EQ(Stored("bench-2"), printedTwo);
    EXPECT_EQ(Rows("select count(distinct run_id) || ' ' || count(distinct (station, run_id)) from battery"),
        u"2 2");
}

TEST_F(SharedStoreCliTest, AServerStoppedForFiveSecondsMidRunStoresEveryPrintedReading)
{
    QProcess cli;
    StartStation(cli, QStringLiteral("bench-1"), QStringLiteral("250"));
    ASSERT_TRUE(WaitUntil(
        [] { return Rows("select count(*) from battery").toInt() >= 3; }, std::chrono::seconds(20)));
    ASSERT_TRUE(server->Stop());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    ASSERT_TRUE(server->Start());
    const QStringList printed = Printed(cli);
    EXPECT_EQ(Stored("bench-1"), printed);
    EXPECT_GE(printed.size(), 10) << "the run went on through the outage";
}

// A run killed (kill -9) while the server is stopped leaves what it printed in its journal:
// the next run of the same station on the same store stores those readings first, once.
TEST_F(SharedStoreCliTest, ARunKilledWhileTheServerIsStoppedHasItsPrintedReadingsStoredByTheNextRun)
{
    QProcess cli;
    StartStation(cli, QStringLiteral("bench-7"), QStringLiteral("250"));
    QString output;
    const auto printed = [&] {
        output += QString::fromUtf8(cli.readAllStandardOutput());
        QStringList rows;
        // Only whole lines: the kill may cut the last one.
        const QStringList lines = output.left(output.lastIndexOf(u'\n') + 1).split(u'\n');
        for (const QString& line : lines) {
            const QStringList f = line.split(u',');
            if (f.size() == 4 && f[0] != u"time_s" && !line.startsWith(u'#'))
                rows << f[0] + u' ' + f[2] + u' ' + f[3];
        }
        return rows;
    };
    ASSERT_TRUE(WaitUntil([] { return Stored("bench-7").size() >= 2; }, std::chrono::seconds(20)));
    ASSERT_TRUE(server->Stop());
    const qsizetype before = printed().size();
    ASSERT_TRUE(WaitUntil([&] { return printed().size() >= before + 3; }, std::chrono::seconds(30)))
        << "readings go on while the server is away";
    ::kill(static_cast<pid_t>(cli.processId()), SIGKILL);
    ASSERT_TRUE(cli.waitForFinished(10000));
    const QStringList killed = printed();
    ASSERT_TRUE(server->Start());
    EXPECT_LT(Stored("bench-7").size(), killed.size()) << "some readings were only in the journal";

    QProcess next;
    next.start(QStringLiteral(DCLOAD_CLI_EXE),
        { "--port", "sim", "--results", server->Url(), "--station", "bench-7", "measure", "--count", "1" });
    ASSERT_TRUE(next.waitForFinished(60000));
    const QString told = QString::fromUtf8(next.readAllStandardError());
    EXPECT_EQ(next.exitCode(), 0) << told.toStdString();
    EXPECT_TRUE(told.contains(QRegularExpression(QStringLiteral("\\d+ reading")))) << told.toStdString();
    EXPECT_EQ(Stored("bench-7"), killed) << "every printed reading once, in order";
    EXPECT_EQ(Rows("select count(*) from (select 1 from battery where station = 'bench-7' "
                   "group by run_id, seq having count(*) > 1) doubled"),
        u"0");
}

// A profile run stores every reading and measurement under one run id; `report` finds the
// run by the start of that id and writes its PDF; a run id naming no run, or a file that
// cannot be written, fails with exit 2 and no file.
TEST_F(SharedStoreCliTest, AProfileRunIsStoredAndItsReportIsMadeFromTheStore)
{
    QTemporaryDir dir;
    const QString profile = dir.filePath(QStringLiteral("p.txt"));
    {
        QFile file(profile);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(
            "Discharge at 1 A until 3.8 V\nMeasure resistance with a 1.5 A pulse for 1 s\nRest for 1 s\n");
    }
    QProcess run;
    run.start(QStringLiteral(DCLOAD_CLI_EXE),
        { "--port", "sim", "--cell-capacity", "0.003", "--results", server->Url(), "--station", "bench-9",
            "profile", profile });
    ASSERT_TRUE(run.waitForFinished(60000));
    ASSERT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
    const QStringList printed
        = QString::fromUtf8(run.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    const int readings
        = static_cast<int>(printed.filter(QRegularExpression(QStringLiteral("^[0-9]"))).size());
    ASSERT_GE(readings, 3);
    EXPECT_EQ(Rows("select count(*) from profile where station = 'bench-9'").toInt(), readings);
    EXPECT_EQ(
        Rows("select count(*) from resistance r join profile p using (run_id) where p.station = 'bench-9' "
             "group by p.id limit 1")
            .toInt(),
        1)
        << "the measurement carries the profile run's id";
    const QString runId = Rows("select distinct run_id from profile where station = 'bench-9'").trimmed();
    ASSERT_EQ(runId.size(), 36) << runId.toStdString();

    const QString pdf = dir.filePath(QStringLiteral("run.pdf"));
    const struct
    {
        QString id;
        QString pdf;
        int exit;
    } cases[] = {
        { runId.left(8), pdf, 0 },
        { QStringLiteral("ffffffff-0000"), dir.filePath(QStringLiteral("none.pdf")), 2 },
        { runId, dir.filePath(QStringLiteral("no/such/folder/run.pdf")), 2 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id.toStdString());
        QProcess report;
        report.start(
            QStringLiteral(DCLOAD_CLI_EXE), { "--results", server->Url(), "report", c.id, "--pdf", c.pdf });
        ASSERT_TRUE(report.waitForFinished(60000));
        EXPECT_EQ(report.exitCode(), c.exit) << report.readAllStandardError().toStdString();
        EXPECT_EQ(QFileInfo::exists(c.pdf), c.exit == 0);
    }
    QProcess text;
    text.start(QStringLiteral("pdftotext"), { "-layout", pdf, "-" });
    ASSERT_TRUE(text.waitForFinished(30000));
    const QString words = QString::fromUtf8(text.readAllStandardOutput());
    for (const QString& expected : { runId, QStringLiteral("bench-9"), QStringLiteral("profile") })
        EXPECT_TRUE(words.contains(expected, Qt::CaseInsensitive)) << expected.toStdString() << "\n"
                                                                   << words.toStdString();
}

// A store that refuses the readings (a trigger here; a role that may not insert or a full
// disk alike): the run goes on to its end, and dcload-cli exits 2 saying how many readings
// were not stored, and why.
TEST_F(SharedStoreCliTest, ReadingsTheStoreRefusesEndTheRunWithStatusTwoSayingHowManyAndWhy)
{
    {
        Store made(server->Url(), QStringLiteral("bench-1"));
        ASSERT_TRUE(WaitUntil([&] { return made.file.Emptied(); }));
    }
    Rows("create or replace function refuse() returns trigger language plpgsql as $$ begin raise exception "
         "'refused by the test trigger'; end $$; create trigger refuse before insert on battery for each row "
         "execute function refuse()");
    QProcess cli;
    StartStation(cli, QStringLiteral("bench-1"), QStringLiteral("800"));
    ASSERT_TRUE(cli.waitForFinished(60000));
    EXPECT_EQ(cli.exitCode(), 2);
    int printed = 0;
    for (const QString& line : QString::fromUtf8(cli.readAllStandardOutput()).split(u'\n'))
        printed += line.split(u',').size() == 4 && !line.startsWith(u"time_s") && !line.startsWith(u'#');
    ASSERT_GE(printed, 3);
    const QString told = QString::fromUtf8(cli.readAllStandardError());
    const QRegularExpressionMatch said = QRegularExpression(
        QStringLiteral("(\\d+) readings were not stored: [^\n]*refused by the test trigger"))
                                             .match(told);
    ASSERT_TRUE(said.hasMatch()) << told.toStdString();
    EXPECT_GE(said.captured(1).toInt(), printed) << "every reading, and the run's record if it has one";
    EXPECT_EQ(Rows("select count(*) from battery"), u"0");
}

} // namespace
