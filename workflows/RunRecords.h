#pragma once
// What a run's record in the runs table says of it: the parameters it was started with,
// as a JSON object, and the word it ended with. The words are fixed: a lab's dashboard
// and scripts select on them (docs/results-database.md lists them).
#include "link/RunTracking.h"
#include "workflows/ListSequence.h"
#include "workflows/ProfileRun.h"

#include <QString>
#include <array>

// A battery run ended at the instrument's cut-off.
inline const QString kOutcomeCutOff = QStringLiteral("cut-off");
// A list's verdict: every step passed (or was not compared), or one failed.
inline const QString kOutcomePass = QStringLiteral("pass");
inline const QString kOutcomeFail = QStringLiteral("fail");
// A profile ended by its last step, or by its run limit.
inline const QString kOutcomeFinished = QStringLiteral("finished");
inline const QString kOutcomeLimit = QStringLiteral("limit");
inline const QString kOutcomeStopped = QStringLiteral("stopped by the operator");
inline const QString kOutcomePortLost = QStringLiteral("port lost");
// The window closed, or dcload-cli was interrupted (Ctrl+C, SIGTERM, SIGHUP), mid-run.
inline const QString kOutcomeProgramEnded = QStringLiteral("program ended");
// The run could not go on: the instrument refused or fell silent, a faulty list report,
// a results store or output that took nothing more.
inline const QString kOutcomeFailed = QStringLiteral("failed");

// The outcome of a list run its report ended (a list without repeat, or a faulty report).
QString ListOutcome(const ListReport& report);
// The outcome of a profile run as the run itself ended it.
QString ProfileOutcomeWord(ProfileOutcome outcome);

// The parameters of a battery run: its current and cut-off as sent, and the test period.
QString BatteryRunParameters(const QString& current, const QString& cutOff, int periodSeconds);
// The parameters of a list run: its `steps` first steps as sent (mode, level, dwell,
// comparison and limits), the stepping and the repeat.
QString ListRunParameters(
    int steps, bool autoStep, bool repeat, const std::array<StepEntries, kListSteps>& editor);
// The parameters of a profile run: the profile's text, and the file it came from (if any).
QString ProfileRunParameters(const QString& profileText, const QString& file);
