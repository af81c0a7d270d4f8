#pragma once
// What the status line says of the instrument and its runs, in the same words in the
// window and on the command line.
#include "link/InstrumentSession.h"

#include <QString>
#include <QStringList>
#include <QTime>
#include <vector>

// "Battery test ended at the instrument's cut-off: 1234 s, 0.103 Ah, 1.187 Wh, cut off at 10.00 V"
QString BatteryEndNote(const BatterySummary& summary);
// "The battery test was cut short after 42 readings." (and the list test's stored steps)
QString CutShortNote(const std::vector<CutShortRun>& runs);
// "No answer from the instrument since 12:34:56"
QString SilenceNote(const QTime& lastAnswer);
// The serial component stopped reading for a while: bytes may wait in the driver or, on a
// line without flow control, be lost.
QString FloodNote();
// "Read-back incomplete: MaxI, MaxV not confirmed"
QString ReadBackNote(const QStringList& fields);
// "Reading settings back: 12 of 50", with what is missing so far; once finished
// "Settings read back" or what was not confirmed.
QString ReadBackProgressNote(int asked, int total, bool finished, const QStringList& missing);
// "Settings saved in memory 3" once `line` (a written line) saved a setting memory;
// empty for any other line.
QString SavedMemoryNote(const QString& line);
// A run's elapsed seconds as h:mm:ss, "0:00:07".
QString ElapsedText(qint64 seconds);
// What the link has missed or dropped since the port opened, "" when nothing:
// "3 readings missed, 4 queries unanswered within 1000 ms, 1 late replies dropped"
QString LinkNote(const LinkCounts& counts, int replyTimeoutMs);
