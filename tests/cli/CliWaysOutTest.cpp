// dcload-cli's ways out: arguments it refuses, an instrument that cannot be read, every way
// a run ends (the input is switched off last), and a port lost mid-command.
#include "CliFixture.h"

namespace {

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
