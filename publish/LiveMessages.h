#pragma once
// The JSON of live readings and run messages, as docs/live-readings.md shows them. Pure
// text: the window and dcload-cli fill the values, LivePublisher sends the bytes.
#include "store/RunRecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <optional>

// One reading as it is published. What a reading does not have stays out of its message.
struct LiveReading
{
    QDateTime at; // when it was read
    double voltage = 0; // V
    double current = 0; // A
    double power = 0; // W
    QString run; // the run it belongs to; empty outside runs
    QString kind; // "battery", "list", "profile"; empty outside runs
    std::optional<double> seconds; // of the run, as the instrument or the run counts them
    std::optional<double> capacityAh; // taken in the run so far
    std::optional<double> energyWh;
    std::optional<int> step; // a list's or profile's step
};

// A reading outside runs: power is voltage times current.
LiveReading LiveReadingOf(const QDateTime& at, double voltage, double current);

// ISO 8601 with milliseconds and the offset from UTC written out ("+01:00", never "Z"), so a
// reader in another zone knows the station's local time as well as the instant.
QString LiveTime(const QDateTime& at);

QByteArray ReadingMessage(const LiveReading& reading);
// {"event":"start", "run", "kind", "time", "parameters", "program_version", "instrument"}
QByteArray RunStartMessage(const RunRecord& run);
// {"event":"end", "run", "kind", "time" (its end), "started", "outcome", "summary"}
QByteArray RunEndMessage(const RunRecord& run, const QJsonObject& summary);
