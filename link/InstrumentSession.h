#pragma once
// One instrument on one serial port, without any window. The session owns the serial
// component, the command pipeline with its pacing tick, polling, the routing of every
// reply, and the state of the instrument's activities as data: which port is open, whether
// the load input, a battery discharge or a list runs, and the stored maxima. The window
// and the command-line program are two faces of it: they decide what to send (workflows/)
// and show what the session reports through its events.
//
// Everything runs on the thread that owns the session; the serial component's workers
// post to it. An exception thrown while the session handles a tick or a reply (including
// one thrown by an event handler) ends that handling and is reported through OnError.
#include "link/CommandPipeline.h"
#include "link/Traffic.h"
#include "replies/MeasurementCuts.h"
#include "replies/ReadBack.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTime>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QTimer;
class TComm;

// A port that comes into being when it is opened, such as the built-in simulator's
// pseudo-terminal: the device to open, and whatever keeps its far end alive while the
// port is open (dropped after the port has closed).
struct VirtualPort
{
    QString devicePath;
    std::shared_ptr<void> keeper;
};
using VirtualPortMaker = std::function<VirtualPort()>;

// "Select" before the first choice, then "Connect" (closed) and "Disconnect" (open).
enum class PortState { Unchosen, Closed, Open };
// "Start" before first use, "Begin" when idle (input off), "Stop" while running.
enum class RunState { Initial, Idle, Running };
// How a measurement reply is read: which mode the instrument was put in.
enum class TestMode { Normal, Battery, List };
enum class Activity { Load, Battery, List };

// The limits that bound the set-points the operator may send: the instrument's own
// protection limits, read back or set by the operator. 0 until known.
struct StoredMaxima
{
    double current = 0;
    double voltage = 0;
    double power = 0;
};

// How a battery discharge ended by the instrument went: its cut-off switched the input off.
struct BatterySummary
{
    int seconds = 0; // discharge time, as the instrument counts it
    double ampereHours = 0; // as the instrument counts them
    double wattHours = 0; // voltage times current over the readings, trapezoid rule
    double cutOffVolts = 0; // the last voltage measured while current flowed
    int readings = 0;
};

// A run that ended because the port closed under it.
struct CutShortRun
{
    Activity activity;
    int readings = 0; // readings (battery) or step rows (list) delivered in the run
};

// The instrument's report at the end of a list pass ("L3").
struct ListReport
{
    QString reply;
    int verdict = 0; // of the whole list: 0 not judged, 1 pass, 2 fail
    QStringList stepVerdicts; // one digit per step, from step 0, as far as the report holds them
    int steps = 0; // how many steps the list has
    bool Complete() const { return stepVerdicts.size() == steps; }
};

class InstrumentSession : public QObject
{
    Q_OBJECT
public:
    explicit InstrumentSession(QObject* parent = nullptr);
    ~InstrumentSession() override; // closes the port first, then the port's maker goes

    // The parts, named "Comm1", "CoTimer" (pacing, 300 ms, always running) and
    // "fetchTimer" (polling, stopped until a run starts).
    TComm* Comm() const { return FComm; }
    QTimer* PacingTimer() const { return FPacing; }
    QTimer* PollTimer() const { return FPolling; }

    // ---- commands (see CommandPipeline)
    const CommandPipeline& Pipeline() const { return FPipeline; }
    void QueueCommand(const QString& text, ReplyCode code = ReplyCode::None);
    void QueueCommands(const std::vector<Command>& commands);
    void ReplaceQueue(const std::vector<Command>& commands);
    void QueueSuperseding(const Command& command, const QStringList& texts);
    void ClearQueues();
    // Switches the load input: "load on" or "load off" in place of a switch still pending
    // (pressed faster than the line carries them, only the last one goes out). Switching
    // on also drops polls still pending from before: their answers belong to no run.
    void SwitchInput(bool on);
    // One pacing tick: the next pending line goes to the port.
    void PacingTick();
    // One polling tick: a measurement query joins the queue.
    void PollTick();
    // Polling runs at the interval it has: kIdlePollMs unless a battery run set another.
    void StartPolling();
    void StopPolling();
    void SetPollInterval(int ms);
    static constexpr int kIdlePollMs = 300;

    // ---- the port
    PortState Port() const { return FPort; }
    // The port as the operator named it ("ttyUSB0", "/dev/pts/7", "SIM").
    QString PortName() const { return FPortName; }
    // `name` opens the made port instead of a device (the built-in simulator as "SIM").
    void AddVirtualPort(const QString& name, VirtualPortMaker make);
    bool HasVirtualPort(const QString& name) const;
    // Opens the port; throws ECommsError (or what the virtual port's maker throws) and
    // then leaves the state as it was.
    void Open(const QString& name, uint32_t baudRate);
    // Closes the port, empties the queue, forgets awaited answers and stops polling, so
    // nothing stale goes out after the next connect. A battery or list run ends (the load
    // input keeps its state: the instrument still holds it).
    void Close();
    // Counts the ports opened; a run set up on an earlier connection must be set up again.
    int ConnectionNumber() const { return FConnection; }
    // Pauses the owner's thread: the instrument needs a moment after some commands.
    // Tests may shorten it.
    std::function<void(int ms)> Pause;

    // ---- what the instrument is doing
    RunState Run(Activity activity) const;
    void SetRun(Activity activity, RunState state);
    // Whether an activity's start button may be pressed: the load input after a load
    // pattern was sent, a battery run after "Set up", a list run after "Set".
    bool Armed(Activity activity) const;
    void SetArmed(Activity activity, bool armed);
    // Armed on the connection open now: what was set up before reached no instrument.
    bool ArmedOnThisConnection(Activity activity) const;
    TestMode Mode() const { return FMode; }
    void SetMode(TestMode mode) { FMode = mode; }
    StoredMaxima& Maxima() { return FMaxima; }
    const StoredMaxima& Maxima() const { return FMaxima; }
    // The list "Set" sent: its steps (0 to lastStep) and whether it repeats. A report of
    // a list without repeat that judges every step ends the run.
    void SetListPlan(int lastStep, bool repeat);
    int ListLastStep() const { return FListLastStep; }

    // ---- replies
    // One received chunk is one reply.
    void ReceiveChunk(const char* buffer, uint16_t length);
    // Reads a reply with the code awaited for it and routes it. Throws when nothing was
    // awaited or a field that must be a number is not one.
    void HandleReply(const QString& reply);
    // A reply to "fetch?", read in the layout of the test mode; used only while its
    // activity runs.
    void HandleMeasurement(const QString& reply);

    // ---- events, raised on the owner's thread; each may be left unassigned
    // The Main page's reading; power is empty when it cannot be computed (the error
    // follows through OnError).
    std::function<void(InstrumentSession* Sender, const MainReading& reading, const QString& power)>
        OnMainReading;
    std::function<void(InstrumentSession* Sender, const BatteryReading& reading)> OnBatteryReading;
    std::function<void(InstrumentSession* Sender, const StepReading& reading)> OnStepReading;
    std::function<void(InstrumentSession* Sender, const ListReport& report)> OnListReport;
    std::function<void(InstrumentSession* Sender, const ReadBackResult& result)> OnReadBack;
    // The answer to a command queued with ReplyCode::Verbatim, as it came.
    std::function<void(InstrumentSession* Sender, const QString& reply)> OnVerbatimReply;
    // The port stopped answering (adapter pulled); the session has closed it.
    std::function<void(InstrumentSession* Sender, const QString& port)> OnPortLost;
    // The port closed under running tests (lost or closed); they have ended.
    std::function<void(InstrumentSession* Sender, const std::vector<CutShortRun>& runs)> OnRunsCutShort;
    // The instrument ended a battery discharge at its cut-off; the run has ended like
    // "Stop", its readings kept.
    std::function<void(InstrumentSession* Sender, const BatterySummary& summary)> OnBatteryEnd;
    // The instrument stopped answering queries (the time of its last reply), or answers
    // again (nothing).
    std::function<void(InstrumentSession* Sender, std::optional<QTime> lastReply)> OnSilence;
    // Read-back fields not confirmed by an answer of their own: none came in time, or the
    // one that came could not be told from a late answer to another query. They keep
    // their text. The count of the current read-back so far.
    std::function<void(InstrumentSession* Sender, int unconfirmed)> OnReadBackIncomplete;
    // The instrument sends faster than the program reads: the serial component has stopped
    // reading until the program catches up. Once per open port.
    std::function<void(InstrumentSession* Sender)> OnFlooded;
    // A port state, run state or armed flag changed.
    std::function<void(InstrumentSession* Sender)> OnStateChange;
    // What went wrong while handling a tick or a reply, for the general error display.
    std::function<void(InstrumentSession* Sender, const QString& message)> OnError;
    // Every command sent and every reply received, with what became of it. Left
    // unassigned, the traffic costs nothing.
    std::function<void(InstrumentSession* Sender, const TrafficLine& line)> OnTraffic;

private:
    void Guarded(const std::function<void()>& work);
    void Report(const QString& message);
    void StateChanged();
    void PortHungUp();
    void ReleasePort();
    std::vector<CutShortRun> EndRuns(std::initializer_list<Activity> activities);
    void EndRun(Activity activity);
    void RunStarted(Activity activity);
    void WatchSilence();
    void Unconfirmed();
    void Answered(const AwaitedAnswer& answer, const QString& reply);
    void Trace(TrafficRoute route, ReplyCode code, const QString& text);
    void BatteryReadingArrived(const QString& reply);
    void ListReportArrived(const QString& reply);
    void ApplyReadBack(ReplyCode code, const QString& reply);

    TComm* FComm = nullptr;
    QTimer* FPacing = nullptr;
    QTimer* FPolling = nullptr;
    CommandPipeline FPipeline;

    PortState FPort = PortState::Unchosen;
    QString FPortName;
    std::map<QString, VirtualPortMaker> FVirtualMakers;
    VirtualPort FVirtual; // the made port while it is open

    int FConnection = 0;
    RunState FRuns[3] = { RunState::Initial, RunState::Initial, RunState::Initial };
    bool FArmed[3] = { false, false, false };
    int FArmedOn[3] = { 0, 0, 0 }; // the connection each activity was armed on
    int FRunReadings[3] = { 0, 0, 0 }; // delivered in the current run
    TestMode FMode = TestMode::Normal;
    StoredMaxima FMaxima;
    int FListLastStep = 0;
    bool FListRepeat = false;
    // A list report counts only after a step reading of its own pass: the instrument
    // repeats its last report until the next pass, and a new run must not take the last
    // run's report.
    bool FListAwaitsStep = true;
    bool FListShortReported = false; // a cut-short report is told once per run

    // The battery run: whether the instrument has ended it, and what its summary needs.
    struct BatteryTrack
    {
        int idleReadings = 0; // consecutive readings with no current at one time
        int idleSince = -1; // their time
        bool hasLast = false;
        double lastVolts = 0, lastAmps = 0;
        int lastSeconds = 0;
        double lastAmpereHours = 0;
        double wattHours = 0;
        double cutOffVolts = 0;
        bool cutShortReported = false; // a reading cut short is told once per run
    } FBattery;
    bool FTailMayFollow = false; // a reading was cut short: its rest may come unasked

    // The reply held while it may be the late answer to the query before; the next reply
    // before the tick shows which.
    std::optional<std::pair<ReplyCode, QString>> FHeld;
    int FLateAnswers = 0; // answers given up at the last tick that may still come
    int FUnconfirmed = 0; // fields of the current read-back not confirmed by their own answer

    QElapsedTimer FSinceReply; // since the last reply (or since the port opened)
    QTime FLastReplyAt;
    bool FSilent = false; // the silence has been reported
};
