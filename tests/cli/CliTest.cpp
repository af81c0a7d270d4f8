// dcload-cli end to end: each command against dcload-sim over its pseudo-terminal, and
// each exit status. The programs run as a user's script would run them. Cases that each
// need a connected instrument run side by side, each with a simulator of its own.
#include "comm/CommTestSupport.h"
#include "workflows/ProgramInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
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
    static std::unique_ptr<QProcess> Start(const QStringList& args, const QString& standardOutput = {},
        const QString& program = QStringLiteral(DCLOAD_CLI_EXE), bool display = true)
    {
        auto cli = std::make_unique<QProcess>();
        if (!standardOutput.isEmpty())
            cli->setStandardOutputFile(standardOutput);
        if (!display) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
                environment.remove(QLatin1String(name));
            cli->setProcessEnvironment(environment);
        }
        // waitForReadyRead then wakes for the trace on standard error.
        cli->setReadChannel(QProcess::StandardError);
        cli->start(program, args);
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

    static QByteArray ReadAll(const QString& path)
    {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        return file.readAll();
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
    // With --force the CSV run's file replaces one that was there.
    const QString csvFile = WriteFile(QStringLiteral("csv.csv"), "earlier readings\n");
    const QString jsonFile = FDir.filePath(QStringLiteral("json.csv"));
    const QStringList run { "battery", "--current", "2", "--cutoff", "11", "--period", "1", "--csv" };
    const std::vector<Finished> finished
        = RunTogether({ QStringList { "--port", csvSim.Port(), "--force" } + run + QStringList { csvFile },
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

// The Battery Data Format file as battery software reads it, checked by Python's csv module:
// the exact labels, a discharge written negative, capacity and energy never going down, the
// sidecar JSON. What the check found goes to standard output ("rows N" on success).
const char kBdfCheck[] = R"(import csv, json, sys
labels = ['Test Time / s', 'Voltage / V', 'Current / A', 'Unix Time / s', 'Cycle Count / 1',
          'Step Count / 1', 'Step Index / 1', 'Discharging Capacity / Ah',
          'Discharging Energy / Wh', 'Power / W', 'Internal Resistance / ohm']
rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))
assert rows[0] == labels, rows[0]
data = rows[1:]
assert data, 'no readings'
capacity = [float(r[7]) for r in data]
energy = [float(r[8]) for r in data]
assert all(b >= a for a, b in zip(capacity, capacity[1:])), 'capacity goes down'
assert all(b >= a for a, b in zip(energy, energy[1:])), 'energy goes down'
assert all(float(r[2]) <= 0 for r in data), 'a discharge is written negative'
assert any(float(r[2]) < 0 for r in data), 'no current at all'
resistances = [float(r[10]) for r in data if r[10] != '']
meta = json.load(open(sys.argv[1] + '.metadata.json', encoding='utf-8'))
print('rows', len(data), 'resistances', len(resistances), 'capacity', capacity[-1], 'meta', ','.join(sorted(meta)))
)";

// Runs kBdfCheck on `path`; its one line of findings.
QString CheckBdf(const QString& path)
{
    QProcess python;
    python.start(QStringLiteral("python3"), { "-c", kBdfCheck, path });
    EXPECT_TRUE(python.waitForFinished(30000));
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    return QString::fromUtf8(python.readAllStandardOutput()).trimmed();
}

// A profile run on a simulated cell: each step and resistance measurement told, the
// readings in --csv, the run in --bdf; the switch-off voltage set for the run and put back.
// A battery run writes --bdf as well.
TEST_F(CliTest, AProfileRunsOnASimulatedCellAndWritesItsFiles)
{
    const QString profile = WriteFile(QStringLiteral("stages.txt"),
        "# three stages\n"
        "Discharge at 1 A until 3.7 V\n"
        "Rest for 2 s\n"
        "Measure resistance with a 2 A pulse for 1 s\n"
        "Discharge at 3 W until 3.5 V\n");
    const QStringList cell { "--verbose", "--cell", "li-ion", "--cell-capacity", "0.002", "--cell-resistance",
        "0.1" };
    Simulator profileSim(cell), batterySim({ "--time-scale", "1000" });
    const QString csv = FDir.filePath(QStringLiteral("profile.csv"));
    const QString profileBdf = FDir.filePath(QStringLiteral("profile.bdf.csv"));
    const QString batteryBdf = FDir.filePath(QStringLiteral("battery.bdf.csv"));
    const std::vector<Finished> finished = RunTogether({
        { "--port", profileSim.Port(), "profile", profile, "--csv", csv, "--bdf", profileBdf },
        QStringList {
            "--port", batterySim.Port(), "battery", "--current", "2", "--cutoff", "11", "--bdf", batteryBdf },
    });
    const Finished& run = finished[0];
    ASSERT_EQ(run.exit, 0) << run.errors.toStdString();
    const QStringList steps = run.lines.filter(QRegularExpression(QStringLiteral("^# step: ")));
    ASSERT_EQ(steps.size(), 4) << run.lines.join(u'\n').toStdString();
    EXPECT_TRUE(steps[0].contains(u"until=until 3.7 V") || steps[0].contains(u"3.7 V"))
        << steps[0].toStdString();
    const QStringList resistance = run.lines.filter(QRegularExpression(QStringLiteral("^# resistance: ")));
    ASSERT_EQ(resistance.size(), 1) << run.lines.join(u'\n').toStdString();
    EXPECT_TRUE(resistance[0].contains(u"resistance_mOhm=")) << resistance[0].toStdString();
    EXPECT_TRUE(run.lines.last().startsWith(u"# summary: ")) << run.lines.last().toStdString();

    const QStringList data = QString::fromUtf8(ReadAll(csv)).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_GE(data.size(), 4);
    EXPECT_EQ(data.first(), u"time_s,step,kind,voltage_V,current_A,capacity_Ah,energy_Wh");
    const QString profileCheck = CheckBdf(profileBdf);
    EXPECT_TRUE(profileCheck.startsWith(QStringLiteral("rows %1 ").arg(data.size() - 1)))
        << profileCheck.toStdString();
    EXPECT_TRUE(profileCheck.contains(u"resistances 1")) << profileCheck.toStdString();
    QFile sidecar(profileBdf + QStringLiteral(".metadata.json"));
    ASSERT_TRUE(sidecar.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(sidecar.readAll()).contains(u"Discharge at 3 W until 3.5 V"));

    // The backstop: the profile's lowest cut-off before the input first went on, the
    // operator's value back after the last "load off".
    const QStringList received = profileSim.Received();
    const qsizetype firstOn = received.indexOf(u"load on");
    const qsizetype backstop = received.indexOf(QRegularExpression(QStringLiteral("^mset:voff 3\\.50?0*$")));
    ASSERT_GE(firstOn, 0);
    EXPECT_TRUE(backstop >= 0 && backstop < firstOn) << received.join(u'\n').toStdString();
    const qsizetype lastOn = received.lastIndexOf(u"load on");
    const qsizetype restored = received.lastIndexOf(QRegularExpression(QStringLiteral("^mset:voff .*$")));
    EXPECT_EQ(received.value(restored), u"mset:voff 0.000") << "the simulator's own value, as it was";
    EXPECT_GT(received.indexOf(u"load off", lastOn), lastOn);
    EXPECT_GT(restored, received.indexOf(u"load off", lastOn)) << "put back once the input is off";

    const Finished& battery = finished[1];
    ASSERT_EQ(battery.exit, 0) << battery.errors.toStdString();
    const QString batteryCheck = CheckBdf(batteryBdf);
    EXPECT_TRUE(batteryCheck.startsWith(QStringLiteral("rows %1 ").arg(battery.lines.size() - 2)))
        << batteryCheck.toStdString() << " / " << battery.lines.size() << " lines";
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

// The three programs read their arguments alike: -h and --version answer at once, an
// unknown option or a value out of its range exits 3 with one line naming it (quoting at
// most 200 characters of it); dcload-cli's port that cannot be opened exits 2.
TEST_F(CliTest, ArgumentFormsHaveTheirExitStatusAndMessage)
{
    const QString steps
        = WriteFile(QStringLiteral("bad.json"), "{ \"steps\": 2,\n  \"stepping\": \"sideways\" }");
    QByteArray listProgram = ReadAll(QStringLiteral(DCLOAD_LIST_PROGRAM));
    listProgram.replace("\"value\": \"1.0\"", "\"value\": \"" + QByteArray(400, '9') + '"');
    const QString hugeValue = WriteFile(QStringLiteral("huge.json"), listProgram);
    const QString existing = WriteFile(QStringLiteral("existing.csv"), "earlier readings\n");
    const QString badProfile = WriteFile(QStringLiteral("bad.txt"),
        "# two good lines, then one that is no step\nRest for 1 s\nCharge at 2 A\n");
    const QString goodProfile = WriteFile(QStringLiteral("good.txt"), "Rest for 1 s\n");
    const QString window = QStringLiteral(DCLOAD_EXE), cli = QStringLiteral(DCLOAD_CLI_EXE),
                  sim = QStringLiteral(DCLOAD_SIM_EXE);
    const QString version = QStringLiteral(" %1 (").arg(kProgramVersion);
    const TMuteServers mute;
    const struct
    {
        QString program;
        QStringList args;
        int exit;
        QString output; // on standard output, for a status of 0
        QString message; // on standard error otherwise, after the program's name
        bool display = true;
    } cases[] = {
        { window, { "-h" }, 0, "Usage: dcload [options]", {} },
        { window, { "--version" }, 0, "dcload" + version, {} },
        { window, { "--bogus" }, 3, {}, "unknown option --bogus" },
        { window, { "--simulator", "--time-scale", "nan" }, 3, {}, "--time-scale needs a number above 0" },
        { window, { "--results", "postgresql://lab@db1/results%00x" }, 3, {},
            "--results: the address must not "
            "hold a NUL" },
        { window, {}, 2, {}, "No display: try xvfb-run dcload, or dcload-cli", false },
        { window, { "--cell-capacity", "1" }, 3, {},
            "--cell options connect the simulator's battery: add --simulator" },
        { sim, { "--help" }, 0,
            "--delay <MS> Holds each reply back MS milliseconds, 0 to 60000 (default: 20).", {} },
        { sim, { "--bogus" }, 3, {}, "unknown option --bogus" },
        { sim, { "--time-scale=inf" }, 3, {}, "--time-scale needs a number above 0" },
        { sim, { "--delay", "60001" }, 3, {}, "--delay needs milliseconds from 0 to 60000, not \"60001\"" },
        { sim, { "--cell", "nimh" }, 3, {}, "--cell needs li-ion or lead-acid, not \"nimh\"" },
        { sim, { "--cell-resistance", "-0.1" }, 3, {}, "--cell-resistance needs a resistance in ohm from 0" },
        { sim, { "--cell-resistance=nan" }, 3, {}, "--cell-resistance" },
        { sim, { "--cell", "li-ion", "--cell-capacity", "0" }, 3, {},
            "--cell-capacity needs ampere-hours above 0" },
        { sim, { "--cell-capacity", "2,5" }, 3, {}, "--cell-capacity" },
        { cli, { "-h" }, 0, "How long each answer is awaited, 1 to 60000 milliseconds (default: 1000).", {} },
        { cli, { "--port=sim", "send", "mset:imax?" }, 0, "30.000A", {} },
        { cli, { "measure" }, 3, {}, "--port is needed" },
        { cli, { "--port", "sim", "calibrate" }, 3, {}, "unknown command calibrate" },
        { cli, { "--port", "sim", "--frobnicate", "measure" }, 3, {}, "unknown option --frobnicate" },
        { cli, { "--port", "sim", "--time-scale", "nan", "measure" }, 3, {},
            "--time-scale needs a number above 0" },
        { cli, { "--port", "sim", "measure", "--period", "2147484" }, 3, {},
            "--period needs a number of seconds above 0, at most 86400, not \"2147484\"" },
        { cli, QStringList { "--port", "sim", "--period", "2147484" } + kBattery, 3, {},
            "--period needs a whole number of seconds from 1 to 86400" },
        { cli, { "--port", "sim", "measure", "--count", "99999999999999999999" }, 3, {}, "--count" },
        { cli, { "--port", "sim", "--address", "300", "measure" }, 3, {}, "--address" },
        { cli, { "--port", "sim", "--reply-timeout", "0", "measure" }, 3, {}, "--reply-timeout" },
        { cli, { "--port", "sim", "--reply-timeout=60001", "send", "mset:imax?" }, 3, {}, "--reply-timeout" },
        { cli, { "--port", "sim", "--results", "postgresql://lab@db1/results%00x", "measure" }, 3, {},
            "--results: the address must not hold a NUL" },
        { cli, QStringList { "--port", "sim", "--count", "5" } + kBattery, 3, {},
            "--count is no option of battery" },
        { cli, { "--port", "sim", "battery", "--current", "2,5", "--cutoff", "11" }, 3, {}, "--current" },
        { cli, { "--port", "sim", "send", "load on>" }, 3, {}, "\">\"" },
        { cli, { "--port", "sim", "list", "--steps", steps }, 3, {}, "bad.json: Line 2, \"stepping\"" },
        { cli, { "--port", "sim", "list", "--steps", hugeValue }, 3, {},
            "huge.json: Line 7, \"value\": a number" },
        { cli, QStringList { "--port", "sim" } + kBattery + QStringList { "--csv", existing }, 3, {},
            "exists: add --force to replace it" },
        { cli, QStringList { "--port", "sim" } + kBattery + QStringList { "--csv", "/proc/no/file.csv" }, 3,
            {}, "cannot write /proc/no/file.csv" },
        { cli, { "--port", "sim", "profile", badProfile }, 3, {}, "bad.txt: Line 3: expected " },
        { cli, { "--port", "sim", "profile" }, 3, {}, "profile needs FILE" },
        { cli, { "--port", "sim", "profile", goodProfile, "--bdf", existing }, 3, {},
            "--bdf " + existing + " exists: add --force" },
        { cli, { "--port", "sim", "profile", goodProfile, "--pdf", "x.pdf" }, 3, {},
            "--pdf is no option of profile" },
        { cli, { "--port", "/dev/ttyUSB0", "--cell", "li-ion", "measure" }, 3, {}, "they need --port sim" },
        { cli, { "report", "0f2b" }, 3, {}, "add --results URL" },
        { cli,
            { "--port", "sim", "--results", "postgresql://lab@db1/results", "report", "0f2b", "--pdf",
                "r.pdf" },
            3, {}, "leave out --port" },
        { cli, { "--results", "postgresql://lab@db1/results", "report", "0f2b" }, 3, {},
            "report needs --pdf FILE" },
        { cli, { "runs" }, 3, {}, "add --results URL" },
        { cli, { "--port", "sim", "--results", "postgresql://lab@db1/results", "runs" }, 3, {},
            "runs reads the shared results store only: leave out --port" },
        { cli, { "--results", "postgresql://lab@db1/results", "runs", "--since", "2026-13-45" }, 3, {},
            "--since needs a date such as 2026-12-01" },
        { cli, { "--results", "postgresql://lab@db1/results", "runs", "--since", "yesterday" }, 3, {},
            "not \"yesterday\"" },
        { cli, { "--results", "postgresql://lab@db1/results", "export", "0f2b" }, 3, {},
            "export needs --csv FILE" },
        { cli, { "--results", "postgresql://lab@db1/results", "export", "--csv", "r.csv" }, 3, {},
            "export needs RUN_ID" },
        { cli, { "--port", "/dev/no-such-adapter", "measure" }, 2, {}, "No such file or directory" },
        // A device server that never answers: the wait is told after a second.
        { cli, { "--port", mute.Unanswered(), "measure" }, 2, {}, "Error opening serial port: " },
    };
    for (const auto& c : cases) {
        const Finished f = Wait(*Start(c.args, {}, c.program, c.display));
        SCOPED_TRACE(QFileInfo(c.program).fileName().toStdString() + " " + c.args.join(u' ').toStdString());
        EXPECT_EQ(f.exit, c.exit) << f.errors.toStdString();
        if (c.exit == 0) {
            // Help wraps its lines where it likes.
            EXPECT_TRUE(f.lines.join(u' ').simplified().contains(c.output))
                << f.lines.join(u'\n').toStdString();
            continue;
        }
        const QStringList told = f.errors.split(u'\n', Qt::SkipEmptyParts);
        if (c.args.contains(mute.Unanswered())) {
            EXPECT_EQ(told.value(0), QStringLiteral("dcload-cli: Connecting to %1 …").arg(mute.Unanswered()));
        }
        if (c.exit == 3) {
            EXPECT_EQ(told.size(), 1) << "one line: " << f.errors.toStdString();
        }
        ASSERT_FALSE(told.isEmpty());
        EXPECT_TRUE(told.last().startsWith(QFileInfo(c.program).fileName() + QStringLiteral(": ")))
            << f.errors.toStdString();
        EXPECT_TRUE(told.last().contains(c.message)) << f.errors.toStdString();
        EXPECT_LT(told.last().size(), 400) << "a quote is clipped";
        EXPECT_TRUE(f.lines.isEmpty()) << "nothing on standard output after a refusal";
    }
    EXPECT_EQ(ReadAll(existing), "earlier readings\n");
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
        QString csv = {}; // --csv FILE: in place at the end, with the readings taken
    } cases[] = {
        { "SIGINT", kBattery, kRunning, { SIGINT }, {}, 0 },
        { "SIGTERM", kBattery, kRunning, { SIGTERM }, {}, 0 },
        { "SIGHUP", kBattery, kRunning, { SIGHUP }, {}, 0 },
        { "a second SIGINT at once", kBattery, kRunning, { SIGINT, SIGINT }, {}, 0 },
        { "SIGTERM after readings, into --csv", kBattery, { kInputOnSent, kReadingTraced }, { SIGTERM }, {},
            0, FDir.filePath(QStringLiteral("stopped.csv")) },
        { "list, SIGHUP", { "list", "--steps", DCLOAD_LIST_PROGRAM }, { kInputOnSent }, { SIGHUP }, {}, 0 },
        { "standard output full", kBattery, {}, {}, QStringLiteral("/dev/full"), 2 },
        { "measure, SIGINT", { "measure" }, { kReadingTraced }, { SIGINT }, {}, 0 },
    };
    std::vector<std::unique_ptr<Simulator>> sims;
    std::vector<std::unique_ptr<QProcess>> clis;
    for (const auto& c : cases) {
        sims.push_back(std::make_unique<Simulator>(QStringList { "--verbose" }));
        const QStringList csv = c.csv.isEmpty() ? QStringList() : QStringList { "--csv", c.csv };
        clis.push_back(Start(
            QStringList { "--trace", "--port", sims.back()->Port() } + c.command + csv, c.standardOutput));
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
        if (!c.csv.isEmpty()) {
            const QList<QByteArray> written = ReadAll(c.csv).split('\n');
            EXPECT_EQ(written.value(0), "time_s,voltage_V,current_A,capacity_Ah");
            EXPECT_GE(written.size(), 3) << "the header, a reading and the last line's end";
        }
    }
    EXPECT_EQ(QDir(FDir.path()).entryList({ "*.partial-*" }), QStringList {}) << "no temporary file is left";
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
