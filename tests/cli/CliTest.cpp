// dcload-cli end to end: each command against dcload-sim over its pseudo-terminal, and
// each exit status. The programs run as a user's script would run them. Cases that each
// need a connected instrument run side by side, each with a simulator of its own.
#include "comm/CommTestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

// Readable texts in test failures.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace {

struct Finished
{
    int exit = -1;
    QStringList lines; // standard output
    QString errors; // standard error
};

// A dcload-sim process; its first line is the port, the next one (with --listen) its TCP
// address.
class Simulator
{
public:
    explicit Simulator(const QStringList& args)
    {
        FProcess.start(QStringLiteral(DCLOAD_SIM_EXE), args);
        EXPECT_TRUE(FProcess.waitForStarted(5000));
        FPort = NextLine();
    }
    ~Simulator() { Stop(); }

    const QString& Port() const { return FPort; }

    QString NextLine()
    {
        while (!FProcess.canReadLine() && FProcess.waitForReadyRead(5000)) { }
        return QString::fromLocal8Bit(FProcess.readLine()).trimmed();
    }

    void Kill()
    {
        FProcess.kill();
        FProcess.waitForFinished(5000);
    }

    // Stops it and returns every line it received, in order (it runs with --verbose).
    QStringList Received()
    {
        Stop();
        QStringList received;
        for (const QString& line : QString::fromLocal8Bit(FProcess.readAllStandardError()).split(u'\n')) {
            if (line.startsWith(u"<< "))
                received.append(line.mid(3));
        }
        return received;
    }

private:
    void Stop()
    {
        if (FProcess.state() == QProcess::NotRunning)
            return;
        FProcess.terminate();
        FProcess.waitForFinished(5000);
    }

    QProcess FProcess;
    QString FPort;
};

class CliTest : public ::testing::Test
{
protected:
    static std::unique_ptr<QProcess> Start(const QStringList& args, const QString& standardOutput = {})
    {
        auto cli = std::make_unique<QProcess>();
        if (!standardOutput.isEmpty())
            cli->setStandardOutputFile(standardOutput);
        // waitForReadyRead then wakes for the trace on standard error.
        cli->setReadChannel(QProcess::StandardError);
        cli->start(QStringLiteral(DCLOAD_CLI_EXE), args);
        EXPECT_TRUE(cli->waitForStarted(5000));
        return cli;
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

    static Finished Run(const QStringList& args) { return Wait(*Start(args)); }

    // Each run at the same time; what each left, in the same order.
    static std::vector<Finished> RunTogether(const std::vector<QStringList>& runs)
    {
        std::vector<std::unique_ptr<QProcess>> started;
        for (const QStringList& args : runs)
            started.push_back(Start(args));
        std::vector<Finished> finished;
        for (const auto& cli : started)
            finished.push_back(Wait(*cli));
        return finished;
    }

    // Reads the trace on standard error until it holds `text`; what it read.
    static QByteArray TraceUntil(QProcess& cli, const char* text)
    {
        QByteArray trace;
        while (!trace.contains(text) && cli.waitForReadyRead(20000))
            trace += cli.readAllStandardError();
        EXPECT_TRUE(trace.contains(text)) << text << " never came:\n" << trace.toStdString();
        return trace;
    }

    QString WriteFile(const QString& name, const QByteArray& content)
    {
        const QString path = FDir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        return path;
    }

    QTemporaryDir FDir;
};

const QStringList kBattery { "battery", "--current", "1", "--cutoff", "9" };
// On the trace: the run's input went on; a line has just gone out (so "load off" has to
// wait for the pacing); a reading came.
const char kInputOnSent[] = "load on\\r";
const char kPollSent[] = "fetch?\\r";
const char kReadingTraced[] = "  reading ";
const std::vector<const char*> kRunning { kInputOnSent, kPollSent };

TEST_F(CliTest, MeasureReadsWithoutSwitchingAndStopsAfterCount)
{
    Simulator sim({ "--time-scale", "1" });
    for (const bool json : { false, true }) {
        QStringList args { "--port", sim.Port(), "measure", "--count", "3", "--period", "0.3" };
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
    Simulator sim({ "--time-scale", "1", "--listen", "127.0.0.1:0" });
    const QString tcp = sim.NextLine();
    ASSERT_TRUE(tcp.startsWith(u"tcp://127.0.0.1:")) << tcp.toStdString();
    for (const QString& port : { sim.Port(), tcp, tcp }) {
        SCOPED_TRACE(port.toStdString());
        const Finished f = Run({ "--port", port, "send", "mset:imax?" });
        EXPECT_EQ(f.exit, 0) << f.errors.toStdString();
        EXPECT_EQ(f.lines, QStringList { "30.000A" });
    }
    // A command awaits no answer: done once it has left, and the instrument has it.
    const Finished set = Run({ "--port", sim.Port(), "send", "load:curr 2.5" });
    EXPECT_EQ(set.exit, 0) << set.errors.toStdString();
    EXPECT_TRUE(set.lines.isEmpty());
    EXPECT_EQ(Run({ "--port", sim.Port(), "send", "load:curr?" }).lines, QStringList { "2.500A" });
}

// A discharge to the instrument's own cut-off, then the summary on standard output only:
// the CSV file holds the header and readings, every reading a number to a CSV reader.
TEST_F(CliTest, BatteryRunsToTheCutOffAndSummarisesOutsideTheDataFile)
{
    Simulator csvSim({ "--time-scale", "1000" }), jsonSim({ "--time-scale", "1000" });
    const QString csvFile = FDir.filePath(QStringLiteral("csv.csv"));
    const QString jsonFile = FDir.filePath(QStringLiteral("json.csv"));
    const QStringList run { "battery", "--current", "2", "--cutoff", "11", "--period", "1", "--csv" };
    const std::vector<Finished> finished
        = RunTogether({ QStringList { "--port", csvSim.Port() } + run + QStringList { csvFile },
            QStringList { "--json", "--port", jsonSim.Port() } + run + QStringList { jsonFile } });
    for (const bool json : { false, true }) {
        SCOPED_TRACE(json ? "--json" : "CSV");
        const Finished& f = finished[json ? 1 : 0];
        const QString path = json ? jsonFile : csvFile;
        ASSERT_EQ(f.exit, 0) << f.errors.toStdString();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QStringList data = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
        ASSERT_GE(data.size(), 3);
        EXPECT_EQ(data.first(), u"time_s,voltage_V,current_A,capacity_Ah");

        QProcess python;
        python.start(QStringLiteral("python3"),
            { "-c",
                "import csv, sys\n"
                "rows = list(csv.reader(open(sys.argv[1], newline='')))\n"
                "print(len([float(field) for row in rows[1:] for field in row]))",
                path });
        ASSERT_TRUE(python.waitForFinished(30000));
        EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
        EXPECT_EQ(python.readAllStandardOutput().trimmed().toInt(), (data.size() - 1) * 4);

        ASSERT_FALSE(f.lines.isEmpty());
        const QString summary = f.lines.last();
        if (!json) {
            EXPECT_EQ(f.lines, data + QStringList { summary });
            EXPECT_TRUE(summary.startsWith(u"# summary: ")) << summary.toStdString();
            for (const char* key : { "duration_s=", "capacity_Ah=", "energy_Wh=", "cutoff_V=" })
                EXPECT_TRUE(summary.contains(QLatin1String(key))) << key;
        } else {
            EXPECT_EQ(f.lines.size(), data.size()) << "a line per reading, and the summary";
            const QJsonObject object = QJsonDocument::fromJson(summary.toUtf8()).object();
            EXPECT_EQ(object.keys(), QStringList { "summary" }) << summary.toStdString();
            EXPECT_EQ(object.value(QStringLiteral("summary")).toObject().keys(),
                (QStringList { "capacity_Ah", "cutoff_V", "duration_s", "energy_Wh" }));
        }
    }
}

// A row per step with its verdict; a passing list exits 0, one with a failing step 1.
// Triggered steps get one trigger each, however short their dwell; a list faster than a
// poll still ends.
TEST_F(CliTest, ListVerdictsDecideTheExitStatus)
{
    // Steps of CC 0.2 but the second, each compared with 0.1 to 0.3.
    const auto program = [this](const char* name, const char* secondLevel, const char* delay, int steps) {
        const QString row = QStringLiteral(
            R"({ "mode": "CC", "value": "%1", "delay": "%2", "compare": "curr", "low": "0.1", "high": "0.3" })");
        return WriteFile(QLatin1String(name),
            QStringLiteral(R"({ "steps": %1, "stepping": "auto", "repeat": false, "rows": [ %2, %3, %4 ] })")
                .arg(steps)
                .arg(row.arg(QStringLiteral("0.2"), QLatin1String(delay)),
                    row.arg(QLatin1String(secondLevel), QLatin1String(delay)),
                    row.arg(QStringLiteral("0.2"), QLatin1String(delay)))
                .toUtf8());
    };
    const struct
    {
        const char* name;
        bool ownSimulator; // else the built-in one, 200 times faster
        QStringList args;
        int exit;
        QStringList verdicts;
        int triggers; // received by the simulator
    } cases[] = {
        { "passing", true, { "list", "--steps", program("pass.json", "0.2", "4", 2) }, 0, { "PASS", "PASS" },
            0 },
        { "a failing step", true, { "list", "--steps", program("fail.json", "0.5", "4", 2) }, 1,
            { "PASS", "FAIL" }, 0 },
        { "triggered", true, { "list", "--trigger", "--steps", program("trig.json", "0.2", "0.1", 3) }, 0,
            { "PASS", "PASS", "PASS" }, 3 },
        { "faster than a poll", false, { "--time-scale", "200", "list", "--steps", DCLOAD_LIST_PROGRAM }, 0,
            { "PASS", "PASS", "PASS" }, 0 },
    };
    std::vector<std::unique_ptr<Simulator>> sims;
    std::vector<QStringList> runs;
    for (const auto& c : cases) {
        sims.push_back(c.ownSimulator
                ? std::make_unique<Simulator>(QStringList { "--time-scale", "2", "--verbose" })
                : nullptr);
        runs.push_back(
            QStringList { "--port", c.ownSimulator ? sims.back()->Port() : QStringLiteral("sim") } + c.args);
    }
    const std::vector<Finished> finished = RunTogether(runs);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const Finished& f = finished[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(f.exit, c.exit) << f.errors.toStdString();
        ASSERT_EQ(f.lines.size(), c.verdicts.size() + 1) << f.lines.join(u'\n').toStdString();
        EXPECT_EQ(f.lines[0], u"step,mode,setpoint,voltage_V,current_A,low,high,verdict");
        for (qsizetype step = 0; step < c.verdicts.size(); ++step) {
            const QString& row = f.lines[step + 1];
            EXPECT_TRUE(row.startsWith(QString::number(step) + u',')) << row.toStdString();
            EXPECT_TRUE(row.endsWith(u',' + c.verdicts[step])) << row.toStdString();
        }
        if (sims[i]) {
            EXPECT_EQ(sims[i]->Received().count(QStringLiteral("trig")), c.triggers);
        }
    }
}

// Arguments the program cannot use exit 3 with a message; a port that cannot be opened 2,
// and one that keeps it waiting says so meanwhile.
TEST_F(CliTest, BadArgumentsAndBadPortsHaveTheirOwnExitStatus)
{
    const QString steps
        = WriteFile(QStringLiteral("bad.json"), "{ \"steps\": 2,\n  \"stepping\": \"sideways\" }");
    const TMuteServers mute;
    const struct
    {
        QStringList args;
        int exit;
        QString message;
    } cases[] = {
        { { "measure" }, 3, "--port is needed" },
        { { "--port", "sim", "calibrate" }, 3, "unknown command calibrate" },
        { { "--port", "sim", "measure", "--count", "many" }, 3, "--count" },
        { { "--port", "sim", "--address", "300", "measure" }, 3, "--address" },
        { { "--port", "sim", "--reply-timeout", "0", "measure" }, 3, "--reply-timeout" },
        { { "--port", "sim", "--reply-timeout", "60001", "send", "mset:imax?" }, 3, "--reply-timeout" },
        { { "--port", "sim", "send", "load on>" }, 3, "\">\"" },
        { { "--port", "sim", "list", "--steps", steps }, 3, "Line 2, \"stepping\"" },
        { { "--port", "sim", "battery", "--current", "2,5", "--cutoff", "11" }, 3, "" },
        { { "--port", "sim", "--frobnicate", "measure" }, 3, "unknown option --frobnicate" },
        { { "--port", "sim", "battery", "--current", "1", "--cutoff", "9", "--csv", "/proc/no/file.csv" }, 3,
            "cannot write /proc/no/file.csv" },
        { { "--port", "/dev/no-such-adapter", "measure" }, 2, "No such file or directory" },
        { { "--port", mute.Unanswered(), "measure" }, 2,
            "dcload-cli: Connecting to " + mute.Unanswered()
                + " …\ndcload-cli: Error opening serial port: " },
    };
    for (const auto& c : cases) {
        const Finished f = Run(c.args);
        EXPECT_EQ(f.exit, c.exit) << c.args.join(u' ').toStdString() << "\n" << f.errors.toStdString();
        EXPECT_TRUE(f.errors.startsWith(u"dcload-cli: ")) << f.errors.toStdString();
        EXPECT_TRUE(f.errors.contains(c.message)) << f.errors.toStdString();
        EXPECT_TRUE(f.lines.isEmpty()) << "nothing on standard output after a refusal";
    }
}

// An instrument that does not answer, or answers in another mode's layout, ends the
// command with exit 2 and says why; a run switches the input off on its way out.
TEST_F(CliTest, AnInstrumentThatCannotBeReadEndsTheCommand)
{
    const QStringList silent { "--delay", "60000", "--verbose" };
    const struct
    {
        const char* name;
        QStringList simulator;
        QStringList before; // run first, to leave the instrument in another mode
        QStringList args;
        const char* message;
    } cases[] = {
        { "send, silent", silent, {}, { "--reply-timeout", "300", "send", "mset:imax?" },
            "No answer to \"mset:imax?\" within 300 ms" },
        { "measure, silent", silent, {}, { "--reply-timeout", "200", "measure" },
            "no readable answer to 5 queries in a row" },
        { "battery, silent", silent, {}, QStringList { "--reply-timeout", "100" } + kBattery,
            "no readable answer to 10 queries in a row" },
        { "measure, left in list mode", { "--time-scale", "200", "--verbose" },
            { "list", "--steps", DCLOAD_LIST_PROGRAM }, { "measure" }, "seems to be in list mode" },
    };
    std::vector<std::unique_ptr<Simulator>> sims;
    std::vector<QStringList> before, runs;
    for (const auto& c : cases) {
        sims.push_back(std::make_unique<Simulator>(c.simulator));
        if (!c.before.isEmpty())
            before.push_back(QStringList { "--port", sims.back()->Port() } + c.before);
        runs.push_back(QStringList { "--port", sims.back()->Port() } + c.args);
    }
    for (const Finished& f : RunTogether(before))
        ASSERT_EQ(f.exit, 0) << f.errors.toStdString();
    const std::vector<Finished> finished = RunTogether(runs);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const Finished& f = finished[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(f.exit, 2) << f.errors.toStdString();
        EXPECT_TRUE(f.errors.contains(QLatin1String(c.message))) << f.errors.toStdString();
        if (c.args.contains(u"battery")) {
            const QStringList received = sims[i]->Received();
            EXPECT_EQ(received.value(received.size() - 1), u"load off") << received.join(u'\n').toStdString();
        }
    }
}

// However a battery run is ended, "load off" is the last line the instrument gets before
// the program goes; measure switches nothing, also when interrupted.
TEST_F(CliTest, EveryWayOutOfARunSwitchesTheInputOffLast)
{
    const struct
    {
        const char* name;
        QStringList command;
        std::vector<const char*> runningOnce; // on the trace, one after the other: when to signal
        std::vector<int> stops; // signals sent then
        QString standardOutput;
        int exit;
    } cases[] = {
        { "SIGINT", kBattery, kRunning, { SIGINT }, {}, 0 },
        { "SIGTERM", kBattery, kRunning, { SIGTERM }, {}, 0 },
        { "SIGHUP", kBattery, kRunning, { SIGHUP }, {}, 0 },
        { "a second SIGINT at once", kBattery, kRunning, { SIGINT, SIGINT }, {}, 0 },
        { "standard output full", kBattery, {}, {}, QStringLiteral("/dev/full"), 2 },
        { "measure, SIGINT", { "measure" }, { kReadingTraced }, { SIGINT }, {}, 0 },
    };
    std::vector<std::unique_ptr<Simulator>> sims;
    std::vector<std::unique_ptr<QProcess>> clis;
    for (const auto& c : cases) {
        sims.push_back(std::make_unique<Simulator>(QStringList { "--verbose" }));
        clis.push_back(
            Start(QStringList { "--trace", "--port", sims.back()->Port() } + c.command, c.standardOutput));
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        QProcess& cli = *clis[i];
        QByteArray trace;
        for (const char* text : c.runningOnce)
            trace += TraceUntil(cli, text);
        for (size_t k = 0; k < c.stops.size(); ++k) {
            ::kill(static_cast<pid_t>(cli.processId()), c.stops[k]);
            // Signals sent back to back merge into one: the next one goes once this one was
            // taken, while "load off" still waits for the pacing.
            if (k + 1 < c.stops.size())
                trace += TraceUntil(cli, "Stopping");
        }
        const Finished f = Wait(cli);
        EXPECT_EQ(f.exit, c.exit) << trace.toStdString() << f.errors.toStdString();
        const QStringList received = sims[i]->Received();
        if (c.command.contains(u"measure")) {
            EXPECT_FALSE(received.contains(u"load off")) << received.join(u'\n').toStdString();
        } else {
            EXPECT_EQ(received.value(received.size() - 1), u"load off") << received.join(u'\n').toStdString();
        }
    }
}

// The instrument goes away: exit 2 with the port named; a battery run says that the input
// may still be on.
TEST_F(CliTest, LostPortEndsTheCommand)
{
    const struct
    {
        QStringList command;
        const char* runningOnce;
        const char* message;
    } cases[] = {
        { { "measure" }, kReadingTraced, "" },
        { kBattery, kInputOnSent, "The input may still be on" },
    };
    std::vector<std::unique_ptr<Simulator>> sims;
    std::vector<std::unique_ptr<QProcess>> clis;
    for (const auto& c : cases) {
        sims.push_back(std::make_unique<Simulator>(QStringList { "--time-scale", "1" }));
        clis.push_back(Start(QStringList { "--trace", "--port", sims.back()->Port() } + c.command));
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].command.first().toStdString());
        TraceUntil(*clis[i], cases[i].runningOnce);
        sims[i]->Kill();
        const Finished f = Wait(*clis[i]);
        EXPECT_EQ(f.exit, 2) << f.errors.toStdString();
        EXPECT_TRUE(f.errors.contains(sims[i]->Port())) << f.errors.toStdString();
        EXPECT_TRUE(f.errors.contains(QLatin1String(cases[i].message))) << f.errors.toStdString();
    }
}

} // namespace
