#pragma once
// dcload-cli's run of one command: the session and the results store it sets up, what it
// makes of the link's troubles, and the way out.
//
// A script runs the program unattended, so it never waits in silence and never ends a
// battery or list run with the input switched on: every way out of those goes through
// End(), which writes "load off" ahead of everything and lets the program go only once the
// line has left the port (or says that the input may still be on).
//
// Cli.cpp holds the set-up, WayOut.cpp the way out; Measure.cpp, Battery.cpp, List.cpp, Send.cpp,
// Profile.cpp, Report.cpp and Runs.cpp (runs and export) one command each; RunRecords.cpp
// writes the runs table's record of a battery, list or profile run.
#include "app/cli/CliOptions.h"
#include "app/cli/Output.h"
#include "app/cli/StopRequest.h"
#include "link/InstrumentSession.h"
#include "publish/LiveFeed.h"
#include "store/BdfExport.h"
#include "store/ResultsFile.h"
#include "workflows/ListSequence.h"
#include "workflows/OperatorMessages.h"
#include "workflows/RunRecorder.h"

#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

// The bus trigger that ends a triggered list step.
inline const QString kTrigger = QStringLiteral("trig");

// An entry the instrument's rules refuse, told on standard error.
struct Told : IOperatorMessages
{
    bool refused = false;
    void Tell(const QString& message) override
    {
        refused = true;
        Complain(message);
    }
};

class LivePublisher;
class ProfileRun;

class Cli
{
public:
    explicit Cli(const CliOptions& options);
    ~Cli();

    // Runs the command; the exit status.
    int Run();

private:
    enum class Phase {
        Running, // the command runs
        SwitchingOff, // ending: "load off" is on its way out
        Storing, // ending: readings wait for the results database
        Exited,
    };

    // ---- set-up (Cli.cpp)
    [[noreturn]] void Refused(const std::string& why);
    void Guard(const std::function<void()>& work);
    void AddSimulator();
    void OpenResults();
    void Store(ResultsTable table, const QStringList& values);
    void Connect(const QString& port, std::function<void()> then);
    void WhenIdle(std::function<void()> then);
    bool BeginOutput(QStringList columns, bool toFile);
    void CheckWritten(bool written);

    // ---- the way out (WayOut.cpp)
    void End(int code);
    void Fail(const QString& message);
    void WatchInputOff();
    void PortLost();
    void InputMayStillBeOn(const QString& why);
    void StoreThenExit();
    void ExitNow();
    void FinishFile();
    void Interrupted();

    // ---- what the link tells (Cli.cpp)
    void LinkTrouble(const LinkEvent& event);
    void Traffic(const TrafficLine& line);

    // ---- the commands
    void Measure(const QString& port); // Measure.cpp
    void Unreadable(const QString& reply);
    void Battery(const QString& port); // Battery.cpp
    void List(const QString& port); // List.cpp
    void RunList();
    void StepBegan(int step);
    void Send(const QString& port); // Send.cpp
    void Answer(const QString& reply);
    void Profile(const QString& port); // Profile.cpp
    void ProfileEnded(int code);
    void StopProfile();
    int Report(); // Report.cpp
    int Runs(); // Runs.cpp
    int Export();
    // The stored run RUN_ID names by any unique start of its id; nothing, with `status` set
    // and the reason told, when it names none or several.
    std::optional<StoredRun> NamedRun(ResultsFile& results, int& status);

    // ---- the runs table's record of a run, with --results (RunRecords.cpp)
    void RecordIdentify(); // before the run's commands: who the instrument is
    void RecordStart(ResultsTable table, const QString& kind, const QString& parameters,
        const QDateTime& started = QDateTime::currentDateTimeUtc());
    void RecordEnd(const QString& outcome);

    // ---- live readings over MQTT, with --publish (Publish.cpp)
    void StartPublishing();
    void PublishReading(LiveReading reading);
    void PublishRunStart(ResultsTable table, const QString& kind, const QJsonObject& parameters);
    void PublishRunEnd(const QString& outcome, const QJsonObject& summary);
    void FinishPublishing();
    void WriteBdfFile(); // the --bdf file, once the run has ended

    const CliOptions& FOptions;
    InstrumentSession FSession;
    ListSequence FList;
    StopRequest FStop;
    std::unique_ptr<ReadingsFile> FCsvFile; // with --csv, from the start
    std::optional<Output> FOutput;
    std::unique_ptr<ResultsFile> FResults; // the shared database, with --results
    std::unique_ptr<RunRecorder> FRecorder; // with --results
    std::optional<ResultsTable> FRecorded; // the table of the run recorded
    QString FStoreHeldUp; // what last held the rows up, as told on standard error

    Phase FPhase = Phase::Running;
    int FExit = Done; // the highest status a reason to end has asked for
    bool FSwitches = false; // battery or list: the input goes off on the way out
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

    std::unique_ptr<ProfileRun> FProfile; // profile: the run
    bool FProfileEnding = false; // profile: the run has ended; its last lines are leaving
    BdfRun FBdfRun; // with --bdf: the run and its readings, written at the end
    std::vector<BdfReading> FBdfReadings;

    std::unique_ptr<LivePublisher> FPublisher; // with --publish
    LiveFeed FLive; // the readings and runs FPublisher publishes

    QElapsedTimer FClock;
    int FRows = 0;
    int FUnreadableInARow = 0; // measure: replies to polls that were no reading
    bool FFailed = false; // a list step FAILed
    bool FBad = false;
};
