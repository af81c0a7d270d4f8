#pragma once
// The list test: "Set" puts the instrument into list mode with the step mode, repeat and
// number of steps, each step button sends its step, the start button runs the list, and
// the instrument's readings and final report fill the step table whose records become
// the stored rows.
#include "replies/MeasurementCuts.h"
#include "workflows/TestRules.h"

#include <QString>
#include <QStringList>
#include <array>

class InstrumentSession;
class IOperatorMessages;
struct ListReport;

// One record of the step table: the step's definition as sent, its last reading and its
// verdict.
struct TStepRecord
{
    QString Nr, LoadPattern, Setpoint, mValueV, mValueI, LowLimit, HighLimit, Result;
};

// One row of the step editor as the operator left it.
struct StepEntries
{
    QString modeText; // the mode box's text ("CC" … "OPEN", or typed)
    int modeItem = 0; // the item it shows; -1 when the text is no item
    QString value, delay;
    bool valueEnabled = true; // SHORT and OPEN lock the value
    int compareItem = 0; // "Current", "Voltage", "Power", "Off"; -1 when typed
    QString low, high;
};

struct ListSetEntries
{
    QString steps; // "List Nr.": the number of steps N
    bool autoStep = true;
    bool repeat = false;
};

class ListSequence
{
public:
    // Waits a moment for the instrument, then, when the number of steps is accepted
    // (1 to 15), replaces the pending commands with list mode and the list's settings and
    // lets the list be started and stepped. Returns false after telling the refusal; then
    // nothing is queued.
    bool Set(InstrumentSession& session, const ListSetEntries& entries, IOperatorMessages& messages);

    // Sends one step's definition (all its commands or none) and files it. A value, delay
    // or limit it sends that is empty or no plain number refuses the step: told, false.
    bool SendStep(InstrumentSession& session, int step, const StepEntries& row, IOperatorMessages& messages);

    // "Begin": when the list was sent on this connection, input on, polling, and the step
    // table refreshed from the editor (readings stay). Otherwise input off and polling
    // stopped. Returns whether a run started.
    bool Toggle(InstrumentSession& session, const std::array<StepEntries, kListSteps>& editor,
        IOperatorMessages& messages);

    // A reading of the step in progress.
    void File(const StepReading& reading);
    // The report's verdicts filed into the table; returns the judged records in step
    // order, ready to be stored. A step without a reading of its own in this pass holds
    // kNotMeasured as its voltage and current. The next pass starts without readings.
    std::vector<TStepRecord> Judge(const ListReport& report);

    const std::array<TStepRecord, kListSteps>& Steps() const { return FSteps; }
    std::array<TStepRecord, kListSteps>& Steps() { return FSteps; }

private:
    void Define(TStepRecord& record, const StepEntries& row);
    void ForgetReadings();

    std::array<TStepRecord, kListSteps> FSteps {};
    std::array<bool, kListSteps> FMeasured {}; // a reading of this pass was filed
};

// The voltage and current of a step that got no reading of its own in a pass (it was
// shorter than a poll).
inline const QString kNotMeasured = QStringLiteral("not measured");

// The values of a stored listS row in its insert order: Nr, LoadPattern, Setpoint,
// mValueV, mValueI, upLimit (the low limit), downLimit (the high limit), sTime, Result.
QStringList StepRow(const TStepRecord& record, const QString& time);
