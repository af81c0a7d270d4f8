#pragma once
// What a profile run keeps while it goes, shared by its two halves: ProfileRun.cpp (the
// session's handlers, the backstop, the end, the public calls) and ProfileRunSteps.cpp (the
// walk through the steps, the load's level, the readings and the pulses). Private to them.
#include "link/InstrumentSession.h"
#include "workflows/ProfileRun.h"

#include <QElapsedTimer>
#include <QPointer>
#include <algorithm>
#include <optional>
#include <vector>

class QTimer;

inline constexpr double kPulseSeconds = 1.0; // the periodic measurement's pulse
inline const QString kAskVoff = QStringLiteral("mset:voff?");

// What the load is set to: a mode and its set-point with the input on, or the input off.
struct ProfileLevel
{
    QString mode; // "cc", "cp", "cr", "cv"
    QString setPoint; // "load:curr 2"
    bool on = false;
};

struct ProfileRun::State
{
    State(ProfileRun& r, InstrumentSession& s)
        : run(r)
        , session(s)
        , sessionAlive(&s)
    { }

    ProfileRun& run;
    InstrumentSession& session;
    QPointer<InstrumentSession> sessionAlive; // a run that outlives its session leaves it alone

    // The session's handlers while the run listens in their place.
    struct Saved
    {
        decltype(InstrumentSession::OnMainReading) mainReading;
        decltype(InstrumentSession::OnLineWritten) lineWritten;
        decltype(InstrumentSession::OnVerbatimReply) verbatimReply;
        decltype(InstrumentSession::OnLinkEvent) linkEvent;
        decltype(InstrumentSession::OnPortLost) portLost;
        decltype(InstrumentSession::OnStateChange) stateChange;
    } saved;
    bool listening = false;

    enum class Phase { Idle, AskingBackstop, Steps };
    Phase phase = Phase::Idle;
    bool ending = false;
    Profile profile;
    QByteArray text;
    QElapsedTimer clock; // since Start
    QDateTime started;
    qint64 firstStepMs = 0;
    double endSeconds = 0;
    int pollMs = 500;
    TestMode modeBefore = TestMode::Normal;
    QTimer* tick = nullptr;

    // The instrument's own switch-off, set to the lowest cut-off while the run goes.
    double cutOff = 0;
    QString operatorVoff; // as the instrument gave it
    bool backstopSet = false;
    qint64 askQueuedMs = 0;
    qint64 askWrittenMs = -1;

    // Where the walk through the tree stands.
    struct Frame
    {
        const std::vector<ProfileStep>* steps;
        size_t next = 0;
        int pass = 1;
        int times = 1;
    };
    std::vector<Frame> frames;
    const ProfileStep* step = nullptr;
    int stepNumber = 0;
    int cycle = 1;
    qint64 stepStartMs = 0;
    double stepAh = 0, stepWh = 0;
    int offReadings = 0;
    double nextDue = 0; // of the periodic measurement: step seconds or step Ah

    // The load's level on the wire. A reading is at a level when its poll went out after
    // every line of that level had left the port.
    ProfileLevel base; // the step's own level, which a pulse goes back to
    std::optional<bool> inputOn;
    QString modeNow;
    std::vector<QString> unwritten; // this run's lines still to leave the port
    int levelGen = 0;
    qint64 levelSetMs = -1; // when the last line of the level left; -1 while some are pending
    qint64 pollAtMs = -1; // when the poll now answered left
    int pollGen = -1; // the level it went out at; -1 in the middle of a change
    qint64 lastReadingMs = 0;
    // The point the next reading is integrated from: the last reading, or the run's start
    // with the input off.
    qint64 lastMs = 0;
    double lastAmps = 0, lastWatts = 0;

    std::vector<ProfileSample> samples;
    std::vector<ResistanceMeasurement> resistances;
    double ah = 0, wh = 0;

    struct Pulse
    {
        bool active = false;
        bool measure = false; // reads the resistance
        bool isStep = false; // ends its step
        bool waitingBase = false; // a measurement step waits for V1
        double v1 = 0, i1 = 0, i2 = 0, seconds = kPulseSeconds;
        int gen = -1;
        qint64 beganMs = 0;
        bool polled = false;
        bool early = false; // a reading came, but too soon into the pulse
    } pulse;

    // Forgets the last run (OnEnd may start the next one while the last one's handling
    // is still on the stack, so the state stays where it is).
    void Reset();

    qint64 Now() const { return clock.elapsed(); }
    double RunSeconds(qint64 ms) const { return std::max<double>(0, double(ms - firstStepMs) / 1000.0); }
    void Status(const QString& text)
    {
        if (auto handler = run.OnStatus)
            handler(text);
    }

    // ---- listening in the session's handlers

    void Listen();

    // Gives the handlers back. `restore` (the input off, the backstop's restore) waits for
    // the next port that opens, when the run ended without one.
    void Unlisten(const std::optional<QString>& restore);

    // A hook of its own, outliving the run if need be: the first open of a port afterwards
    // switches the input off and restores the backstop before anything else goes out.
    void OnNextOpen(const QString& restore);
    // The port closed, or the input was switched off elsewhere: the run has ended.
    void StateChanged();

    // ---- the backstop

    void AskBackstop();
    void BackstopAnswer(const QString& reply);
    void NoBackstopAnswer();

    // ---- steps

    void BeginSteps();
    const ProfileStep* Advance();
    void NextStep();

    QString Totals(qint64 ms) const;
    void EndStep(const EndCondition& c, const QString& read);

    // ---- the level on the wire

    void SetLevel(const ProfileLevel& level);
    void Written(const QString& line);

    // ---- readings

    void Reading(const MainReading& r);

    // The trapezoid between two readings; where the level changed in between, the current
    // stepped when the change left the port, so each side keeps its own reading's value.
    void Integrate(qint64 t, double i, double p, int gen);

    // The run's limit, on a reading or (duration only) on the clock.
    bool LimitMet(const ProfileSample* s, qint64 now);
    // The step's own ends on a reading; true when the step (or the run) has ended.
    bool JudgeStep(double v, double i, bool settled, qint64 now);

    // ---- pulses and the resistance

    void MaybeMeasure(double v, double i, qint64 now);
    void StartPulse(bool measure, bool isStep, double v1, double i1, double i2, double seconds);

    // Readings under the pulse: V2 is the first whose poll left the pulse time after the
    // pulse's current was set.
    void PulseReading(qint64 t, double v, double i, int gen);
    void PulseClock(qint64 now);

    // Back to the step's level; a measurement is reported, good or failed.
    void FinishPulse(const QString& failure, double v2, double i2);
    void Report(const Pulse& p, const QString& failure, double v2, double i2);

    // Pulse ends, durations, deadlines and the instrument's silence.
    void Tick();
    // "load off" first, the backstop restored (or both left for the next open port), the
    // handlers given back, then OnEnd. Once per run.
    void End(ProfileOutcome outcome, QString message);
};
