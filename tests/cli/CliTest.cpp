// dcload-cli end to end: each command against dcload-sim over its pseudo-terminal, and
// each exit status. The programs run as a user's script would run them. Cases that each
// need a connected instrument run side by side, each with a simulator of its own.
#include "CliFixture.h"

namespace {

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

} // namespace
