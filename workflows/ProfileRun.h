#pragma once
// A discharge profile run by the program, step after step, through the Main page's
// commands ("load:mode", "load:curr/volt/pow/res", "load on/off") and polled readings
// ("fetch?" in the normal layout). The program integrates Ah and Wh over the readings
// (trapezoid rule), judges each step's end conditions and the run's limit, and measures
// the cell's DC resistance with a two-level current pulse where the profile asks.
//
// Before the first step the instrument's own under-voltage switch-off ("mset:voff") is
// set to the profile's lowest cut-off, so a crashed program or a pulled cable cannot
// discharge the cell below it; the operator's value (asked with "mset:voff?") is put
// back when the run ends, whatever ended it, as soon as a port is open again.
//
// The owner constructs a run on its session and calls Start and Stop; the run listens to
// the session's readings, written lines, lost port, state changes, link events and verbatim
// replies itself, passing each on to the handler that was assigned before (so the window
// and dcload-cli keep their own; only the answer to the run's own "mset:voff?" is not passed
// on), and gives them back when it ends. Assign the session's handlers before Start: one
// assigned during a run is overwritten at its end. Everything happens on the session's
// thread.
#include "store/BdfExport.h"
#include "workflows/Profile.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class InstrumentSession;

// One reading of a profile run.
struct ProfileSample
{
    double seconds = 0; // since the first step began
    double voltage = 0; // V as read
    double current = 0; // A as read (positive: the load draws it)
    double power = 0; // W, voltage times current
    double capacityAh = 0; // taken in the whole run so far
    double energyWh = 0;
    double stepAh = 0; // taken in the current step so far
    double stepWh = 0;
    int stepNumber = 1; // counts every step begun, 1 first (a loop's steps once per pass)
    int line = 0; // the step's line in the profile file
    int cycle = 1; // the pass of the innermost loop the step is in, 1 outside loops
    StepKind kind = StepKind::Rest;
    QDateTime at; // when it was read (UTC)
};

// One measurement of the DC resistance: at the base current I1 the voltage V1, then I2
// for the pulse's time and V2 at its end; R = (V1 - V2) / (I2 - I1).
struct ResistanceMeasurement
{
    double seconds = 0; // of the run, when V2 was read (or the measurement gave up)
    double capacityAh = 0;
    double v1 = 0, v2 = 0, i1 = 0, i2 = 0;
    std::optional<double> milliOhm; // none when it failed
    QString failure; // why it failed ("the pulse did not reach 2 A", "V2 read too early"); empty when good
    int stepNumber = 1;
};

// Where a step stands, for the window's and the command line's display.
struct ProfileStepInfo
{
    int number = 1; // as in ProfileSample::stepNumber
    int line = 0;
    StepKind kind = StepKind::Rest;
    QString description; // the step as the file writes it, "Discharge at 2 A until 3.0 V"
    QString endCondition; // "until 3.0 V or 30 s"; empty for a pulse or a measurement
    int cycle = 1;
};

enum class ProfileOutcome {
    Finished, // every step ended on its own condition
    LimitReached, // the run's limit was met
    Stopped, // the operator stopped it
    PortLost, // the port closed under the run
    Failed, // the instrument refused or went silent; the message says why
};

class ProfileRun : public QObject
{
    Q_OBJECT
public:
    explicit ProfileRun(InstrumentSession& session, QObject* parent = nullptr);
    ~ProfileRun() override; // a run still going is stopped ("load off" queued first)

    // Starts `profile` (`text` is the file as written, kept for the records). Throws
    // std::runtime_error with a sentence for the operator when no port is open, another
    // run or activity holds the input, or a run is going already; then nothing is sent.
    void Start(const Profile& profile, const QByteArray& text);
    // The operator's stop: "load off" ahead of everything, then the backstop restored.
    void Stop();
    bool Running() const;

    // The run so far (or the last run once it has ended).
    double CapacityAh() const;
    double EnergyWh() const;
    double Seconds() const;
    const std::vector<ProfileSample>& Samples() const;
    const std::vector<ResistanceMeasurement>& Resistances() const;
    const QByteArray& Text() const;
    QDateTime Started() const; // UTC
    // The run's label in the stores: its start as "yyyy-MM-ddTHH:mm:ss.zzzZ".
    QString RunLabel() const;

    // Polling interval while a step runs (default 500 ms; tests shorten it).
    void SetPollMs(int ms);

    // ---- events; each may be left unassigned
    std::function<void(const ProfileStepInfo& step)> OnStep; // a step began
    std::function<void(const ProfileSample& sample)> OnSample;
    std::function<void(const ResistanceMeasurement& measurement)> OnResistance;
    // Something the operator should read in a status line: "Backstop: mset:voff 3.0 (was 2.5)".
    std::function<void(const QString& status)> OnStatus;
    // The run has ended; `message` says how ("Profile finished: 3 steps, 1.234 Ah, 4.56 Wh in 0:42:10").
    std::function<void(ProfileOutcome outcome, const QString& message)> OnEnd;

private:
    struct State;
    std::unique_ptr<State> F;
};

// The values of a "profile" row (ResultsTable::Profile, in table order after Id) and of a
// "resistance" row (ResultsTable::Resistance).
QStringList ProfileRowValues(const QString& runLabel, const ProfileSample& sample);
QStringList ResistanceRowValues(const QString& runLabel, const ResistanceMeasurement& measurement);

// The run as Battery Data Format readings: step count and index from the samples, cycle
// from the loop pass, the resistance of a good measurement on the reading nearest it.
std::vector<BdfReading> BdfReadingsFromProfile(
    const std::vector<ProfileSample>& samples, const std::vector<ResistanceMeasurement>& resistances);

// "discharge CC", "discharge CP", "discharge CR", "hold CV", "rest", "pulse", "resistance"
QString StepKindName(StepKind kind);
