// dcload-cli: the instrument without a window. The same session, pacing, reply cuts and
// input rules as the window; readings go to standard output as CSV (or JSON lines).
//
// Exit status: 0 done (for a list, every step PASS or not compared); 1 a list step FAILed;
// 2 the port or the instrument failed; 3 bad arguments or a refused entry.
//
// A script runs it unattended, so it never waits in silence and never ends a battery or
// list run with the input switched on: every way out of those goes through End(), which
// writes "load off" ahead of everything and lets the program go only once the line has
// left the port (or says that the input may still be on).
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
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

const char kUsage[]
    = R"(usage: dcload-cli --port PORT [--baud N] [--address N] [--time-scale X] [--reply-timeout MS]
                  [--json] [--trace] [--results URL [--station NAME]] COMMAND ...
  measure [--period S] [--count N]      readings of the load as it is; switches nothing
  battery --current A --cutoff V [--period S] [--csv FILE]
                                        a discharge to the instrument's cut-off
  list --steps FILE [--repeat] [--trigger] [--csv FILE]
                                        a list program (JSON, see docs/list-program.json)
  send TEXT                             one command; a query (TEXT ending in "?") and its answer
--reply-timeout MS: how long each answer is awaited, in whole milliseconds from 1 to 60000
(default 1000). send exits 2 when a query's answer does not come within it; measure after 5 queries in a
row without a readable answer, battery and list after 10 without an answer.
--period of measure may be shorter than the instrument's pacing (0.3 s): it then reads as
often as the pacing allows. --csv FILE holds the header and the readings only; the battery
summary goes to standard output ("# summary: ..." or, with --json, {"summary": {...}}).
battery and list switch the input off on every way out: the end of the run, an error,
Ctrl+C (also a second one), SIGTERM, SIGHUP, an output that cannot be written. The program
ends once "load off" has left the port; when it could not be written within 3 s it says
that the input may still be on and exits 2.
--trace writes every command and reply, with what became of it, to standard error.
--results postgresql://USER@HOST:PORT/DB (or postgresql://USER@/DB?host=/socket/folder)
stores battery and list rows in a shared database as the window does, marked with
--station (the host name by default) and the run; the password comes from ~/.pgpass or
PGPASSFILE. Readings the database cannot take yet are kept and stored before the end.
PORT: a device path, a port name as the window lists it, "sim" for the built-in
simulator (its time runs --time-scale times faster), or a serial device server:
tcp://HOST:PORT (raw stream) or rfc2217://HOST:PORT (--baud is set on the server's port).
Exit status: 0 done; 1 a list step failed; 2 the port or the instrument failed, an output
could not be written or the input may still be on; 3 bad arguments.
)";

enum Exit { Done = 0, StepFailed = 1, PortFailed = 2, BadArguments = 3 };

// How long the switch-off may take before the program gives up on it: a paced line waits
// at most one tick, so anything beyond that means the port takes nothing any more.
constexpr int kSwitchOffBoundMs = 3000;
// Queries in a row without an answer after which the instrument counts as gone. A reading
// run tolerates more: its polls may cross the instrument's own busy moments.
constexpr int kMeasureGiveUp = 5;
constexpr int kRunGiveUp = 10;
// Replies in a row that are no reading after which measure names what it sees instead.
constexpr int kUnreadableGiveUp = 5;
// The poll timer's shortest interval: shorter periods are coalesced by the session anyway,
// and a zero-interval timer would only spin.
constexpr int kShortestPollMs = 10;

const QString kTrigger = QStringLiteral("trig");

// Every complaint on standard error names the program, so it stands out in a script's log.
void Complain(const QString& message)
{
    std::fprintf(stderr, "dcload-cli: %s\n", qPrintable(message));
}

// While it lives, the command is opening its port, which holds this thread (a device
// server that never answers, for seconds): past a second it says so on standard error.
class ConnectingNote
{
public:
    explicit ConnectingNote(const QString& port)
        : FText("Connecting to " + port.toStdString() + " …")
        , FThread([this] {
            std::unique_lock lock(FLock);
            if (!FWake.wait_for(lock, std::chrono::seconds(1), [this] { return FOver; }))
                std::fprintf(stderr, "dcload-cli: %s\n", FText.c_str());
        })
    { }
    ~ConnectingNote()
    {
        {
            std::lock_guard lock(FLock);
            FOver = true;
        }
        FWake.notify_one();
        FThread.join();
    }
    ConnectingNote(const ConnectingNote&) = delete;
    ConnectingNote& operator=(const ConnectingNote&) = delete;

private:
    const std::string FText;
    std::mutex FLock; // guards FOver
    std::condition_variable FWake;
    bool FOver = false; // the port has opened or failed
    std::thread FThread; // last: it starts once the rest is made
};

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

// What a reply that is no reading of the normal layout says about the mode the
// instrument is in.
QString SeemingMode(const QString& reply)
{
    const QStringView kind = QStringView(reply).left(2);
    if (kind == u"L1" || kind == u"L2" || kind == u"L3")
        return QStringLiteral("the instrument seems to be in list mode");
    try {
        CutBatteryReading(reply);
        return QStringLiteral("the instrument seems to be in battery mode");
    } catch (const EBadReading&) {
        return QStringLiteral("the instrument answers in an unknown layout");
    }
}

// A line on standard output, flushed at once; what went wrong when it could not be written.
std::optional<QString> PrintLine(const QByteArray& text)
{
    const QByteArray line = text + '\n';
    if (std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout)
            == static_cast<size_t>(line.size())
        && std::fflush(stdout) == 0)
        return std::nullopt;
    return QStringLiteral("standard output cannot be written: %1")
        .arg(QString::fromLocal8Bit(std::strerror(errno)));
}

// Writes readings as CSV lines (a header first) or JSON objects, to standard output and,
// when asked, to a file as well. The file holds the header and the readings only, so a
// CSV reader takes every column of it as it is. The first write that fails is told on
// standard error; every call after it writes nothing and returns false.
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
        }
    }

    bool Header()
    {
        const QString header = FColumns.join(u',');
        return ToFile(header) && (FJson || Print(header));
    }

    // Texts as the instrument sent them (CSV); numbers where they are numbers (JSON).
    bool Row(const QStringList& texts)
    {
        const QString csv = texts.join(u',');
        if (!ToFile(csv))
            return false;
        if (!FJson)
            return Print(csv);
        QJsonObject object;
        for (qsizetype i = 0; i < FColumns.size() && i < texts.size(); ++i) {
            bool number = false;
            const double value = texts[i].toDouble(&number);
            object.insert(FColumns[i], number ? QJsonValue(value) : QJsonValue(texts[i]));
        }
        return Print(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    }

    // On standard output only: a comment line in the CSV stream, its own object in JSON.
    bool Summary(const QJsonObject& summary)
    {
        if (FJson)
            return Print(QString::fromUtf8(
                QJsonDocument(QJsonObject { { "summary", summary } }).toJson(QJsonDocument::Compact)));
        QStringList pairs;
        for (auto it = summary.begin(); it != summary.end(); ++it)
            pairs.append(it.key() + u'=' + it.value().toVariant().toString());
        return Print(QStringLiteral("# summary: ") + pairs.join(u','));
    }

private:
    bool Print(const QString& line)
    {
        if (FBroken)
            return false;
        if (const std::optional<QString> failure = PrintLine(line.toUtf8()))
            return Broken(*failure);
        return true;
    }

    bool ToFile(const QString& line)
    {
        if (FBroken)
            return false;
        if (!FFile.isOpen())
            return true;
        // Flushed line by line: a full disk shows at the reading it refuses, not at the end.
        if (FFile.write(line.toUtf8() + '\n') < 0 || !FFile.flush())
            return Broken(QStringLiteral("cannot write %1: %2").arg(FFile.fileName(), FFile.errorString()));
        return true;
    }

    bool Broken(const QString& message)
    {
        FBroken = true;
        Complain(message);
        return false;
    }

    bool FJson;
    QStringList FColumns;
    QFile FFile;
    bool FBroken = false;
};

// Ctrl+C, a termination request and a hang-up of the terminal come back to the event loop
// as a wish to stop, with how many arrived since the last time it was read.
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
            const int saved = errno;
            const uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(FInstance->FSignal, &one, sizeof one);
            errno = saved;
        };
        // Restarted, so a signal during a write to standard output is no failed write.
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (const int signal : { SIGINT, SIGTERM, SIGHUP })
            sigaction(signal, &action, nullptr);
        FNotifier = std::make_unique<QSocketNotifier>(FSignal, QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] {
            uint64_t count = 0;
            if (::read(FSignal, &count, sizeof count) == sizeof count && OnStop)
                OnStop(static_cast<int>(std::min<uint64_t>(count, 2)));
        });
    }
    std::function<void(int requests)> OnStop;

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
        FSession.OnError = [this](InstrumentSession*, const QString& message) {
            // A faulty list report is told once, where it ends the run; a dropped reply has
            // been told as it was dropped.
            if (message != FToldFault && message != FToldTrouble)
                Complain(message);
        };
        FSession.OnPortLost = [this](InstrumentSession*, const QString& port) {
            Complain(QStringLiteral("Serial Port lost: %1 stopped answering (unplugged?)").arg(port));
            PortLost();
        };
        FSession.OnSilence = [](InstrumentSession*, std::optional<QTime> lastReply) {
            if (lastReply)
                Complain(SilenceNote(*lastReply));
        };
        FSession.OnFlooded = [](InstrumentSession*) { Complain(FloodNote()); };
        FSession.OnLinkEvent = [this](InstrumentSession*, const LinkEvent& event) { LinkTrouble(event); };
        FSession.OnTraffic
            = [this, trace = FArgs.Has("--trace")](InstrumentSession*, const TrafficLine& line) {
                  if (trace)
                      std::fprintf(stderr, "%s\n", qPrintable(TrafficLineText(line)));
                  Traffic(line);
              };
        FStop.OnStop = [this](int requests) {
            for (int i = 0; i < requests; ++i)
                Interrupted();
        };
        FOffWatch.setInterval(10);
        QObject::connect(&FOffWatch, &QTimer::timeout, [this] { WatchInputOff(); });
        FStoreWatch.setInterval(100);
        QObject::connect(&FStoreWatch, &QTimer::timeout, [this] {
            if (FResults->Waiting() == 0)
                ExitNow();
        });
        FTrigger.setSingleShot(true);
        QObject::connect(&FTrigger, &QTimer::timeout, [this] {
            // The next step's timer starts once this trigger has been written: never two pending.
            if (FPhase == Phase::Running)
                FSession.QueueCommand(kTrigger);
        });
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
        const std::optional<int> replyTimeout
            = PlainWhole(FArgs.Value("--reply-timeout", QStringLiteral("1000")), 1, 60000);
        if (!replyTimeout)
            return Usage("--reply-timeout needs a whole number of milliseconds from 1 to 60000");
        FSession.SetReplyTimeout(*replyTimeout);
        if (command != u"measure" && command != u"battery" && command != u"list" && command != u"send")
            return Usage(
                command.isEmpty() ? "a command is needed" : "unknown command " + command.toStdString());
        FSwitches = command == u"battery" || command == u"list";
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

        QTimer::singleShot(0, [&] {
            if (FPhase != Phase::Running)
                return; // stopped before it began
            Guard([&] {
                const ConnectingNote note(port);
                if (command == u"measure")
                    Measure(port, *baud);
                else if (command == u"battery")
                    Battery(port);
                else if (command == u"list")
                    List(port);
                else
                    Send(port, *baud);
            });
        });
        QCoreApplication::exec();
        FSession.Close();
        return FExit;
    }

private:
    enum class Phase {
        Running, // the command runs
        SwitchingOff, // ending: "load off" is on its way out
        Storing, // ending: readings wait for the results database
        Exited,
    };

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

    // Runs a step of the command; what it throws ends the run.
    void Guard(const std::function<void()>& work)
    {
        try {
            work();
        } catch (const ECommsError& e) {
            Fail(QString::fromLocal8Bit(e.what())
                + (e.Reason().isEmpty() ? QString() : QStringLiteral(": ") + e.Reason()));
        } catch (const std::exception& e) {
            Complain(QString::fromLocal8Bit(e.what()));
            End(FBad ? BadArguments : PortFailed);
        }
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
            // Nothing will be stored without it: the end does not wait for the database.
            FGiveUpStore = true;
            End(PortFailed);
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
            // The store refuses rows (a full disk, a damaged file): the run would go on unrecorded.
            Fail(QString::fromLocal8Bit(e.what()));
        }
    }

    // ---- the way out

    // Ends the command with at least `code`. A battery or list run switches the input off
    // first; the program ends once "load off" has left the port.
    void End(int code)
    {
        FExit = std::max(FExit, code);
        if (FPhase != Phase::Running)
            return;
        FPhase = Phase::SwitchingOff;
        FTrigger.stop();
        FSession.StopPolling();
        if (!FSwitches) {
            StoreThenExit();
            return;
        }
        if (FSession.Port() != PortState::Open) {
            if (FInputOnWritten)
                InputMayStillBeOn(QStringLiteral("the port closed before \"load off\" could be written"));
            StoreThenExit();
            return;
        }
        // Nothing queued behind the switch-off goes to an instrument being left.
        FSession.ReplaceQueue({});
        FSession.SwitchInput(false);
        FOffSince.start();
        FOffWatch.start();
    }

    void Fail(const QString& message)
    {
        if (FPhase == Phase::Exited)
            return;
        Complain(message);
        End(PortFailed);
    }

    void WatchInputOff()
    {
        if (FSession.Port() != PortState::Open) {
            PortLost();
            return;
        }
        if (FSession.InputOffOutstanding()) {
            if (FOffSince.elapsed() < kSwitchOffBoundMs)
                return;
            FOffWatch.stop();
            InputMayStillBeOn(QStringLiteral("\"load off\" did not leave the port within %1 s")
                                  .arg(kSwitchOffBoundMs / 1000));
            StoreThenExit();
            return;
        }
        FOffWatch.stop();
        // Handed to the driver. Closing the port purges what the driver still holds, so the
        // line gets the time to cross the wire at the baud rate first; a hang-up posted by a
        // write that failed is handled meanwhile.
        QTimer::singleShot(FSession.CrossingMs(kInputOff.size() + 1), [this] {
            if (FPhase != Phase::SwitchingOff)
                return;
            if (FSession.Port() != PortState::Open) {
                PortLost();
                return;
            }
            StoreThenExit();
        });
    }

    void PortLost()
    {
        if (FPhase == Phase::Running) {
            End(PortFailed);
            return;
        }
        FExit = std::max<int>(FExit, PortFailed);
        if (FPhase != Phase::SwitchingOff)
            return;
        FOffWatch.stop();
        InputMayStillBeOn(QStringLiteral("the port was lost before \"load off\" had left it"));
        StoreThenExit();
    }

    void InputMayStillBeOn(const QString& why)
    {
        Complain(QStringLiteral("The input may still be on: ") + why + u'.');
        FExit = std::max<int>(FExit, PortFailed);
    }

    // Readings the database has not taken yet are stored before the end.
    void StoreThenExit()
    {
        FPhase = Phase::Storing;
        if (FResults && FResults->Waiting() > 0 && !FGiveUpStore) {
            Complain(
                QStringLiteral("%1 readings wait to be stored in the results database (Ctrl+C gives them up)")
                    .arg(FResults->Waiting()));
            FStoreWatch.start();
            return;
        }
        ExitNow();
    }

    void ExitNow()
    {
        FStoreWatch.stop();
        if (FResults && FResults->Waiting() > 0) {
            Complain(QStringLiteral("%1 readings were not stored").arg(FResults->Waiting()));
            FExit = std::max<int>(FExit, PortFailed);
        }
        if (FFailed)
            FExit = std::max<int>(FExit, StepFailed);
        FPhase = Phase::Exited;
        QCoreApplication::exit(FExit);
    }

    // Ctrl+C and the like. A request while the input is being switched off never skips
    // that; it only gives up the readings that would wait for the database afterwards.
    void Interrupted()
    {
        switch (FPhase) {
        case Phase::Running:
            if (FSwitches)
                Complain(QStringLiteral("Stopping: the input goes off first."));
            End(Done);
            return;
        case Phase::SwitchingOff:
            Complain(QStringLiteral("Still switching the input off: the program ends once \"load off\" has "
                                    "left the port, within %1 s.")
                         .arg(kSwitchOffBoundMs / 1000));
            FGiveUpStore = true;
            return;
        case Phase::Storing:
            FGiveUpStore = true;
            ExitNow();
            return;
        case Phase::Exited:
            return;
        }
    }

    // ---- what the link tells

    void LinkTrouble(const LinkEvent& event)
    {
        // Every answer missed and every reply dropped is said, each time.
        Complain(event.message);
        FToldTrouble = event.message;
        if (FPhase != Phase::Running)
            return;
        const bool poll = event.exchange && event.exchange->command.code == ReplyCode::Measurement;
        switch (event.trouble) {
        case LinkTrouble::NoAnswer:
            if (FSend && event.exchange && event.exchange->command.code == ReplyCode::Verbatim) {
                End(PortFailed); // "No answer to … within N ms", told above
                return;
            }
            if (const int inARow = FSession.Counts().noAnswerInARow;
                inARow >= (FSwitches ? kRunGiveUp : kMeasureGiveUp))
                Fail(QStringLiteral(
                    "The instrument has stopped answering: no readable answer to %1 queries in a "
                    "row within %2 ms each")
                         .arg(inARow)
                         .arg(FSession.ReplyTimeout()));
            return;
        case LinkTrouble::Misshapen:
            if (poll)
                Unreadable(event.reply);
            return;
        case LinkTrouble::Late:
        case LinkTrouble::Unasked:
            return;
        }
    }

    // measure: a reply to a poll that is no reading.
    void Unreadable(const QString& reply)
    {
        if (!FMeasure || FPhase != Phase::Running || ++FUnreadableInARow < kUnreadableGiveUp)
            return;
        Fail(QStringLiteral("%1 replies in a row are no readings (the last %2): %3")
                 .arg(FUnreadableInARow)
                 .arg(QuotedReply(reply), SeemingMode(reply)));
    }

    void Traffic(const TrafficLine& line)
    {
        if (line.route == TrafficRoute::Sent) {
            QString sent = line.text;
            sent.chop(1); // its carriage return
            if (sent == kInputOn) {
                FInputOnWritten = true;
                StepBegan(0);
            } else if (sent == kTrigger) {
                StepBegan(FStep + 1);
            }
            return;
        }
        if (line.route != TrafficRoute::Ignored)
            return;
        // The instrument's "nothing to say" ends the wait like an answer: it is what came.
        if (line.code == ReplyCode::Verbatim)
            Answer(line.text);
        else if (line.code == ReplyCode::Measurement)
            Unreadable(line.text);
    }

    // ---- the commands

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
    // (polling may run all along), unless the command has ended meanwhile.
    void WhenIdle(std::function<void()> then)
    {
        auto* watch = new QTimer(QCoreApplication::instance());
        watch->start(20);
        QObject::connect(watch, &QTimer::timeout, [this, watch, then = std::move(then)] {
            if (FPhase != Phase::Running) {
                watch->deleteLater();
                return;
            }
            const CommandPipeline& pipeline = FSession.Pipeline();
            const bool settled = std::all_of(pipeline.Pending().begin(), pipeline.Pending().end(),
                                     [](const Command& c) { return c.code == ReplyCode::Measurement; })
                && (!pipeline.OnTheWire() || pipeline.OnTheWire()->command.code == ReplyCode::Measurement);
            if (!settled)
                return;
            watch->deleteLater();
            Guard(then);
        });
    }

    // Starts writing readings; false (the run ends) when the header cannot be written.
    bool BeginOutput(QStringList columns, const QString& csvPath)
    {
        FOutput.emplace(FArgs.Has("--json"), std::move(columns), csvPath);
        if (FOutput->Header())
            return true;
        End(PortFailed);
        return false;
    }

    // A reading that could not be written ends the run: it would go on unrecorded.
    void CheckWritten(bool written)
    {
        if (!written)
            End(PortFailed);
    }

    void Measure(const QString& port, int baud)
    {
        const std::optional<double> period = PlainDecimal(FArgs.Value("--period", QStringLiteral("0.3")));
        if (!period || *period <= 0 || *period > kMaxTestPeriodSeconds)
            Refused("--period needs a number of seconds above 0, at most 86400");
        const QString countText = FArgs.Value("--count", QStringLiteral("0"));
        const std::optional<int> count = PlainWhole(countText, 0, 1000000000);
        if (!count)
            Refused("--count needs a whole number");
        if (!PlainWhole(FArgs.Value("--address", QStringLiteral("8")), 0, 254))
            Refused("--address needs a whole number from 0 to 254");
        FMeasure = true;
        // It only reads: addressed and polled, nothing switched.
        FSession.Open(port, static_cast<uint32_t>(baud));
        SetAddress(FSession, FArgs.Value("--address", QStringLiteral("8")));
        if (!BeginOutput({ "time_s", "voltage_V", "current_A", "power_W" }, QString()))
            return;
        FSession.SetMode(TestMode::Normal);
        FSession.SetRun(Activity::Load, RunState::Running);
        FClock.start();
        FSession.OnMainReading
            = [this, limit = *count](InstrumentSession*, const MainReading& r, const QString& power) {
                  if (FPhase != Phase::Running)
                      return;
                  FUnreadableInARow = 0;
                  CheckWritten(FOutput->Row(
                      { QString::number(FClock.elapsed() / 1000.0, 'f', 3), r.voltage, r.current, power }));
                  if (limit > 0 && ++FRows >= limit)
                      End(Done);
              };
        // A period below the pacing polls as often as the pacing lets a poll go: the session
        // keeps at most one poll pending.
        FSession.SetPollInterval(std::max(kShortestPollMs, static_cast<int>(std::lround(*period * 1000))));
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
            if (!BeginOutput({ "time_s", "voltage_V", "current_A", "capacity_Ah" }, FArgs.Value("--csv")))
                return;
            FSession.SetMode(TestMode::Battery);
            ToggleBattery(FSession, period, told); // the first press before any run only switches off
            if (ToggleBattery(FSession, period, told).change != BatteryToggle::Started)
                Refused("the battery test did not start");
            if (FResults)
                FResults->BeginRun(ResultsTable::Battery);
            FSession.OnBatteryReading = [this, cutOff](InstrumentSession*, const BatteryReading& r) {
                CheckWritten(FOutput->Row({ r.time, r.voltage, r.current, r.capacity }));
                const BatteryRecord record = RecordOf(r, cutOff);
                Store(ResultsTable::Battery,
                    { record.voltage, record.current, record.time, record.capacity,
                        MeasurementTimestamp(QDateTime::currentDateTime()) });
            };
            FSession.OnBatteryEnd = [this](InstrumentSession*, const BatterySummary& s) {
                CheckWritten(FOutput->Summary({ { "duration_s", s.seconds }, { "capacity_Ah", s.ampereHours },
                    { "energy_Wh", std::round(s.wattHours * 1e4) / 1e4 }, { "cutoff_V", s.cutOffVolts } }));
                End(Done);
            };
        });
    }

    static StepEntries EntriesOf(const ListRow& row)
    {
        return { row.mode.toUpper(), ModeItem(row.mode), row.value, row.delay,
            ModeTakesLevel(ListModeWord(ModeItem(row.mode))), CompareItem(row.compare), row.low, row.high };
    }

    void List(const QString& port)
    {
        QFile file(FArgs.Value("--steps"));
        if (FArgs.Value("--steps").isEmpty() || !file.open(QIODevice::ReadOnly))
            Refused("list needs --steps FILE, a list program that can be read");
        try {
            FProgram = ReadListProgram(file.readAll());
        } catch (const EListFile& e) {
            Refused(file.fileName().toStdString() + ": " + e.what());
        }
        if (FArgs.Has("--repeat"))
            FProgram.repeat = true;
        if (FArgs.Has("--trigger"))
            FProgram.autoStep = false;
        Connect(port, [this] {
            Told told;
            FSession.Pause = [](int) {};
            if (!FList.Set(
                    FSession, { QString::number(FProgram.steps), FProgram.autoStep, FProgram.repeat }, told))
                Refused("the list was refused");
            for (int n = 0; n < FProgram.steps; ++n) {
                if (!FList.SendStep(FSession, n, EntriesOf(FProgram.rows[static_cast<size_t>(n)]), told))
                    Refused("step " + std::to_string(n) + " was refused");
            }
            WhenIdle([this] { RunList(); });
        });
    }

    void RunList()
    {
        Told told;
        if (!BeginOutput({ "step", "mode", "setpoint", "voltage_V", "current_A", "low", "high", "verdict" },
                FArgs.Value("--csv")))
            return;
        std::array<StepEntries, kListSteps> editor;
        for (size_t n = 0; n < editor.size(); ++n)
            editor[n] = EntriesOf(FProgram.rows[n]);
        FSession.SetMode(TestMode::List);
        FList.Toggle(FSession, editor, told); // the first press before any run only switches off
        if (!FList.Toggle(FSession, editor, told))
            Refused("the list did not start");
        if (FResults)
            FResults->BeginRun(ResultsTable::ListS);
        FTriggered = !FProgram.autoStep;
        FSession.OnStepReading = [this](InstrumentSession*, const StepReading& r) { FList.File(r); };
        FSession.OnListReport = [this](InstrumentSession*, const ListReport& report) {
            for (const TStepRecord& r : FList.Judge(report)) {
                FFailed = FFailed || r.Result == u"2";
                Store(ResultsTable::ListS, StepRow(r, MeasurementTimestamp(QDateTime::currentDateTime())));
                CheckWritten(FOutput->Row({ r.Nr, r.LoadPattern, r.Setpoint, r.mValueV, r.mValueI, r.LowLimit,
                    r.HighLimit, StepVerdictCaption(r.Result) }));
            }
            if (!report.fault.isEmpty()) {
                // The session has ended the run; nothing of this list can be called passed.
                FToldFault = report.fault;
                Fail(report.fault);
                return;
            }
            // With repeat the instrument begins the next pass once it has given its report.
            if (FProgram.repeat && FSession.Run(Activity::List) == RunState::Running)
                StepBegan(0);
        };
        FSession.OnStateChange = [this](InstrumentSession*) {
            if (FSession.Run(Activity::List) == RunState::Idle)
                End(Done);
        };
    }

    // Triggered stepping: step `step` has begun (its "load on" or the trigger that ended
    // the step before it was written); it is triggered after its own dwell.
    void StepBegan(int step)
    {
        FStep = step;
        if (!FTriggered || FPhase != Phase::Running || FSession.Run(Activity::List) != RunState::Running
            || step >= FProgram.steps)
            return; // the trigger of the last step ended the pass
        const double seconds = PlainDecimal(FProgram.rows[static_cast<size_t>(step)].delay).value_or(0);
        FTrigger.start(static_cast<int>(std::min<double>(std::lround(seconds * 1000), INT_MAX)));
    }

    void Send(const QString& port, int baud)
    {
        const QString text = FArgs.words.value(1);
        if (text.isEmpty())
            Refused("send needs TEXT");
        FSend = true;
        FSession.Open(port, static_cast<uint32_t>(baud));
        // A query awaits its answer; any other command none: it is done once it has left.
        const bool query = text.endsWith(u'?');
        try {
            FSession.QueueCommand(text, query ? ReplyCode::Verbatim : ReplyCode::None);
        } catch (const EBadCommand& e) {
            Refused(e.what());
        }
        FSession.OnVerbatimReply = [this](InstrumentSession*, const QString& reply) { Answer(reply); };
        if (query)
            return;
        auto* sent = new QTimer(QCoreApplication::instance());
        QObject::connect(sent, &QTimer::timeout, [this, sent, bytes = text.size() + 1] {
            if (!FSession.Pipeline().Pending().empty() || !FSession.Comm()->SendDataEmpty())
                return;
            sent->deleteLater();
            QTimer::singleShot(FSession.CrossingMs(bytes), [this] { End(Done); });
        });
        sent->start(10);
    }

    // send: the answer as it came, without its terminators.
    void Answer(const QString& reply)
    {
        if (!FSend || FPhase != Phase::Running)
            return;
        QString shown = reply;
        while (shown.endsWith(u'\r') || shown.endsWith(u'\n'))
            shown.chop(1);
        if (const std::optional<QString> failure = PrintLine(shown.toLatin1())) {
            Fail(*failure);
            return;
        }
        End(Done);
    }

    const Arguments& FArgs;
    InstrumentSession FSession;
    ListSequence FList;
    ListProgram FProgram;
    StopRequest FStop;
    std::optional<Output> FOutput;
    std::unique_ptr<ResultsFile> FResults; // the shared database, with --results
    QString FStoreHeldUp; // what last held the rows up, as told on standard error

    Phase FPhase = Phase::Running;
    int FExit = Done; // the highest status a reason to end has asked for
    bool FSwitches = false; // battery or list: the input goes off on the way out
    bool FMeasure = false;
    bool FSend = false;
    QString FToldTrouble; // the last answer missed or reply dropped, as told
    bool FInputOnWritten = false; // a "load on" went to the port
    QTimer FOffWatch; // until "load off" has left the port
    QElapsedTimer FOffSince;
    bool FGiveUpStore = false; // the end waits no longer for the database
    QTimer FStoreWatch; // until the database has taken every reading

    bool FTriggered = false; // the list steps on the program's triggers
    int FStep = 0; // the step in progress of a triggered list
    QTimer FTrigger; // the dwell of that step
    QString FToldFault; // the faulty list report, told on standard error

    QElapsedTimer FClock;
    int FRows = 0;
    int FUnreadableInARow = 0; // measure: replies to polls that were no reading
    bool FFailed = false; // a list step FAILed
    bool FBad = false;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // A reader that went away (a closed pipe) shows as a failed write, which ends the run
    // with the input switched off, instead of killing the program with the input on.
    std::signal(SIGPIPE, SIG_IGN);
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
        { "--port", "--baud", "--address", "--time-scale", "--reply-timeout", "--period", "--count",
            "--current", "--cutoff", "--steps", "--csv", "--results", "--station" });
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
