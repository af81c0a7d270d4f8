#include "app/cli/CliOptions.h"

#include "app/CommandLine.h"
#include "replies/Numbers.h"
#include "sim/SimulatorHost.h"
#include "workflows/InputRules.h"
#include "workflows/ProgramInfo.h"
#include "workflows/TestRules.h"

#include <QFile>
#include <QFileInfo>
#include <map>

namespace {

const QString kProgram = QStringLiteral("dcload-cli");

const QString kDescription = QStringLiteral(
    R"(Drives the Kelvaron 4410/4420 DC load from scripts and production lines, without a window:
the same session, pacing and input rules as the window dcload. Readings go to standard
output as CSV (a header first) or, with --json, one JSON object a line.

Commands:
  measure             readings of the load as it is; switches nothing (--period, --count)
  battery             a discharge at --current to the instrument's cut-off at --cutoff
                      (--period, --csv, --force)
  list                a list program (--steps, --repeat, --trigger, --csv, --force)
  send TEXT           one command; a query (TEXT ending in "?") prints its answer
  profile FILE        a discharge profile run by the program, step by step, as FILE
                      writes it (docs/profiles.md); resistance measurements on the way
                      (--csv, --bdf, --force)
  report RUN_ID       a PDF report of a battery or profile run stored in --results
                      (--pdf FILE, needed; --force); needs no --port
  runs                the runs stored in --results, newest first: one CSV line each
                      (run id, station, kind, started, ended, outcome, readings) or,
                      with --json, one JSON array (--station, --since); needs no --port
  export RUN_ID       one run's readings stored in --results, with the columns of its
                      table (--csv FILE, needed; --force); needs no --port

PORT is a device path (/dev/ttyUSB0), a port name as the window lists it, "sim" for the
built-in simulator (its clock runs --time-scale times faster), or a serial device server:
tcp://HOST:PORT (a raw stream) or rfc2217://HOST:PORT (--baud is set on the server's port).
With "sim", --cell, --cell-resistance and --cell-capacity connect a simulated battery.)");

const QString kEpilogue = QStringLiteral(
    R"(Answers: send exits 2 when a query's answer does not come within --reply-timeout; measure
after 5 queries in a row without a readable answer, battery and list after 10 without an
answer. A --period of measure shorter than the instrument's pacing (0.3 s) reads as often
as the pacing allows.

Files: --csv FILE holds the header and the readings only; the battery and profile
summaries go to standard output ("# summary: ..." or, with --json, {"summary": {...}}), as
do a profile's steps ("# step: ...") and resistance measurements ("# resistance: ...").
--bdf FILE writes the run as a Battery Data Format file (current negative while
discharging) and its sidecar FILE.metadata.json once the run has ended. The file is written
under a temporary name beside it (FILE.partial-XXXXXX) and renamed onto FILE once the run
has ended, however it ended, when every line could be written; a run that took no reading
leaves FILE as it was. When a write fails, FILE stays as it was and the readings written
before stay in the temporary file, which is named on standard error. An existing FILE is
replaced only with --force.

Switching off: battery and list switch the input off on every way out: the end of the run,
an error, Ctrl+C (also a second one), SIGTERM, SIGHUP, an output that cannot be written, a
lost results database. The program ends once "load off" has left the port; when it could
not be written within 3 s it says that the input may still be on and exits 2.

Profiles: before the first step the instrument's own under-voltage switch-off
("mset:voff") is set to the profile's lowest cut-off, and the earlier value put back at
the end, so a pulled cable cannot run the cell flat.

Shared results: --results stores battery, list and profile rows in a shared database as the window
does, marked with --station and the run; the password comes from ~/.pgpass or PGPASSFILE.
Readings the database cannot take yet are kept and stored before the end. Each run also
gets a record in its runs table, at its start and at its end with the outcome: cut-off,
pass, fail, finished, limit, stopped by the operator, port lost, program ended (Ctrl+C,
SIGTERM or SIGHUP mid-run) or failed. RUN_ID of report and export may be any start of a
run id that names a single run.

Live readings: --publish sends each reading (measure, battery, list, profile) to an MQTT
broker as it comes, and each run's start and end; readings taken while the broker cannot
be reached are not published later, run messages are (docs/live-readings.md).

Exit status:
  0   done (a list: every step PASS or not compared)
  1   a list step failed
  2   the port or the instrument failed, an output could not be written, or the input
      may still be on
  3   bad arguments, or an entry the instrument's rules refuse
)");

// The options that belong to each command; the rest belong to all.
const std::map<CliCommand, QStringList> kCommandOptions {
    { CliCommand::Measure, { "period", "count" } },
    { CliCommand::Battery, { "current", "cutoff", "period", "csv", "bdf", "force" } },
    { CliCommand::List, { "steps", "repeat", "trigger", "csv", "force" } },
    { CliCommand::Send, {} },
    { CliCommand::Profile, { "csv", "bdf", "force" } },
    { CliCommand::Report, { "pdf", "force" } },
    { CliCommand::Runs, { "since" } },
    { CliCommand::Export, { "csv", "force" } },
};
const std::map<QString, CliCommand> kCommands { { "measure", CliCommand::Measure },
    { "battery", CliCommand::Battery }, { "list", CliCommand::List }, { "send", CliCommand::Send },
    { "profile", CliCommand::Profile }, { "report", CliCommand::Report }, { "runs", CliCommand::Runs },
    { "export", CliCommand::Export } };

CommandLine Options()
{
    CommandLine line(
        kProgram, QStringLiteral("--port PORT [options] COMMAND [TEXT]"), kDescription, kEpilogue);
    const auto value = [&line](const char* name, const char* valueName, const char* description,
                           const QString& defaultValue = {}, const QString& defaultNote = {}) {
        line.AddValue(QLatin1String(name), QLatin1String(valueName), QLatin1String(description), defaultValue,
            defaultNote);
    };
    value("port", "PORT", "The instrument's port (see PORT above).");
    value("baud", "N", "The line's baud rate, 1 to 4000000.", QStringLiteral("9600"));
    value("address", "N", "The instrument's address, 0 to 254.", QStringLiteral("8"));
    value("time-scale", "X", "Runs the built-in simulator's clock X times faster, above 0, at most 1000000.",
        QStringLiteral("1"));
    value("reply-timeout", "MS", "How long each answer is awaited, 1 to 60000 milliseconds.",
        QStringLiteral("1000"));
    line.AddFlag(QStringLiteral("json"), QStringLiteral("Writes readings as JSON objects, one a line."));
    line.AddFlag(QStringLiteral("trace"),
        QStringLiteral("Writes every command and reply, with what became of it, to standard error."));
    value("results", "URL",
        "Stores battery and list rows in a shared database: postgresql://USER@HOST:PORT/DB or "
        "postgresql://USER@/DB?host=/socket/folder.",
        {}, QStringLiteral("none"));
    value("station", "NAME",
        "The station the rows of --results and the topics of --publish are marked with; runs: lists only its runs.",
        {}, QStringLiteral("the host name; runs: every station"));
    AddPublishOptions(line);
    value("since", "DATE",
        "runs: only runs started at or after DATE (ISO 8601: 2026-12-01 or "
        "2026-12-01T08:00, local time unless it ends in Z or an offset).",
        {}, QStringLiteral("every run"));
    value("period", "S",
        "measure: seconds between readings, above 0, at most 86400; battery: whole seconds, 1 to 86400.", {},
        QStringLiteral("0.3 for measure, 1 for battery"));
    value("count", "N", "measure: stops after N readings, 0 to 1000000000; 0 reads until stopped.",
        QStringLiteral("0"));
    value("current", "A", "battery: the discharge current in amperes (needed).");
    value("cutoff", "V", "battery: the cut-off voltage in volts (needed).");
    value("steps", "FILE", "list: the list program, JSON as in docs/list-program.json (needed).");
    line.AddFlag(QStringLiteral("repeat"), QStringLiteral("list: repeats the list until stopped."));
    line.AddFlag(
        QStringLiteral("trigger"), QStringLiteral("list: steps on a trigger after each step's dwell time."));
    value("csv", "FILE",
        "battery, list, profile: also writes the readings to FILE (see Files below); export: the file "
        "written.",
        {}, QStringLiteral("none"));
    value("bdf", "FILE", "battery, profile: also writes the run as a Battery Data Format file (see Files).",
        {}, QStringLiteral("none"));
    value("pdf", "FILE", "report: the PDF file written (needed).");
    line.AddFlag(QStringLiteral("force"),
        QStringLiteral(
            "battery, list, profile, report, export: --csv, --bdf or --pdf may replace an existing FILE."));
    AddCellOptions(line);
    return line;
}

// A decimal the instrument gets as typed: digits with at most one ".".
QString PlainNumber(const CommandLine& line, const QString& name, const QString& command)
{
    const QString text = line.Text(name);
    if (text.isEmpty())
        throw EBadArgument(QStringLiteral("%1 needs --current and --cutoff").arg(command));
    bool plain = false;
    try {
        plain = PlainDecimal(text).has_value();
    } catch (const EConvertError&) {
        // Digits beyond any number the instrument takes.
    }
    if (!plain)
        throw EBadArgument(
            QStringLiteral("--%1 needs a number such as 12.5, not %2").arg(name, Quoted(text)));
    return text;
}

// The profile as written; refused naming the line and what it expected, before anything
// is sent.
void ReadProfileFile(const QString& path, CliOptions& o)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        throw EBadArgument(QStringLiteral("profile needs FILE, a profile that can be read")
            + (path.isEmpty() ? QString() : QStringLiteral(" (%1: %2)").arg(path, file.errorString())));
    o.profileFile = path;
    o.profileText = file.readAll();
    try {
        o.profile = ReadProfile(o.profileText);
    } catch (const EProfile& e) {
        throw EBadArgument(path + QStringLiteral(": ") + QString::fromUtf8(e.what()));
    }
}

// A file an option names, written at the end: refused now rather than after the run.
QString OutputFile(const CommandLine& line, const QString& name, bool force)
{
    const QString path = line.Text(name);
    if (line.IsSet(name) && path.isEmpty())
        throw EBadArgument(QStringLiteral("--%1 needs a file name").arg(name));
    if (!path.isEmpty() && QFileInfo::exists(path) && !force)
        throw EBadArgument(QStringLiteral("--%1 %2 exists: add --force to replace it").arg(name, path));
    return path;
}

// An ISO 8601 date (the start of that day) or date and time, local unless it says its zone.
QDateTime SinceOf(const QString& text)
{
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid())
        return day.startOfDay();
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        throw EBadArgument(
            QStringLiteral("--since needs a date such as 2026-12-01 or a date and time such as "
                           "2026-12-01T08:00, not %1")
                .arg(Quoted(text)));
    return time;
}

ListProgram ReadSteps(const QString& path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        throw EBadArgument(QStringLiteral("list needs --steps FILE, a list program that can be read")
            + (path.isEmpty() ? QString() : QStringLiteral(" (%1: %2)").arg(path, file.errorString())));
    try {
        return ReadListProgram(file.readAll());
    } catch (const EListFile& e) {
        throw EBadArgument(path + QStringLiteral(": ") + QString::fromUtf8(e.what()));
    }
}

void Read(const CommandLine& line, CliOptions& o)
{
    const QStringList words = line.Positional();
    const auto given = [&line](const char* name) { return line.IsSet(QLatin1String(name)); };
    o.port = line.Text(QStringLiteral("port"));
    o.baud = line.Whole(QStringLiteral("baud"), 1, 4000000, QStringLiteral("a whole number"));
    o.replyTimeoutMs = line.Whole(
        QStringLiteral("reply-timeout"), 1, 60000, QStringLiteral("a whole number of milliseconds"));
    if (words.isEmpty())
        throw EBadArgument(QStringLiteral(
            "a command is needed: measure, battery, list, send, profile, report, runs or export"));
    const auto command = kCommands.find(words.first());
    if (command == kCommands.end())
        throw EBadArgument(QStringLiteral("unknown command %1").arg(Clipped(words.first())));
    o.command = command->second;
    const QString name = command->first;
    if (o.port.isEmpty() && !ReadsStoreOnly(o.command))
        throw EBadArgument(QStringLiteral("--port is needed"));
    if (!o.port.isEmpty() && ReadsStoreOnly(o.command))
        throw EBadArgument(
            QStringLiteral("%1 reads the shared results store only: leave out --port").arg(name));
    const bool takesWord = o.command == CliCommand::Send || o.command == CliCommand::Profile
        || o.command == CliCommand::Report || o.command == CliCommand::Export;
    if (o.command == CliCommand::Send && words.size() > 2)
        throw EBadArgument(QStringLiteral("send takes its TEXT as one argument: quote it, as in send \"%1\"")
                               .arg(Clipped(words.mid(1).join(u' '))));
    if (takesWord && o.command != CliCommand::Send && words.size() > 2)
        throw EBadArgument(QStringLiteral("unexpected argument %1 after %2 %3")
                               .arg(Quoted(words[2]), name, Clipped(words[1])));
    if (!takesWord && words.size() > 1)
        throw EBadArgument(QStringLiteral("unexpected argument %1 after %2").arg(Quoted(words[1]), name));
    // An option of another command would be dropped without a word.
    static const QStringList kShared { "help", "version", "port", "baud", "address", "time-scale",
        "reply-timeout", "json", "trace", "results", "station", "publish", "publish-password-file", "cell",
        "cell-resistance", "cell-capacity" };
    for (const QString& option : line.GivenOptions()) {
        if (!kShared.contains(option) && !kCommandOptions.at(o.command).contains(option))
            throw EBadArgument(QStringLiteral("--%1 is no option of %2").arg(option, name));
    }

    o.address
        = QString::number(line.Whole(QStringLiteral("address"), 0, 254, QStringLiteral("a whole number")));
    o.simulator.timeScale
        = line.Decimal(QStringLiteral("time-scale"), 0, kLargestTimeScale, false, QStringLiteral("a number"));
    if (given("time-scale") && o.port != u"sim")
        throw EBadArgument(
            QStringLiteral("--time-scale sets the built-in simulator's clock: it needs --port sim"));
    if (CellOptionsGiven(line) && o.port != u"sim")
        throw EBadArgument(
            QStringLiteral("--cell options connect the built-in simulator's battery: they need --port sim"));
    ReadCellOptions(line, o.simulator);
    o.json = given("json");
    o.trace = given("trace");
    if (given("station") && !given("results") && !given("publish"))
        throw EBadArgument(
            QStringLiteral("--station marks the rows of a shared database or the topics of --publish: add "
                           "--results or --publish"));
    if (given("results") || given("publish")) {
        o.station = given("station") ? line.Text(QStringLiteral("station")) : DefaultStation();
        if (o.station.isEmpty())
            throw EBadArgument(QStringLiteral("--station needs a name"));
    }
    if (given("results"))
        o.results = line.ResultsLocation(QStringLiteral("results"));
    if (o.command == CliCommand::Report && given("publish"))
        throw EBadArgument(QStringLiteral("report reads a stored run: --publish has nothing to publish"));
    o.publish = ReadPublishOptions(line, o.station);

    switch (o.command) {
    case CliCommand::Measure:
        if (given("period"))
            o.measurePeriodSeconds = line.Decimal(QStringLiteral("period"), 0, kMaxTestPeriodSeconds, false,
                QStringLiteral("a number of seconds"));
        o.count = line.Whole(QStringLiteral("count"), 0, 1000000000, QStringLiteral("a whole number"));
        break;
    case CliCommand::Battery:
        o.current = PlainNumber(line, QStringLiteral("current"), name);
        o.cutOff = PlainNumber(line, QStringLiteral("cutoff"), name);
        if (given("period"))
            o.batteryPeriodSeconds = line.Whole(QStringLiteral("period"), 1, kMaxTestPeriodSeconds,
                QStringLiteral("a whole number of seconds"));
        break;
    case CliCommand::List:
        o.stepsFile = line.Text(QStringLiteral("steps"));
        o.program = ReadSteps(o.stepsFile);
        if (given("repeat"))
            o.program.repeat = true;
        if (given("trigger"))
            o.program.autoStep = false;
        break;
    case CliCommand::Send:
        o.text = words.value(1);
        if (o.text.isEmpty())
            throw EBadArgument(QStringLiteral("send needs TEXT"));
        break;
    case CliCommand::Profile:
        ReadProfileFile(words.value(1), o);
        break;
    case CliCommand::Runs:
        if (!o.results)
            throw EBadArgument(
                QStringLiteral("runs lists the runs of a shared results store: add --results URL"));
        // Every station's runs unless one is named.
        if (!given("station"))
            o.station.clear();
        if (given("since"))
            o.since = SinceOf(line.Text(QStringLiteral("since")));
        break;
    case CliCommand::Export:
        o.runId = words.value(1);
        if (o.runId.isEmpty())
            throw EBadArgument(QStringLiteral("export needs RUN_ID, a run of the shared results store"));
        if (!o.results)
            throw EBadArgument(
                QStringLiteral("export reads a run of a shared results store: add --results URL"));
        if (!given("csv"))
            throw EBadArgument(QStringLiteral("export needs --csv FILE"));
        break;
    case CliCommand::Report:
        o.runId = words.value(1);
        if (o.runId.isEmpty())
            throw EBadArgument(QStringLiteral("report needs RUN_ID, a run of the shared results store"));
        if (!o.results)
            throw EBadArgument(
                QStringLiteral("report reads a run of a shared results store: add --results URL"));
        if (!given("pdf"))
            throw EBadArgument(QStringLiteral("report needs --pdf FILE"));
        break;
    }

    o.force = given("force");
    o.csv = OutputFile(line, QStringLiteral("csv"), o.force);
    o.bdf = OutputFile(line, QStringLiteral("bdf"), o.force);
    o.pdf = OutputFile(line, QStringLiteral("pdf"), o.force);
    if (o.force && o.csv.isEmpty() && o.bdf.isEmpty() && o.pdf.isEmpty())
        throw EBadArgument(
            QStringLiteral("--force lets --csv, --bdf or --pdf replace a file: add one of them"));
    if (!o.bdf.isEmpty() && !o.csv.isEmpty()
        && QFileInfo(o.bdf).absoluteFilePath() == QFileInfo(o.csv).absoluteFilePath())
        throw EBadArgument(QStringLiteral("--csv and --bdf name the same file %1").arg(o.csv));
}

} // namespace

bool ReadsStoreOnly(CliCommand command)
{
    return command == CliCommand::Report || command == CliCommand::Runs || command == CliCommand::Export;
}

std::optional<int> ReadCliOptions(const QStringList& arguments, CliOptions& options)
{
    CommandLine line = Options();
    if (const std::optional<int> done
        = line.Parse(arguments, QStringLiteral("%1 %2 (%3)").arg(kProgram, kProgramVersion, kAppTitle)))
        return *done;
    try {
        Read(line, options);
    } catch (const EBadArgument& e) {
        Complain(kProgram, QString::fromUtf8(e.what()));
        return BadArguments;
    }
    return std::nullopt;
}
