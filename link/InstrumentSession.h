#pragma once
// One instrument on one serial port, without any window. The session owns the serial
// component, the command pipeline with its pacing tick and reply deadlines, polling, the
// routing of every reply, and the state of the instrument's activities as data: which
// port is open, whether the load input, a battery discharge or a list runs, and the
// stored maxima. The window and the command-line program are two faces of it: they
// decide what to send (workflows/) and show what the session reports through its events.
//
// Everything runs on the thread that owns the session; the serial component's workers
// post to it. An exception thrown while the session handles a tick or a reply (including
// one thrown by an event handler) ends that handling and is reported through OnError.
//
// The class is defined over four files, one job each:
//   InstrumentSession.cpp  the parts, the command pipeline on the wire (pacing, writing,
//                          deadlines, read-back progress, silence, polling), error reports
//   SessionPort.cpp        opening, closing and losing the port
//   SessionReplies.cpp     placing each reply and routing what it says
//   SessionRuns.cpp        run state, which readings count for a run, and its end
// SessionShared.h holds what they share.
#include "comm/SerialComm.h"
#include "link/CommandPipeline.h"
#include "link/RunTracking.h"
#include "link/Traffic.h"
#include "replies/MeasurementCuts.h"
#include "replies/ReadBack.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTime>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QTimer;
class TComm;
class TPortOpener;
class TTransport;

// A port that comes into being when it is opened, such as the built-in simulator's
// pseudo-terminal: the device to open, and whatever keeps its far end alive while the
// port is open (dropped after the port has closed).
struct VirtualPort
{
    QString devicePath;
    std::shared_ptr<void> keeper;
};
using VirtualPortMaker = std::function<VirtualPort()>;

// "Select" before the first choice, then "Connect" (closed), "Connecting…" (a network port
// is being opened) and "Disconnect" (open).
enum class PortState { Unchosen, Closed, Opening, Open };
// "Start" before first use, "Begin" when idle (input off), "Stop" while running.
enum class RunState { Initial, Idle, Running };
// How a measurement reply is read: which mode the instrument was put in.
enum class TestMode { Normal, Battery, List };
enum class Activity { Load, Battery, List };

// The limits that bound the set-points the operator may send: the instrument's own
// protection limits, read back or set by the operator. Unknown until then.
struct StoredMaxima
{
    std::optional<double> current;
    std::optional<double> voltage;
    std::optional<double> power;
};

// A run that ended because the port closed under it.
struct CutShortRun
{
    Activity activity;
    int readings = 0; // readings (battery) or step rows (list) delivered in the run
};

// Something the link could not place or did not get.
enum class LinkTrouble {
    NoAnswer, // a query's deadline passed without its answer
    Late, // the late answer to a query given up: dropped
    Unasked, // a reply while no answer was awaited or owed: dropped
    Misshapen, // a reply not shaped as the answer awaited (a reading cut short among them): dropped
};

struct LinkEvent
{
    LinkTrouble trouble = LinkTrouble::NoAnswer;
    std::optional<Exchange> exchange; // the query concerned; none for an unasked reply
    QString reply; // as received; empty for NoAnswer
    QString message; // one sentence for the operator
};

// What the link could not place or did not get since the port was opened.
struct LinkCounts
{
    int noAnswer = 0;
    int noAnswerInARow = 0; // queries without a readable answer since the last answer
    int late = 0;
    int unasked = 0;
    int misshapen = 0;
    int missedReadings = 0; // polls of a running activity that brought no reading
};

class InstrumentSession;
// How an open ended: nothing when the port is open, else why not (ECommsError's what() is
// the message for the operator, Reason() the cause).
using OpenedHandler = std::function<void(InstrumentSession* Sender, const std::optional<ECommsError>& error)>;

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

    // ---- commands (see CommandPipeline), in InstrumentSession.cpp
    const CommandPipeline& Pipeline() const { return FPipeline; }
    void QueueCommand(const QString& text, ReplyCode code = ReplyCode::None);
    void QueueCommands(const std::vector<Command>& commands);
    void ReplaceQueue(const std::vector<Command>& commands);
    void ClearQueues();
    // Switches the load input: "load on" behind what is pending, "load off" ahead of it
    // (in place of a switch still pending either way).
    void SwitchInput(bool on);
    // A "load off" waits to be written, or was written and has not left the port yet.
    bool InputOffOutstanding() const;
    // How long a line of `bytes` takes to cross the wire at the port's baud rate once the
    // port has taken it: closing the port sooner would purge it from the driver.
    int CrossingMs(qsizetype bytes) const;
    // How long an answer is awaited after its query was written (default 1000 ms).
    void SetReplyTimeout(int ms) { FPipeline.SetReplyTimeout(ms); }
    int ReplyTimeout() const { return FPipeline.ReplyTimeout(); }
    // One pacing tick: the next line goes to the port, unless it must wait for an answer.
    void PacingTick();
    // One polling tick: a measurement query joins the queue unless one is pending.
    void PollTick();
    // Polling runs at the interval it has: kIdlePollMs unless a battery run set another.
    void StartPolling();
    void StopPolling();
    void SetPollInterval(int ms);
    static constexpr int kIdlePollMs = 300;

    // ---- the port, in SessionPort.cpp
    PortState Port() const { return FPort; }
    // The port as the operator named it ("ttyUSB0", "/dev/pts/7", "SIM").
    QString PortName() const { return FPortName; }
    // `name` opens the made port instead of a device (the built-in simulator as "SIM").
    void AddVirtualPort(const QString& name, VirtualPortMaker make);
    bool HasVirtualPort(const QString& name) const;
    // Opens the port; throws ECommsError (or what the virtual port's maker throws) and
    // then leaves the state as it was. A network port holds the owner's thread while it
    // opens (seconds for a device server that does not answer): BeginOpen does not.
    void Open(const QString& name, uint32_t baudRate);
    // Opens the port without holding the owner's thread. A local device and a virtual port
    // open at once, and a text that names no port is refused at once: the open has ended
    // when BeginOpen returns. A network port opens on a worker thread while the state reads
    // Opening, and the open ends later, on the owner's thread (its event loop must run).
    // Either way it ends with `then`, then OnOpened: the port open (state Open, as after
    // Open) or the error (the state as it was before). A cancelled open (CancelOpen, Close,
    // the session destroyed) raises neither. Throws only when the port is open or opening
    // already (ECommsError) and what a virtual port's maker throws; then the state stays
    // as it was.
    void BeginOpen(const QString& name, uint32_t baudRate, OpenedHandler then = {});
    // Gives up an open under way: what the worker opened is closed, the worker has ended,
    // and the state is back to what it was before. Does nothing unless Opening.
    void CancelOpen();
    // Closes the port, empties the queue, forgets awaited answers and stops polling, so
    // nothing stale goes out after the next connect. A battery or list run ends (the load
    // input keeps its state: the instrument still holds it).
    void Close();
    // The operator's "Disconnect": while the input may be on, "load off" goes first and
    // the port closes once it has left (true then); otherwise closes at once (false).
    bool Disconnect();
    // A disconnect waits for its "load off".
    bool Disconnecting() const { return FCloseAfterInputOff; }
    // Counts the ports opened; a run set up on an earlier connection must be set up again.
    int ConnectionNumber() const { return FConnection; }
    // Pauses the owner's thread: the instrument needs a moment after some commands.
    // Tests may shorten it.
    std::function<void(int ms)> Pause;

    // ---- what the instrument is doing, in SessionRuns.cpp
    RunState Run(Activity activity) const;
    // A run that starts counts the readings of polls written after its "load on" (after
    // now, when none is pending).
    void SetRun(Activity activity, RunState state);
    // Whether an activity's start button may be pressed: the load input after a load
    // pattern was sent, a battery run after "Set up", a list run after "Set".
    bool Armed(Activity activity) const;
    void SetArmed(Activity activity, bool armed);
    // Armed on the connection open now: what was set up before reached no instrument.
    bool ArmedOnThisConnection(Activity activity) const;
    // The load input may be on: its own run or a battery or list run.
    bool InputMayBeOn() const;
    TestMode Mode() const { return FMode; }
    void SetMode(TestMode mode) { FMode = mode; }
    StoredMaxima& Maxima() { return FMaxima; }
    const StoredMaxima& Maxima() const { return FMaxima; }
    // The list "Set" sent: its steps (0 to lastStep) and whether it repeats. A report of
    // a list without repeat ends the run.
    void SetListPlan(int lastStep, bool repeat);
    int ListLastStep() const { return FListLastStep; }
    // A reply to "fetch?" as if its poll had gone out after everything queued so far, read
    // in the layout of the test mode (tests and benchmarks feed readings without a wire).
    void HandleMeasurement(const QString& reply);
    // What the link could not place or get since the port was opened.
    const LinkCounts& Counts() const { return FCounts; }

    // ---- replies, in SessionReplies.cpp
    // One received chunk is one reply.
    void ReceiveChunk(const char* buffer, uint16_t length);
    // Places a reply (the answer to the query on the wire, a late answer, or neither) and
    // routes what it says. Throws when a field that must be a number is not one.
    void HandleReply(const QString& reply);

    // ---- events, raised on the owner's thread; each may be left unassigned
    // The Main page's reading and its power.
    std::function<void(InstrumentSession* Sender, const MainReading& reading, const QString& power)>
        OnMainReading;
    std::function<void(InstrumentSession* Sender, const BatteryReading& reading)> OnBatteryReading;
    std::function<void(InstrumentSession* Sender, const StepReading& reading)> OnStepReading;
    // A list pass has ended with the instrument's report. A report with a fault ends the
    // run as failed.
    std::function<void(InstrumentSession* Sender, const ListReport& report)> OnListReport;
    std::function<void(InstrumentSession* Sender, const ReadBackResult& result)> OnReadBack;
    // The answer to a command queued with ReplyCode::Verbatim, as it came.
    std::function<void(InstrumentSession* Sender, const QString& reply)> OnVerbatimReply;
    // The answer to "*idn?" queued with ReplyCode::Identity, without its line end; empty
    // when none came within the reply time-out or it could not be read. Silence is no
    // trouble here: it raises no OnLinkEvent and counts in no LinkCounts.
    std::function<void(InstrumentSession* Sender, const QString& identity)> OnIdentity;
    // The port stopped answering (adapter pulled); the session has closed it.
    std::function<void(InstrumentSession* Sender, const QString& port)> OnPortLost;
    // A Disconnect has closed the port: after its "load off" had left (true), or without
    // it (false: the input may still be on; OnError has said why).
    std::function<void(InstrumentSession* Sender, bool switchedOff)> OnDisconnected;
    // The port closed under running tests (lost or closed); they have ended.
    std::function<void(InstrumentSession* Sender, const std::vector<CutShortRun>& runs)> OnRunsCutShort;
    // The instrument ended a battery discharge at its cut-off; the run has ended like
    // "Stop", its readings kept.
    std::function<void(InstrumentSession* Sender, const BatterySummary& summary)> OnBatteryEnd;
    // The instrument has answered no query for a while (the time of its last answer), or
    // answers again (nothing).
    std::function<void(InstrumentSession* Sender, std::optional<QTime> lastAnswer)> OnSilence;
    // Read-back fields that got no answer of their own, or none that could be read: they
    // keep their text. The fields of the current read-back so far.
    std::function<void(InstrumentSession* Sender, const QStringList& fields)> OnReadBackIncomplete;
    // A read-back's query has been written: `asked` of the `total` queued so far; once all
    // have been answered or given up, `finished` with ReadBackMissingFields() unconfirmed.
    std::function<void(InstrumentSession* Sender, int asked, int total, bool finished)> OnReadBackProgress;
    const QStringList& ReadBackMissingFields() const { return FReadBackMissing; }
    // A line has left the port (a command that expects no answer is done then).
    std::function<void(InstrumentSession* Sender, const QString& line)> OnLineWritten;
    // A query went unanswered or a reply was dropped; Counts() has counted it.
    std::function<void(InstrumentSession* Sender, const LinkEvent& event)> OnLinkEvent;
    // The instrument sends faster than the program reads: the serial component has stopped
    // reading until the program catches up. Once per open port.
    std::function<void(InstrumentSession* Sender)> OnFlooded;
    // A port state, run state or armed flag changed.
    std::function<void(InstrumentSession* Sender)> OnStateChange;
    // An open begun with BeginOpen has ended (after its own `then`).
    OpenedHandler OnOpened;
    // What went wrong while handling a tick or a reply, for the general error display.
    // A kind of dropped reply is told once per connection and run; Counts() counts each.
    std::function<void(InstrumentSession* Sender, const QString& message)> OnError;
    // Every command sent and every reply received, with what became of it. Left
    // unassigned, the traffic costs nothing.
    std::function<void(InstrumentSession* Sender, const TrafficLine& line)> OnTraffic;

private:
    // InstrumentSession.cpp: the pipeline on the wire and error reports
    qint64 Now() const { return FClock.elapsed(); }
    MeasurementLayout Layout() const;
    void Guarded(const std::function<void()>& work);
    void Report(const QString& message);
    void ReportOnce(const QString& kind, const QString& message);
    void StateChanged();
    void Pump(bool onTick);
    void Written(const Exchange& e);
    void InputOffLeft();
    // A Disconnect ends: the port closes, and the operator learns whether "load off" went.
    void Disconnected(bool switchedOff);
    void ReadBackSettled();
    void DeadlinePassed(qint64 line);
    // The query got no answer that could be read: given up at its deadline or misshapen.
    void Unanswered(const Exchange& e);
    void Unread(const Exchange& e);
    void ReadBackMissing(ReplyCode code);
    void Trouble(LinkEvent event);
    void Trace(TrafficRoute route, ReplyCode code, const QString& text);
    void WatchSilence();

    // SessionPort.cpp
    void PortHungUp();
    void ReleasePort();
    void PreparePort(const QString& name, uint32_t baudRate);
    void TransportOpened(std::unique_ptr<TTransport> transport, std::optional<ECommsError> error);
    void OpenEnded(const std::optional<ECommsError>& error);
    void PortOpened(const QString& name);

    // SessionReplies.cpp
    void Answered(const Exchange& e, const QString& reply);
    void Misshapen(const Exchange& e, const QString& reply);
    void ApplyReadBack(ReplyCode code, const QString& reply);

    // SessionRuns.cpp
    std::vector<CutShortRun> EndRuns(std::initializer_list<Activity> activities);
    void EndRun(Activity activity);
    bool CountsFor(Activity activity, const Exchange& poll) const;
    void MeasurementArrived(const Exchange& poll, const QString& reply);
    void BatteryReadingArrived(const QString& reply);
    void ListReplyArrived(const QString& reply);

    TComm* FComm = nullptr;
    QTimer* FPacing = nullptr;
    QTimer* FPolling = nullptr;
    QTimer* FDeadline = nullptr; // the answer to the query on the wire is due
    QElapsedTimer FClock; // the pipeline's time
    QElapsedTimer FSinceWrite; // since the last line was written
    CommandPipeline FPipeline;

    PortState FPort = PortState::Unchosen;
    QString FPortName;
    TPortOpener* FOpener = nullptr; // opens network ports for BeginOpen
    QString FOpeningName; // the port BeginOpen is opening
    PortState FBeforeOpening = PortState::Unchosen; // what a failed or cancelled open goes back to
    OpenedHandler FOpenedThen; // BeginOpen's `then` until the open ends
    std::map<QString, VirtualPortMaker> FVirtualMakers;
    VirtualPort FVirtual; // the made port while it is open
    bool FCloseAfterInputOff = false; // Disconnect waits for "load off" to leave
    bool FInputOffLeaving = false; // "load off" written, the port's send queue not yet empty

    int FConnection = 0;
    RunState FRuns[3] = { RunState::Initial, RunState::Initial, RunState::Initial };
    bool FArmed[3] = { false, false, false };
    int FArmedOn[3] = { 0, 0, 0 }; // the connection each activity was armed on
    // The line after which a run's polls count: its "load on" (-1 while that is pending).
    qint64 FRunFrom[3] = { 0, 0, 0 };
    int FRunReadings[3] = { 0, 0, 0 }; // delivered in the current run
    TestMode FMode = TestMode::Normal;
    StoredMaxima FMaxima;
    int FListLastStep = 0;
    bool FListRepeat = false;
    BatteryTrack FBattery;

    LinkCounts FCounts;
    QSet<QString> FToldKinds; // kinds of dropped replies told in this connection and run
    bool FReadBackRunning = false; // read-back queries are pending or on the wire
    QStringList FReadBackMissing; // fields of the current read-back not confirmed
    int FReadBackAsked = 0; // queries of the current read-back written

    QElapsedTimer FSinceAnswer; // since the last answer (or since the port opened)
    QTime FLastAnswerAt;
    bool FSilent = false; // the silence has been reported
};
