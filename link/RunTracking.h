#pragma once
// What the readings of a run say about its end. A battery discharge ends when the
// instrument's cut-off has switched its input off; a list pass ends with the instrument's
// report. Pure bookkeeping: the session decides which readings belong to the run.
#include "replies/MeasurementCuts.h"

#include <QString>
#include <QStringList>
#include <optional>

// How a battery discharge ended by the instrument went: its cut-off switched the input off.
struct BatterySummary
{
    int seconds = 0; // discharge time, as the instrument counts it
    double ampereHours = 0; // as the instrument counts them
    double wattHours = 0; // voltage times current over the readings, trapezoid rule
    double cutOffVolts = 0; // the last voltage measured while current flowed
    int readings = 0;
};

class BatteryTrack
{
public:
    // Takes the next reading of the run. Returns the summary when the reading shows that
    // the instrument has ended the discharge: after current has flowed in this run, three
    // readings without current at one standing time (three such readings right at the
    // start are a slow start, not an end).
    std::optional<BatterySummary> Add(const BatteryReading& reading);
    int Readings() const { return FReadings; }

private:
    // Readings with no current at one time that tell the instrument has ended a discharge.
    static constexpr int kIdleReadingsAtEnd = 3;

    int FReadings = 0;
    bool FCurrentFlowed = false;
    int FIdleReadings = 0; // consecutive readings with no current at one time
    int FIdleSince = -1; // their time
    bool FHasLast = false;
    double FLastVolts = 0, FLastAmps = 0;
    int FLastSeconds = 0;
    double FLastAmpereHours = 0;
    double FWattHours = 0;
    double FCutOffVolts = 0;
};

// The instrument's report at the end of a list pass ("L3").
struct ListReport
{
    QString reply;
    int verdict = 0; // of the whole list: 0 not judged, 1 pass, 2 fail
    QStringList stepVerdicts; // "0", "1" or "2" per step from step 0, as far as they are sound
    int steps = 0; // how many steps the list has
    // Empty for a sound report; otherwise what is wrong with it (too few verdicts, a
    // verdict the program does not know). A faulty report ends the run as failed.
    QString fault;
};

// Reads a report of a list of `steps` steps (1 to 15).
ListReport ReadListReport(const QString& reply, int steps);
