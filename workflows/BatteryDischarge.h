#pragma once
// The battery discharge test: "Set up" puts the instrument into its battery mode with
// the cut-off voltage and the discharge current, the start button runs and stops the
// discharge, and every reading of a run becomes a record at the window's cut-off.
#include "replies/MeasurementCuts.h"

#include <QString>
#include <optional>

class InstrumentSession;
class IOperatorMessages;

struct BatterySetUpEntries
{
    QString cutOff; // "Cut Off Voltage:"
    QString current; // "Discharge Current:"
};

// What "Set up" did besides queueing.
struct BatterySetUp
{
    // The chart's voltage axis reaches up to the stored voltage maximum once a current
    // was accepted.
    std::optional<double> voltageAxisMax;
    // The cut-off sent, as typed, when the set-up was accepted whole: the records of the
    // runs it arms are held at it, whatever the field says later.
    std::optional<QString> cutOff;
};

// Waits a second for the instrument, replaces the pending commands with battery mode,
// then sends the cut-off and the current each when accepted (one that is empty or no
// plain number ends the action). The run may be started only when both were accepted
// (or a set-up accepted earlier on this connection still holds).
BatterySetUp SetUpBattery(
    InstrumentSession& session, const BatterySetUpEntries& entries, IOperatorMessages& messages);

struct BatteryToggle
{
    enum Change { Started, Stopped, Refused } change;
    int periodSeconds = 0; // of a run that started
};

// "Begin": checks that "Set up" was sent on this connection and the test period (whole
// seconds), then switches the input on and polls once per period. Otherwise switches the
// input off and stops polling. A refused start changes nothing.
BatteryToggle ToggleBattery(
    InstrumentSession& session, const QString& periodText, IOperatorMessages& messages);

// One reading as it is recorded: below the window's cut-off the instrument has stopped
// discharging, so the record holds the cut-off (its text as typed) and the line runs
// flat there. Throws EConvertError when the cut-off is no number.
struct BatteryRecord
{
    QString voltage; // as recorded
    double voltageValue = 0;
    QString current, time, capacity;
    int seconds = 0;
};
BatteryRecord RecordOf(const BatteryReading& reading, const QString& cutOffText);
