#pragma once
// The words and numbers of a profile run: how its steps, ends and values read in the
// status line and the run's messages. Private to ProfileRun.
#include "workflows/ProfileRun.h"

// Plain decimals, as the profile file writes them: "2", "0.0001", never "1e-04".
QString ProfileNumber(double value);
// "0:42:10"
QString ProfileClockText(double seconds);
ProfileStepInfo ProfileStepInfoOf(const ProfileStep& step, int number, int cycle);
// "until 3 V", "until above 3.6 V", "for 30 s", "for 1.5 Ah", as the file writes them.
QString ProfileEndText(const EndCondition& condition);
// "at 2.5 V", "after 10 hours", as the file's "Stop the run" line writes them.
QString ProfileLimitText(const EndCondition& condition);
// What was read when an end was met: "2.998 V", "0.098 A", "30.1 s", "0.0123 Ah", "1.23 Wh".
QString ProfileValueText(EndKind kind, double value);
