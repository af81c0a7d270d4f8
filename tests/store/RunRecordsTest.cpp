// The runs table of the shared store as dcload-cli writes and reads it: the records of a
// battery, a list and an interrupted run, `runs` with its filters, `export`, and the lab
// dashboard's queries exactly as docs/results-database.md and the Grafana dashboard give them.
#include "support/EventLoop.h"
#include "support/PgSuite.h"
#include "workflows/ProgramInfo.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <map>

namespace {

struct Ran
{
    int exit = -1;
    QString out, err;
};

Ran RunCli(const QStringList& arguments)
{
    QProcess cli;
    cli.start(QStringLiteral(DCLOAD_CLI_EXE), arguments);
    cli.waitForFinished(120000);
    return { cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1,
        QString::fromUtf8(cli.readAllStandardOutput()), QString::fromUtf8(cli.readAllStandardError()) };
}

// Three runs, made once for the suite: a battery run to its cut-off (bench-1), a list run
// (bench-2) and a battery run interrupted with Ctrl+C (bench-3), side by side.
class RunRecordsTest : public PgSuite
{
protected:
    static void SetUpTestSuite()
    {
        PgSuite::SetUpTestSuite();
        if (!server->Problem().isEmpty())
            return;
        const QString url = server->Url();
        QProcess battery, list, interrupted;
        battery.start(QStringLiteral(DCLOAD_CLI_EXE),
            { "--port", "sim", "--time-scale", "1000", "--results", url, "--station", "bench-1", "battery",
                "--current", "2", "--cutoff", "11", "--period", "1" });
        list.start(QStringLiteral(DCLOAD_CLI_EXE),
            { "--port", "sim", "--results", url, "--station", "bench-2", "list", "--steps",
                DCLOAD_LIST_PROGRAM });
        interrupted.start(QStringLiteral(DCLOAD_CLI_EXE),
            { "--port", "sim", "--results", url, "--station", "bench-3", "battery", "--current", "1",
                "--cutoff", "10", "--period", "1" });
        // Interrupted once its record and a reading are stored.
        WaitUntil(
            [] {
                return server->Psql("select count(*) from runs where station = 'bench-3'").toInt() == 1
                    && server->Psql("select count(*) from battery where station = 'bench-3'").toInt() > 0;
            },
            std::chrono::seconds(60));
        ::kill(static_cast<pid_t>(interrupted.processId()), SIGINT);
        for (QProcess* cli : { &battery, &list, &interrupted }) {
            cli->waitForFinished(120000);
            exits << cli->exitCode();
            errors << QString::fromUtf8(cli->readAllStandardError());
        }
    }
    void SetUp() override
    {
        PgSuite::SetUp();
        if (IsSkipped())
            return;
        ASSERT_EQ(exits, (QList<int> { 0, 0, 0 })) << errors.join(u'\n').toStdString();
    }

    static Ran Cli(const QStringList& arguments)
    {
        return RunCli(QStringList { "--results", server->Url() } + arguments);
    }

    // `runs --json`, by station.
    static std::map<QString, QJsonObject> Listed()
    {
        const Ran ran = Cli({ "runs", "--json" });
        EXPECT_EQ(ran.exit, 0) << ran.err.toStdString();
        std::map<QString, QJsonObject> runs;
        for (const QJsonValue& run : QJsonDocument::fromJson(ran.out.toUtf8()).array())
            runs[run[QStringLiteral("station")].toString()] = run.toObject();
        return runs;
    }

    static inline QList<int> exits;
    static inline QStringList errors;
};

TEST_F(RunRecordsTest, EachRunIsRecordedWithWhatStartedItAndHowItEnded)
{
    const std::map<QString, QJsonObject> runs = Listed();
    ASSERT_EQ(runs.size(), 3u);
    const struct
    {
        QString station, kind, outcome, parameter;
        double value;
    } cases[] = {
        { "bench-1", "battery", "cut-off", "current_A", 2 },
        { "bench-2", "list", "pass", "", 0 },
        { "bench-3", "battery", "program ended", "cutoff_V", 10 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.station.toStdString());
        const QJsonObject run = runs.at(c.station);
        EXPECT_EQ(run["kind"].toString(), c.kind);
        EXPECT_EQ(run["outcome"].toString(), c.outcome);
        EXPECT_EQ(run["program_version"].toString(), kProgramVersion);
        EXPECT_EQ(run["instrument"].toString(), QString()) << "the simulator does not answer *idn?";
        EXPECT_EQ(run["run_id"].toString().size(), 36);
        const QDateTime started = QDateTime::fromString(run["started"].toString(), Qt::ISODateWithMs);
        const QDateTime ended = QDateTime::fromString(run["ended"].toString(), Qt::ISODateWithMs);
        EXPECT_TRUE(started.isValid() && ended.isValid() && started < ended)
            << run["started"].toString().toStdString() << " " << run["ended"].toString().toStdString();
        EXPECT_GT(run["readings"].toInt(), 0);
        const QJsonObject parameters = run["parameters"].toObject();
        EXPECT_EQ(parameters["mode"].toString(), c.kind);
        if (!c.parameter.isEmpty()) {
            EXPECT_EQ(parameters[c.parameter].toDouble(), c.value);
        }
    }
    // The list program's levels, as docs/list-program.json gives them.
    const QJsonArray steps = runs.at("bench-2")["parameters"]["steps"].toArray();
    ASSERT_EQ(steps.size(), 3);
    EXPECT_EQ(steps[1]["level"].toDouble(), 1.0);
    EXPECT_EQ(steps[2]["mode"].toString(), u"CV");
    EXPECT_EQ(steps[2]["high"].toDouble(), 11.5);
}

TEST_F(RunRecordsTest, RunsAreListedByStationAndSinceADate)
{
    const QString tomorrow = QDate::currentDate().addDays(1).toString(Qt::ISODate);
    const QString yesterday = QDate::currentDate().addDays(-1).toString(Qt::ISODate) + "T12:00:00Z";
    const struct
    {
        QStringList options;
        int lines; // runs listed
    } cases[] = {
        { {}, 3 },
        { { "--station", "bench-1" }, 1 },
        { { "--station", "bench-9" }, 0 },
        { { "--since", tomorrow }, 0 },
        { { "--since", yesterday }, 3 },
        { { "--since", yesterday, "--station", "bench-2" }, 1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.join(u' ').toStdString());
        const Ran ran = Cli(QStringList { "runs" } + c.options);
        EXPECT_EQ(ran.exit, 0) << ran.err.toStdString();
        const QStringList lines = ran.out.split(u'\n', Qt::SkipEmptyParts);
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_EQ(lines[0], u"run_id,station,kind,started,ended,outcome,readings");
        EXPECT_EQ(lines.size() - 1, c.lines) << ran.out.toStdString();
    }
}

TEST_F(RunRecordsTest, ARunsReadingsAreExportedByTheStartOfItsId)
{
    const QJsonObject battery = Listed().at("bench-1");
    const QString runId = battery["run_id"].toString();
    QTemporaryDir dir;
    const struct
    {
        QString id;
        QString file;
        int exit;
    } cases[] = {
        { runId.left(8), dir.filePath("run.csv"), 0 },
        { runId.left(8).toUpper(), dir.filePath("upper.csv"), 0 },
        { "ffffffff-0000", dir.filePath("none.csv"), 2 },
        { runId, dir.filePath("no/such/folder/run.csv"), 2 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id.toStdString());
        const Ran ran = Cli({ "export", c.id, "--csv", c.file });
        EXPECT_EQ(ran.exit, c.exit) << ran.err.toStdString();
        EXPECT_EQ(QFileInfo::exists(c.file), c.exit == 0);
        EXPECT_TRUE(QDir(dir.path()).entryList({ "*.partial-*" }, QDir::Files | QDir::Hidden).isEmpty());
        if (c.exit != 0)
            continue;
        QFile file(c.file);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_EQ(lines[0], u"InputVoltage,InputCurrent,DischargeTime,BatteryCapacity,MeasTime");
        EXPECT_EQ(lines.size() - 1, battery["readings"].toInt());
    }
}

// The three ```sql blocks of the "Lab dashboard" section, each with the columns the line
// before it documents.
std::vector<std::pair<QString, QStringList>> DashboardQueries()
{
    QFile file(QStringLiteral(DCLOAD_DOCS_DIR "/results-database.md"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    const qsizetype from = text.indexOf(QStringLiteral("\n## Lab dashboard\n"));
    const qsizetype to = text.indexOf(QStringLiteral("\n## "), from + 1);
    EXPECT_GT(from, 0);
    const QString section = text.mid(from, to - from);
    std::vector<std::pair<QString, QStringList>> queries;
    static const QRegularExpression block(QStringLiteral("Columns: ([^\\n]*)\\n\\n```sql\\n(.*?)```"),
        QRegularExpression::DotMatchesEverythingOption);
    for (const QRegularExpressionMatch& m : block.globalMatch(section)) {
        QStringList columns = m.captured(1).split(QStringLiteral(", "));
        for (QString& column : columns)
            column.remove(u'`');
        QString sql = m.captured(2);
        sql.chop(1); // the line end before the closing fence
        queries.emplace_back(sql, columns);
    }
    EXPECT_EQ(section.count(QStringLiteral("```sql")), 3);
    return queries;
}

TEST_F(RunRecordsTest, TheLabDashboardsQueriesRunAsDocumentedAndTheGrafanaDashboardHoldsThem)
{
    const auto queries = DashboardQueries();
    ASSERT_EQ(queries.size(), 3u);
    const QString runId = Listed().at("bench-1")["run_id"].toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("dashboard"));
        db.setHostName(server->SocketDir());
        db.setPort(server->Port());
        db.setUserName(QStringLiteral("dcload"));
        db.setDatabaseName(QStringLiteral("results"));
        ASSERT_TRUE(db.open()) << db.lastError().text().toStdString();
        for (const auto& [sql, columns] : queries) {
            SCOPED_TRACE(sql.toStdString());
            QSqlQuery query(db);
            ASSERT_TRUE(query.exec(QString(sql).replace(QStringLiteral("$run_id"), runId)))
                << query.lastError().text().toStdString();
            QStringList returned;
            for (int i = 0; i < query.record().count(); ++i)
                returned << query.record().fieldName(i);
            EXPECT_EQ(returned, columns);
            EXPECT_TRUE(query.next()) << "no rows";
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("dashboard"));

    QFile file(QStringLiteral(DCLOAD_DOCS_DIR "/grafana-dashboard.json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonParseError error;
    const QJsonObject dashboard = QJsonDocument::fromJson(file.readAll(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    QStringList rawSql;
    for (const QJsonValue& panel : dashboard["panels"].toArray()) {
        EXPECT_EQ(panel["datasource"]["type"].toString(), u"grafana-postgresql-datasource");
        for (const QJsonValue& target : panel["targets"].toArray())
            rawSql << target["rawSql"].toString();
    }
    QStringList documented;
    for (const auto& [sql, columns] : queries)
        documented << sql;
    EXPECT_EQ(rawSql, documented);
}

} // namespace
