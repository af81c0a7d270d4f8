// dcload-cli's run of a command: the session, the built-in simulator and the results store
// it sets up, what it makes of the link's troubles, and what the commands share. The way
// out is in WayOut.cpp.
#include "app/cli/Cli.h"

#include "comm/SerialComm.h"
#include "publish/LivePublisher.h"
#include "sim/SimulatorHost.h"
#include "store/SharedResults.h"
#include "workflows/Connection.h"
#include "workflows/ConnectionRules.h"
#include "workflows/ProfileRun.h"
#include "workflows/RunNotes.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace {

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

// Queries in a row without an answer after which the instrument counts as gone. A reading
// run tolerates more: its polls may cross the instrument's own busy moments.
constexpr int kMeasureGiveUp = 5;
constexpr int kRunGiveUp = 10;

QString PortOf(const QString& text)
{
    return ChosenPortName(text).value_or(text);
}

} // namespace

Cli::Cli(const CliOptions& options)
    : FOptions(options)
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
    FSession.OnTraffic = [this, trace = FOptions.trace](InstrumentSession*, const TrafficLine& line) {
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
        // A store that refuses the rows will not take them by waiting.
        if (FResults->Waiting() == 0 || FResults->Refusing())
            ExitNow();
    });
    FTrigger.setSingleShot(true);
    QObject::connect(&FTrigger, &QTimer::timeout, [this] {
        // The next step's timer starts once this trigger has been written: never two pending.
        if (FPhase == Phase::Running)
            FSession.QueueCommand(kTrigger);
    });
}

Cli::~Cli() = default;

int Cli::Run()
{
    if (FOptions.command == CliCommand::Report)
        return Report();
    if (FOptions.command == CliCommand::Runs)
        return Runs();
    if (FOptions.command == CliCommand::Export)
        return Export();
    const QString port = PortOf(FOptions.port);
    FSession.SetReplyTimeout(FOptions.replyTimeoutMs);
    FSwitches = FOptions.command == CliCommand::Battery || FOptions.command == CliCommand::List
        || FOptions.command == CliCommand::Profile;
    if (FSwitches && !FOptions.csv.isEmpty()) {
        // Known before anything is switched on, not at the first reading.
        try {
            FCsvFile = std::make_unique<ReadingsFile>(FOptions.csv);
        } catch (const std::runtime_error& e) {
            Complain(QString::fromLocal8Bit(e.what()));
            return BadArguments;
        }
    }
    if (FOptions.port == u"sim")
        AddSimulator();
    if (FOptions.results)
        OpenResults();
    try {
        StartPublishing();
    } catch (const EPublishSetup& e) {
        Complain(QString::fromUtf8(e.what()));
        return PortFailed;
    }

    QTimer::singleShot(0, [&] {
        if (FPhase != Phase::Running)
            return; // stopped before it began
        Guard([&] {
            const ConnectingNote note(port);
            switch (FOptions.command) {
            case CliCommand::Measure:
                Measure(port);
                return;
            case CliCommand::Battery:
                Battery(port);
                return;
            case CliCommand::List:
                List(port);
                return;
            case CliCommand::Send:
                Send(port);
                return;
            case CliCommand::Profile:
                Profile(port);
                return;
            case CliCommand::Report:
            case CliCommand::Runs:
            case CliCommand::Export:
                return; // ran above, without a port
            }
        });
    });
    QCoreApplication::exec();
    FSession.Close();
    return FExit;
}

[[noreturn]] void Cli::Refused(const std::string& why)
{
    FBad = true;
    throw std::runtime_error(why);
}

// Runs a step of the command; what it throws ends the run.
void Cli::Guard(const std::function<void()>& work)
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

void Cli::AddSimulator()
{
    const SimOptions options = FOptions.simulator;
    FSession.AddVirtualPort(QStringLiteral("sim"), [options] {
        auto host = std::make_shared<SimulatorHost>(options);
        host->Start();
        return VirtualPort { host->SlavePath(), host };
    });
}

void Cli::OpenResults()
{
    FResults
        = std::make_unique<ResultsFile>(std::make_unique<SharedResults>(*FOptions.results, FOptions.station));
    FRecorder = std::make_unique<RunRecorder>(FSession);
    // One line per change of what holds the rows up, not one per reading.
    QObject::connect(FResults.get(), &ResultsFile::StatusChanged, [this](const QString& status) {
        // A refusal's reason is told through Failed, once per reason, not at every reading.
        if (status.contains(QRegularExpression(QStringLiteral("^\\d+ readings not stored: "))))
            return;
        QString kind = status;
        kind.remove(QRegularExpression(QStringLiteral("(; )?\\d+ readings waiting to be stored")));
        // Connecting lasts a moment; a connect that fails is told through Failed.
        if (kind == FStoreHeldUp || kind.startsWith(QLatin1String("Connecting to ")))
            return;
        Complain(kind.isEmpty() ? QStringLiteral("the results database is back") : kind);
        FStoreHeldUp = kind;
    });
    QObject::connect(FResults.get(), &ResultsFile::Failed, [](const QString& message) { Complain(message); });
    QObject::connect(
        FResults.get(), &ResultsFile::Replayed, [](int, const QString& note) { Complain(note); });
    QObject::connect(FResults.get(), &ResultsFile::PasswordNeeded, [this](const QString& reason) {
        Complain(reason + QStringLiteral(" dcload-cli never asks: put it in ~/.pgpass (or PGPASSFILE)."));
        // Nothing will be stored without it: the end does not wait for the database.
        FGiveUpStore = true;
        End(PortFailed);
    });
    FResults->StartSession();
}

void Cli::Store(ResultsTable table, const QStringList& values)
{
    if (!FResults)
        return;
    // A row the store refuses waits like one held up by an outage; the end says how many
    // were not stored and why (exit status 2), and the journal keeps them.
    FResults->Insert(table, values, {});
}

// ---- what the link tells

void Cli::LinkTrouble(const LinkEvent& event)
{
    // Every answer missed and every reply dropped is said, each time.
    Complain(event.message);
    FToldTrouble = event.message;
    if (FPhase != Phase::Running)
        return;
    const bool poll = event.exchange && event.exchange->command.code == ReplyCode::Measurement;
    switch (event.trouble) {
    case LinkTrouble::NoAnswer:
        if (FOptions.command == CliCommand::Send && event.exchange
            && event.exchange->command.code == ReplyCode::Verbatim) {
            End(PortFailed); // "No answer to … within N ms", told above
            return;
        }
        if (const int inARow = FSession.Counts().noAnswerInARow;
            inARow >= (FSwitches ? kRunGiveUp : kMeasureGiveUp))
            Fail(QStringLiteral("The instrument has stopped answering: no readable answer to %1 queries in a "
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

void Cli::Traffic(const TrafficLine& line)
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

// ---- what the commands share

// Connects as the window does and calls `then` once the limits have been read back.
void Cli::Connect(const QString& port, std::function<void()> then)
{
    Told told;
    if (!ConnectInstrument(FSession, port, QString::number(FOptions.baud), FOptions.address, told))
        Refused("the address is refused");
    RecordIdentify(); // with the connect's questions, before any run
    WhenIdle(std::move(then));
}

// Calls `then` once everything queued has gone out and nothing but readings is awaited
// (polling may run all along), unless the command has ended meanwhile.
void Cli::WhenIdle(std::function<void()> then)
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
bool Cli::BeginOutput(QStringList columns, bool toFile)
{
    FOutput.emplace(FOptions.json, std::move(columns), toFile ? FCsvFile.get() : nullptr);
    if (FOutput->Header())
        return true;
    End(PortFailed);
    return false;
}

// A reading that could not be written ends the run: it would go on unrecorded.
void Cli::CheckWritten(bool written)
{
    if (!written)
        End(PortFailed);
}
