// dcload-cli: the instrument without a window. The same session, pacing, reply cuts and
// input rules as the window; readings go to standard output as CSV (or JSON lines).
//
// Exit status: 0 done (for a list, every step PASS or not compared); 1 a list step FAILed;
// 2 the port or the instrument failed; 3 bad arguments or a refused entry.
#include "comm/SerialComm.h"
#include "link/InstrumentSession.h"
#include "sim/SimulatorHost.h"
#include "store/ResultsFile.h"
#include "store/ResultsQuery.h"
#include "store/ResultsUrl.h"
#include "store/SharedResults.h"
#include "workflows/BatteryDischarge.h"
#include "workflows/Connection.h"
#include "workflows/ConnectionRules.h"
#include "workflows/InputRules.h"
#include "workflows/ListFile.h"
#include "workflows/ListSequence.h"
#include "workflows/OperatorMessages.h"
#include "workflows/ProgramInfo.h"
#include "workflows/RunNotes.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

const char kUsage[]
    = R"(usage: dcload-cli --port PORT [--baud N] [--address N] [--time-scale X] [--json] [--trace]
                  [--results URL [--station NAME]] COMMAND ...
  measure [--period S] [--count N]      readings of the load as it is; switches nothing
  battery --current A --cutoff V [--period S] [--csv FILE]
                                        a discharge to the instrument's cut-off
  list --steps FILE [--repeat] [--trigger] [--csv FILE]
                                        a list program (JSON, see docs/list-program.json)
  send TEXT                             one command, and its reply if one comes within 1 s
--trace writes every command and reply, with what became of it, to standard error.
--results postgresql://USER@HOST:PORT/DB (or postgresql://USER@/DB?host=/socket/folder)
stores battery and list rows in a shared database as the window does, marked with
--station (the host name by default) and the run; the password comes from ~/.pgpass or
PGPASSFILE. Readings the database cannot take yet are kept and stored before the end.
PORT: a device path, a port name as the window lists it, "sim" for the built-in
simulator (its time runs --time-scale times faster), or a serial device server:
tcp://HOST:PORT (raw stream) or rfc2217://HOST:PORT (--baud is set on the server's port).
Exit status: 0 done; 1 a list step failed; 2 the port or the instrument failed; 3 bad arguments.
)";

enum Exit { Done = 0, StepFailed = 1, PortFailed = 2, BadArguments = 3 };

// Every complaint on standard error names the program, so it stands out in a script's log.
void Complain(const QString& message)
{
    std::fprintf(stderr, "dcload-cli: %s\n", qPrintable(message));
}

struct Told : IOperatorMessages
{
    bool refused = false;
    void Tell(const QString& message) override
    {
        refused = true;
        Complain(message);
    }
};

// Options of the form --name VALUE, flags --name, and the words left.
struct Arguments
{
    QStringList words;
    QMap<QString, QString> values;
    QStringList flags;
    QString bad;

    Arguments(const QStringList& args, const QStringList& valueOptions)
    {
        for (qsizetype i = 1; i < args.size(); ++i) {
            const QString& a = args[i];
            if (!a.startsWith(QStringLiteral("--"))) {
                words.append(a);
            } else if (valueOptions.contains(a)) {
                if (i + 1 >= args.size()) {
                    bad = a + QStringLiteral(" needs a value");
                    return;
                }
                values[a] = args[++i];
            } else {
                flags.append(a);
            }
        }
    }
    bool Has(const char* flag) const { return flags.contains(QLatin1String(flag)); }
    QString Value(const char* name, const QString& fallback = {}) const
    {
        return values.value(QLatin1String(name), fallback);
    }
};

// Writes readings as CSV lines (a header first) or JSON objects, to standard output and,
// when asked, to a file as well.
class Output
{
public:
    Output(bool json, QStringList columns, const QString& csvPath)
        : FJson(json)
        , FColumns(std::move(columns))
    {
        if (!csvPath.isEmpty()) {
            FFile.setFileName(csvPath);
            if (!FFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
                throw std::runtime_error("cannot write " + csvPath.toStdString());
            FFile.write(FColumns.join(u',').toUtf8() + '\n');
        }
        if (!FJson)
            Print(FColumns.join(u','));
    }

    // Texts as the instrument sent them (CSV); numbers where they are numbers (JSON).
    void Row(const QStringList& texts)
    {
        const QString csv = texts.join(u',');
        if (FFile.isOpen()) {
            FFile.write(csv.toUtf8() + '\n');
            FFile.flush();
        }
        if (!FJson) {
            Print(csv);
            return;
        }
        QJsonObject object;
        for (qsizetype i = 0; i < FColumns.size() && i < texts.size(); ++i) {
            bool number = false;
            const double value = texts[i].toDouble(&number);
            object.insert(FColumns[i], number ? QJsonValue(value) : QJsonValue(texts[i]));
        }
        Print(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    }

    void Summary(const QJsonObject& summary)
    {
        QStringList pairs;
        for (auto it = summary.begin(); it != summary.end(); ++it)
            pairs.append(it.key() + u'=' + it.value().toVariant().toString());
        const QString line = QStringLiteral("# summary: ") + pairs.join(u',');
        if (FFile.isOpen())
            FFile.write(line.toUtf8() + '\n');
        Print(FJson ? QString::fromUtf8(
                  QJsonDocument(QJsonObject { { "summary", summary } }).toJson(QJsonDocument::Compact))
                    : line);
    }

private:
    static void Print(const QString& line)
    {
        std::printf("%s\n", line.toUtf8().constData());
        std::fflush(stdout);
    }

    bool FJson;
    QStringList FColumns;
    QFile FFile;
};

// Ctrl+C and a termination request come back to the event loop as a wish to stop.
class StopRequest
{
public:
    StopRequest()
    {
        FSignal = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        FInstance = this;
        struct sigaction action
        {
        };
        action.sa_handler = [](int) {
            const uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(FInstance->FSignal, &one, sizeof one);
        };
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        FNotifier = std::make_unique<QSocketNotifier>(FSignal, QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] {
            uint64_t count = 0;
            [[maybe_unused]] const auto drained = ::read(FSignal, &count, sizeof count);
            if (OnStop)
                OnStop();
        });
    }
    std::function<void()> OnStop;

private:
    static inline StopRequest* FInstance = nullptr;
    int FSignal = -1;
    std::unique_ptr<QSocketNotifier> FNotifier;
};

class Cli
{
public:
    Cli(const Arguments& args)
        : FArgs(args)
    {
        FSession.OnError = [](InstrumentSession*, const QString& message) { Complain(message); };
        FSession.OnPortLost = [this](InstrumentSession*, const QString& port) {
            Complain(QStringLiteral("Serial Port lost: %1 stopped answering (unplugged?)").arg(port));
            Finish(PortFailed);
        };
        FSession.OnSilence = [](InstrumentSession*, std::optional<QTime> lastReply) {
            if (lastReply)
                Complain(SilenceNote(*lastReply));
        };
        FSession.OnFlooded = [](InstrumentSession*) { Complain(FloodNote()); };
        FStop.OnStop = [this] { Stopped(); };
        if (FArgs.Has("--trace"))
            FSession.OnTraffic = [](InstrumentSession*, const TrafficLine& line) {
                std::fprintf(stderr, "%s\n", qPrintable(TrafficLineText(line)));
            };
    }

    // Runs the command; the exit status.
    int Run()
    {
        const QString command = FArgs.words.value(0);
        const QString port = PortOf(FArgs.Value("--port"));
        if (port.isEmpty())
            return Usage("--port is needed");
        const std::optional<int> baud = PlainWhole(FArgs.Value("--baud", QStringLiteral("9600")), 1, 4000000);
        if (!baud)
            return Usage("--baud needs a whole number");
        if (command != u"measure" && command != u"battery" && command != u"list" && command != u"send")
            return Usage(
                command.isEmpty() ? "a command is needed" : "unknown command " + command.toStdString());
        if (const QString csv = FArgs.Value("--csv"); !csv.isEmpty()) {
            // Known before anything is switched on, not at the first reading.
            QFile file(csv);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
                return Usage("cannot write " + csv.toStdString() + ": " + file.errorString().toStdString());
        }
        if (FArgs.Value("--port") == u"sim")
            AddSimulator();
        if (const QString url = FArgs.Value("--results"); !url.isEmpty()) {
            const QString station = FArgs.Value("--station", DefaultStation());
            if (station.isEmpty())
                return Usage("--station needs a name");
            try {
                OpenResults(std::make_unique<SharedResults>(ParseResultsUrl(url), station));
            } catch (const EResultsUrl& e) {
                return Usage(e.what());
            }
        }

        int exit = Done;
        QTimer::singleShot(0, [&] {
            try {
                if (command == u"measure")
                    Measure(port, *baud);
                else if (command == u"battery")
                    Battery(port);
                else if (command == u"list")
                    List(port);
                else
                    Send(port, *baud);
            } catch (const ECommsError& e) {
                Complain(QString::fromLocal8Bit(e.what())
                    + (e.Reason().isEmpty() ? QString() : QStringLiteral(": ") + e.Reason()));
                Finish(PortFailed);
            } catch (const std::exception& e) {
                Complain(QString::fromLocal8Bit(e.what()));
                Finish(FBad ? BadArguments : PortFailed);
            }
        });
        FFinish = [this, &exit](int code) {
            exit = code;
            // Readings the database has not taken yet are stored before the end.
            if (FResults && FResults->Waiting() > 0 && !FGivingUp) {
                Complain(QStringLiteral("%1 readings wait to be stored in the results database (Ctrl+C "
                                        "gives them up)")
                             .arg(FResults->Waiting()));
                FGivingUp = true;
                auto* watch = new QTimer(QCoreApplication::instance());
                QObject::connect(watch, &QTimer::timeout, [this, watch, &exit] {
                    if (FResults->Waiting() == 0) {
                        watch->stop();
                        QCoreApplication::exit(exit);
                    }
                });
                watch->start(100);
                return;
            }
            if (FResults && FResults->Waiting() > 0) {
                Complain(QStringLiteral("%1 readings were not stored").arg(FResults->Waiting()));
                exit = PortFailed;
            }
            QCoreApplication::exit(exit);
        };
        QCoreApplication::exec();
        FSession.Close();
        return exit;
    }

private:
    int Usage(const std::string& why)
    {
        std::fprintf(stderr, "dcload-cli: %s\n%s", why.c_str(), kUsage);
        return BadArguments;
    }

    [[noreturn]] void Refused(const std::string& why)
    {
        FBad = true;
        throw std::runtime_error(why);
    }

    static QString PortOf(const QString& text) { return ChosenPortName(text).value_or(text); }

    void AddSimulator()
    {
        SimOptions options;
        bool ok = false;
        options.timeScale = FArgs.Value("--time-scale", QStringLiteral("1")).toDouble(&ok);
        if (!ok || options.timeScale <= 0)
            options.timeScale = 1;
        FSession.AddVirtualPort(QStringLiteral("sim"), [options] {
            auto host = std::make_shared<SimulatorHost>(options);
            host->Start();
            return VirtualPort { host->SlavePath(), host };
        });
    }

    void OpenResults(std::unique_ptr<ResultsBackend> backend)
    {
        FResults = std::make_unique<ResultsFile>(std::move(backend));
        // One line per change of what holds the rows up, not one per reading.
        QObject::connect(FResults.get(), &ResultsFile::StatusChanged, [this](const QString& status) {
            QString kind = status;
            kind.remove(QRegularExpression(QStringLiteral("(; )?\\d+ readings waiting to be stored")));
            // Connecting lasts a moment; a connect that fails is told through Failed.
            if (kind == FStoreHeldUp || kind.startsWith(QLatin1String("Connecting to ")))
                return;
            Complain(kind.isEmpty() ? QStringLiteral("the results database is back") : kind);
            FStoreHeldUp = kind;
        });
        QObject::connect(
            FResults.get(), &ResultsFile::Failed, [](const QString& message) { Complain(message); });
        QObject::connect(FResults.get(), &ResultsFile::PasswordNeeded, [this](const QString& reason) {
            Complain(reason + QStringLiteral(" dcload-cli never asks: put it in ~/.pgpass (or PGPASSFILE)."));
            FGivingUp = true;
            FExitAfterStop = PortFailed;
            Stopped();
        });
        FResults->StartSession();
    }

    void Store(ResultsTable table, const QStringList& values)
    {
        if (!FResults)
            return;
        try {
            FResults->Insert(table, values, {});
        } catch (const EDatabaseError& e) {
            Complain(QString::fromLocal8Bit(e.what()));
        }
    }

    void Finish(int code)
    {
        if (FFinish)
            FFinish(code);
    }

    // Connects as the window does and calls `then` once the limits have been read back.
    void Connect(const QString& port, std::function<void()> then)
    {
        Told told;
        if (!ConnectInstrument(FSession, port, FArgs.Value("--baud", QStringLiteral("9600")),
                FArgs.Value("--address", QStringLiteral("8")), told))
            Refused("the address is refused");
        WhenIdle(std::move(then));
    }

    // Calls `then` once everything queued has gone out and nothing but readings is awaited
    // (polling may run all along).
    void WhenIdle(std::function<void()> then)
    {
        auto* watch = new QTimer(QCoreApplication::instance());
        watch->start(20);
        QObject::connect(watch, &QTimer::timeout, [this, watch, then = std::move(then)] {
            const CommandPipeline& pipeline = FSession.Pipeline();
            const bool settled = std::all_of(pipeline.Pending().begin(), pipeline.Pending().end(),
                                     [](const Command& c) { return c.code == ReplyCode::Measurement; })
                && (!pipeline.OnTheWire() || pipeline.OnTheWire()->command.code == ReplyCode::Measurement);
            if (!settled)
                return;
            watch->deleteLater();
            try {
                then();
            } catch (const std::exception& e) {
                Complain(QString::fromLocal8Bit(e.what()));
                Finish(FBad ? BadArguments : PortFailed);
            }
        });
    }

    std::optional<double> Seconds(const char* option, const QString& fallback)
    {
        const std::optional<double> value = PlainDecimal(FArgs.Value(option, fallback));
        if (!value || *value <= 0)
            Refused(std::string(option) + " needs a number of seconds above 0");
        return value;
    }

    void Measure(const QString& port, int baud)
    {
        const double period = *Seconds("--period", QStringLiteral("0.3"));
        const QString countText = FArgs.Value("--count", QStringLiteral("0"));
        const std::optional<int> count = PlainWhole(countText, 0, 1000000000);
        if (!count)
            Refused("--count needs a whole number");
        // It only reads: addressed and polled, nothing switched.
        FSession.Open(port, static_cast<uint32_t>(baud));
        if (!PlainWhole(FArgs.Value("--address", QStringLiteral("8")), 0, 254))
            Refused("--address needs a whole number from 0 to 254");
        SetAddress(FSession, FArgs.Value("--address", QStringLiteral("8")));
        FOutput.emplace(
            FArgs.Has("--json"), QStringList { "time_s", "voltage_V", "current_A", "power_W" }, QString());
        FSession.SetMode(TestMode::Normal);
        FSession.SetRun(Activity::Load, RunState::Running);
        FClock.start();
        FSession.OnMainReading = [this, limit = *count](
                                     InstrumentSession*, const MainReading& r, const QString& power) {
            FOutput->Row({ QString::number(FClock.elapsed() / 1000.0, 'f', 3), r.voltage, r.current, power });
            if (limit > 0 && ++FRows >= limit)
                Finish(Done);
        };
        FSession.SetPollInterval(static_cast<int>(period * 1000));
        FSession.StartPolling();
    }

    void Battery(const QString& port)
    {
        const QString current = FArgs.Value("--current");
        const QString cutOff = FArgs.Value("--cutoff");
        if (current.isEmpty() || cutOff.isEmpty())
            Refused("battery needs --current and --cutoff");
        const QString period = FArgs.Value("--period", QStringLiteral("1"));
        if (!TestPeriodSeconds(period))
            Refused("--period needs a whole number of seconds from 1 to 86400");
        Connect(port, [this, current, cutOff, period] {
            Told told;
            FSession.Pause = [](int) {};
            SetUpBattery(FSession, { cutOff, current }, told);
            if (told.refused)
                Refused("the battery set-up was refused");
            FOutput.emplace(FArgs.Has("--json"),
                QStringList { "time_s", "voltage_V", "current_A", "capacity_Ah" }, FArgs.Value("--csv"));
            FSession.SetMode(TestMode::Battery);
            ToggleBattery(FSession, period, told); // the first press before any run only switches off
            if (ToggleBattery(FSession, period, told).change != BatteryToggle::Started)
                Refused("the battery test did not start");
            if (FResults)
                FResults->BeginRun(ResultsTable::Battery);
            FSession.OnBatteryReading = [this, cutOff](InstrumentSession*, const BatteryReading& r) {
                FOutput->Row({ r.time, r.voltage, r.current, r.capacity });
                const BatteryRecord record = RecordOf(r, cutOff);
                Store(ResultsTable::Battery,
                    { record.voltage, record.current, record.time, record.capacity,
                        MeasurementTimestamp(QDateTime::currentDateTime()) });
            };
            FSession.OnBatteryEnd = [this](InstrumentSession*, const BatterySummary& s) {
                FOutput->Summary({ { "duration_s", s.seconds }, { "capacity_Ah", s.ampereHours },
                    { "energy_Wh", std::round(s.wattHours * 1e4) / 1e4 }, { "cutoff_V", s.cutOffVolts } });
                WhenIdle([this] { Finish(Done); });
            };
        });
    }

    void List(const QString& port)
    {
        QFile file(FArgs.Value("--steps"));
        if (FArgs.Value("--steps").isEmpty() || !file.open(QIODevice::ReadOnly))
            Refused("list needs --steps FILE, a list program that can be read");
        ListProgram program;
        try {
            program = ReadListProgram(file.readAll());
        } catch (const EListFile& e) {
            Refused(file.fileName().toStdString() + ": " + e.what());
        }
        if (FArgs.Has("--repeat"))
            program.repeat = true;
        if (FArgs.Has("--trigger"))
            program.autoStep = false;
        Connect(port, [this, program] {
            Told told;
            FSession.Pause = [](int) {};
            if (!FList.Set(
                    FSession, { QString::number(program.steps), program.autoStep, program.repeat }, told))
                Refused("the list was refused");
            for (int n = 0; n < program.steps; ++n) {
                const ListRow& row = program.rows[static_cast<size_t>(n)];
                const StepEntries entries { row.mode.toUpper(), ModeItem(row.mode), row.value, row.delay,
                    ModeTakesLevel(ListModeWord(ModeItem(row.mode))), CompareItem(row.compare), row.low,
                    row.high };
                if (!FList.SendStep(FSession, n, entries, told))
                    Refused("step " + std::to_string(n) + " was refused");
            }
            WhenIdle([this, program] { RunList(program); });
        });
    }

    void RunList(const ListProgram& program)
    {
        Told told;
        FOutput.emplace(FArgs.Has("--json"),
            QStringList { "step", "mode", "setpoint", "voltage_V", "current_A", "low", "high", "verdict" },
            FArgs.Value("--csv"));
        std::array<StepEntries, kListSteps> editor;
        for (int n = 0; n < kListSteps; ++n) {
            const ListRow& row = program.rows[static_cast<size_t>(n)];
            editor[static_cast<size_t>(n)] = { row.mode.toUpper(), ModeItem(row.mode), row.value, row.delay,
                ModeTakesLevel(ListModeWord(ModeItem(row.mode))), CompareItem(row.compare), row.low,
                row.high };
        }
        FSession.SetMode(TestMode::List);
        FList.Toggle(FSession, editor, told); // the first press before any run only switches off
        if (!FList.Toggle(FSession, editor, told))
            Refused("the list did not start");
        if (FResults)
            FResults->BeginRun(ResultsTable::ListS);
        FSession.OnStepReading = [this](InstrumentSession*, const StepReading& r) { FList.File(r); };
        FSession.OnListReport = [this](InstrumentSession*, const ListReport& report) {
            for (const TStepRecord& r : FList.Judge(report)) {
                FFailed = FFailed || r.Result == u"2";
                Store(ResultsTable::ListS, StepRow(r, MeasurementTimestamp(QDateTime::currentDateTime())));
                FOutput->Row({ r.Nr, r.LoadPattern, r.Setpoint, r.mValueV, r.mValueI, r.LowLimit, r.HighLimit,
                    r.Result == u"1"       ? QStringLiteral("PASS")
                        : r.Result == u"2" ? QStringLiteral("FAIL")
                                           : QStringLiteral("N/C") });
            }
        };
        FSession.OnStateChange = [this](InstrumentSession*) {
            if (FSession.Run(Activity::List) == RunState::Idle)
                WhenIdle([this] { Finish(FFailed ? StepFailed : Done); });
        };
        if (!program.autoStep) {
            // Triggered stepping: the program triggers each step when its dwell is over.
            auto* trigger = new QTimer(QCoreApplication::instance());
            QObject::connect(
                trigger, &QTimer::timeout, [this] { FSession.QueueCommand(QStringLiteral("trig")); });
            trigger->start(static_cast<int>(PlainDecimal(program.rows[0].delay).value_or(1) * 1000));
        }
    }

    void Send(const QString& port, int baud)
    {
        const QString text = FArgs.words.value(1);
        if (text.isEmpty())
            Refused("send needs TEXT");
        FSession.Open(port, static_cast<uint32_t>(baud));
        try {
            FSession.QueueCommand(text, ReplyCode::Verbatim);
        } catch (const EBadCommand& e) {
            Refused(e.what());
        }
        FSession.OnVerbatimReply = [this](InstrumentSession*, const QString& reply) {
            QString shown = reply;
            while (shown.endsWith(u'\r') || shown.endsWith(u'\n'))
                shown.chop(1);
            std::printf("%s\n", shown.toLatin1().constData());
            std::fflush(stdout);
            Finish(Done);
        };
        // The command leaves at the next tick; a reply after a second does not count.
        QTimer::singleShot(300 + 1000, [this] { Finish(Done); });
    }

    // Ctrl+C: the input goes off before the program does.
    void Stopped()
    {
        // A second Ctrl+C ends at once; one while the end waits for the database gives up
        // the readings it holds.
        const int code = FExitAfterStop ? *FExitAfterStop : FFailed ? StepFailed : Done;
        if (FSession.Port() != PortState::Open || FStopping) {
            Finish(code);
            return;
        }
        FStopping = true;
        FSession.StopPolling();
        FSession.SwitchInput(false);
        WhenIdle([this, code] { Finish(code); });
    }

    const Arguments& FArgs;
    InstrumentSession FSession;
    ListSequence FList;
    StopRequest FStop;
    std::optional<Output> FOutput;
    std::unique_ptr<ResultsFile> FResults; // the shared database, with --results
    QString FStoreHeldUp; // what last held the rows up, as told on standard error
    bool FGivingUp = false; // the end waits no longer for the database
    bool FStopping = false; // the input is being switched off before the end
    std::optional<int> FExitAfterStop;
    std::function<void(int)> FFinish;
    QElapsedTimer FClock;
    int FRows = 0;
    bool FFailed = false;
    bool FBad = false;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList raw = QCoreApplication::arguments();
    if (raw.contains(QStringLiteral("--help"))) {
        std::printf("%s", kUsage);
        return Done;
    }
    if (raw.contains(QStringLiteral("--version"))) {
        std::printf("dcload-cli %s (%s)\n", qPrintable(kProgramVersion), qPrintable(kAppTitle));
        return Done;
    }
    Arguments args(raw,
        { "--port", "--baud", "--address", "--time-scale", "--period", "--count", "--current", "--cutoff",
            "--steps", "--csv", "--results", "--station" });
    for (const QString& flag : args.flags) {
        if (flag != u"--json" && flag != u"--trace" && flag != u"--repeat" && flag != u"--trigger")
            args.bad = QStringLiteral("unknown option ") + flag;
    }
    if (!args.bad.isEmpty()) {
        std::fprintf(stderr, "dcload-cli: %s\n%s", qPrintable(args.bad), kUsage);
        return BadArguments;
    }
    Cli cli(args);
    return cli.Run();
}
