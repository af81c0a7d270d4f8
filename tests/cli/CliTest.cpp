// dcload-cli end to end: each command against dcload-sim over its pseudo-terminal, and
// each exit status. The programs run as a user's script would run them.
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

namespace {

struct Finished
{
    int exit = -1;
    QStringList lines; // standard output
    QString errors; // standard error
};

class CliTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (FSim.state() != QProcess::NotRunning) {
            FSim.terminate();
            FSim.waitForFinished(5000);
        }
    }

    // Starts the simulator; its first line is the port, the next one (with --listen) its
    // TCP address.
    QString StartSimulator(const QString& timeScale, const QStringList& more = {})
    {
        FSim.start(QStringLiteral(DCLOAD_SIM_EXE), QStringList { "--time-scale", timeScale } + more);
        EXPECT_TRUE(FSim.waitForStarted(5000));
        while (!FSim.canReadLine() && FSim.waitForReadyRead(5000)) { }
        return QString::fromLocal8Bit(FSim.readLine()).trimmed();
    }

    QString NextSimulatorLine()
    {
        while (!FSim.canReadLine() && FSim.waitForReadyRead(5000)) { }
        return QString::fromLocal8Bit(FSim.readLine()).trimmed();
    }

    static Finished Wait(QProcess& cli, int ms = 60000)
    {
        Finished f;
        EXPECT_TRUE(cli.waitForFinished(ms)) << "dcload-cli did not finish";
        f.exit = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
        f.lines = QString::fromUtf8(cli.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        f.errors = QString::fromUtf8(cli.readAllStandardError());
        return f;
    }

    static Finished Run(const QStringList& args)
    {
        QProcess cli;
        cli.start(QStringLiteral(DCLOAD_CLI_EXE), args);
        return Wait(cli);
    }

    QProcess FSim;
    QTemporaryDir FDir;
};

TEST_F(CliTest, MeasureReadsWithoutSwitchingAndStopsAfterCount)
{
    const QString port = StartSimulator(QStringLiteral("1"));
    for (const bool json : { false, true }) {
        QStringList args { "--port", port, "measure", "--count", "3", "--period", "0.3" };
        if (json)
            args.prepend(QStringLiteral("--json"));
        const Finished f = Run(args);
        ASSERT_EQ(f.exit, 0) << f.errors.toStdString();
        if (!json) {
            ASSERT_EQ(f.lines.size(), 4);
            EXPECT_EQ(f.lines[0], u"time_s,voltage_V,current_A,power_W");
            EXPECT_EQ(f.lines[1].split(u',').size(), 4);
            EXPECT_EQ(f.lines[1].split(u',')[2], u"0.000") << "measure must not switch the input on";
        } else {
            ASSERT_EQ(f.lines.size(), 3);
            const QJsonObject reading = QJsonDocument::fromJson(f.lines[0].toUtf8()).object();
            EXPECT_EQ(reading.keys(), (QStringList { "current_A", "power_W", "time_s", "voltage_V" }));
            EXPECT_TRUE(reading.value(QStringLiteral("voltage_V")).isDouble());
        }
    }
}

// Over the pty and, one client after the other, over the simulator's TCP stream.
TEST_F(CliTest, SendPrintsTheInstrumentsAnswer)
{
    const QString pty = StartSimulator(QStringLiteral("1"), { "--listen", "127.0.0.1:0" });
    const QString tcp = NextSimulatorLine();
    ASSERT_TRUE(tcp.startsWith(u"tcp://127.0.0.1:")) << tcp.toStdString();
    for (const QString& port : { pty, tcp, tcp }) {
        SCOPED_TRACE(port.toStdString());
        const Finished f = Run({ "--port", port, "send", "mset:imax?" });
        EXPECT_EQ(f.exit, 0) << f.errors.toStdString();
        EXPECT_EQ(f.lines, QStringList { "30.000A" });
    }
}

// A discharge to the instrument's own cut-off, then the summary; the input goes off.
TEST_F(CliTest, BatteryRunsToTheCutOffAndSummarises)
{
    const QString port = StartSimulator(QStringLiteral("1000"));
    const QString csv = FDir.filePath(QStringLiteral("battery.csv"));
    const Finished f = Run(
        { "--port", port, "battery", "--current", "2", "--cutoff", "11", "--period", "1", "--csv", csv });
    ASSERT_EQ(f.exit, 0) << f.errors.toStdString();
    ASSERT_GE(f.lines.size(), 3);
    EXPECT_EQ(f.lines.first(), u"time_s,voltage_V,current_A,capacity_Ah");
    EXPECT_TRUE(f.lines.last().startsWith(u"# summary: ")) << f.lines.last().toStdString();
    for (const char* key : { "duration_s=", "capacity_Ah=", "energy_Wh=", "cutoff_V=" })
        EXPECT_TRUE(f.lines.last().contains(QLatin1String(key))) << key;
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts), f.lines);
}

// A passing list exits 0, a list with a failing step 1; a row per step with its verdict.
TEST_F(CliTest, ListVerdictsDecideTheExitStatus)
{
    const QString port = StartSimulator(QStringLiteral("2"));
    const struct
    {
        const char* secondStep; // CC level of step 1; its limits are 0.1 to 0.3
        int exit;
        const char* verdict;
    } cases[] = { { "0.2", 0, "PASS" }, { "0.5", 1, "FAIL" } };
    for (const auto& c : cases) {
        const QString steps = FDir.filePath(QStringLiteral("steps.json"));
        QFile file(steps);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QStringLiteral(R"({ "steps": 2, "stepping": "auto", "repeat": false, "rows": [
            { "mode": "CC", "value": "0.2", "delay": "4", "compare": "curr", "low": "0.1", "high": "0.3" },
            { "mode": "CC", "value": "%1", "delay": "4", "compare": "curr", "low": "0.1", "high": "0.3" } ] })")
                       .arg(QLatin1String(c.secondStep))
                       .toUtf8());
        file.close();
        const Finished f = Run({ "--port", port, "list", "--steps", steps });
        EXPECT_EQ(f.exit, c.exit) << f.errors.toStdString();
        ASSERT_EQ(f.lines.size(), 3) << f.lines.join(u'\n').toStdString();
        EXPECT_EQ(f.lines[0], u"step,mode,setpoint,voltage_V,current_A,low,high,verdict");
        EXPECT_TRUE(f.lines[1].startsWith(u"0,CC,0.2,")) << f.lines[1].toStdString();
        EXPECT_TRUE(f.lines[1].endsWith(u",PASS"));
        EXPECT_TRUE(f.lines[2].endsWith(QLatin1String(c.verdict))) << f.lines[2].toStdString();
    }
}

// Arguments the program cannot use exit 3 with a message; a port that cannot be opened 2.
TEST_F(CliTest, BadArgumentsAndBadPortsHaveTheirOwnExitStatus)
{
    const QString steps = FDir.filePath(QStringLiteral("bad.json"));
    QFile file(steps);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{ \"steps\": 2,\n  \"stepping\": \"sideways\" }");
    file.close();
    const struct
    {
        QStringList args;
        int exit;
        const char* message;
    } cases[] = {
        { { "measure" }, 3, "--port is needed" },
        { { "--port", "sim", "calibrate" }, 3, "unknown command calibrate" },
        { { "--port", "sim", "measure", "--count", "many" }, 3, "--count" },
        { { "--port", "sim", "--address", "300", "measure" }, 3, "--address" },
        { { "--port", "sim", "send", "load on>" }, 3, "\">\"" },
        { { "--port", "sim", "list", "--steps", steps }, 3, "Line 2, \"stepping\"" },
        { { "--port", "sim", "battery", "--current", "2,5", "--cutoff", "11" }, 3, "" },
        { { "--port", "sim", "--frobnicate", "measure" }, 3, "unknown option --frobnicate" },
        { { "--port", "sim", "battery", "--current", "1", "--cutoff", "9", "--csv", "/proc/no/file.csv" }, 3,
            "cannot write /proc/no/file.csv" },
        { { "--port", "/dev/no-such-adapter", "measure" }, 2, "No such file or directory" },
    };
    for (const auto& c : cases) {
        const Finished f = Run(c.args);
        EXPECT_EQ(f.exit, c.exit) << c.args.join(u' ').toStdString() << "\n" << f.errors.toStdString();
        EXPECT_TRUE(f.errors.startsWith(u"dcload-cli: ")) << f.errors.toStdString();
        EXPECT_TRUE(f.errors.contains(QLatin1String(c.message))) << f.errors.toStdString();
        EXPECT_TRUE(f.lines.isEmpty()) << "nothing on standard output after a refusal";
    }
}

// The instrument goes away mid-run: exit 2 with the port named. Ctrl+C: the input goes
// off before the program ends, and the exit is 0.
TEST_F(CliTest, LostPortAndInterruptEndTheRunSafely)
{
    {
        const QString port = StartSimulator(QStringLiteral("1"));
        QProcess cli;
        cli.start(QStringLiteral(DCLOAD_CLI_EXE), { "--port", port, "measure" });
        ASSERT_TRUE(cli.waitForReadyRead(10000));
        FSim.kill();
        FSim.waitForFinished(5000);
        const Finished f = Wait(cli);
        EXPECT_EQ(f.exit, 2) << f.errors.toStdString();
        EXPECT_TRUE(f.errors.contains(port)) << f.errors.toStdString();
    }
    {
        const QString port = StartSimulator(QStringLiteral("1"));
        QProcess cli;
        cli.start(QStringLiteral(DCLOAD_CLI_EXE),
            { "--trace", "--port", port, "battery", "--current", "1", "--cutoff", "9" });
        ASSERT_TRUE(cli.waitForStarted(5000));
        // Running once the input went on and a reading came.
        QByteArray trace;
        while (!trace.contains("sent        0  load on") && cli.waitForReadyRead(20000))
            trace += cli.readAllStandardError();
        ASSERT_TRUE(cli.waitForReadyRead(10000));
        ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
        const Finished f = Wait(cli);
        trace += f.errors.toUtf8();
        EXPECT_EQ(f.exit, 0) << trace.toStdString();
        const QList<QByteArray> sent = [&] {
            QList<QByteArray> lines;
            for (const QByteArray& line : trace.split('\n'))
                if (line.contains("  sent "))
                    lines.append(line);
            return lines;
        }();
        ASSERT_FALSE(sent.isEmpty());
        EXPECT_TRUE(sent.last().endsWith("load off\\r")) << sent.last().toStdString();
    }
}

} // namespace
