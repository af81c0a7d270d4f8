#pragma once
// The runs both stores are read back with in the tests: what is stored, in which order,
// and the rows a run must give back.
#include "store/ResultsFile.h"
#include "store/ResultsQuery.h"

#include <QDateTime>
#include <QStringList>
#include <vector>

struct StoredRunsScenario
{
    // Whole seconds: the battery table keeps its times to the second.
    QDateTime t0 = QDateTime(QDate(2026, 12, 9), QTime(8, 0, 0), Qt::UTC);

    QString Label(int hours) const { return t0.addSecs(3600 * hours).toString(Qt::ISODateWithMs); }
    QStringList Battery(int seconds) const
    {
        return { "12.50", "2.000", QString::number(seconds), "0.01",
            MeasurementTimestamp(t0.addSecs(seconds).toLocalTime()) };
    }
    QStringList Profile(int run, int seconds) const
    {
        return { Label(run), "1", "discharge CC", QString::number(seconds), "3.70", "1.000", "3.70", "0.1",
            "0.4", t0.addSecs(3600 * run + seconds).toString(Qt::ISODateWithMs) };
    }
    QStringList Resistance(int run, int seconds, bool good) const
    {
        return { Label(run), "1", QString::number(seconds), "0.2", "3.70", "3.60", "1.0", good ? "3.0" : "",
            good ? "50.0" : "", good ? "ok" : "the pulse did not reach 3 A" };
    }

    // A battery run of two readings at t0, profile run 1 (started an hour later: three
    // readings and two resistance rows) and profile run 2 (two hours later, one reading).
    void StoreInto(ResultsFile& file) const
    {
        file.BeginRun(ResultsTable::Battery);
        for (const int s : { 0, 10 })
            file.Insert(ResultsTable::Battery, Battery(s), nullptr);
        file.BeginRun(ResultsTable::Profile);
        for (const int s : { 0, 1, 2 })
            file.Insert(ResultsTable::Profile, Profile(1, s), nullptr);
        file.Insert(ResultsTable::Resistance, Resistance(1, 1, true), nullptr);
        file.BeginRun(ResultsTable::Resistance); // part of the profile run: nothing new
        file.Insert(ResultsTable::Resistance, Resistance(1, 2, false), nullptr);
        file.BeginRun(ResultsTable::Profile);
        file.Insert(ResultsTable::Profile, Profile(2, 0), nullptr);
    }

    std::vector<QStringList> ProfileRun1() const { return { Profile(1, 0), Profile(1, 1), Profile(1, 2) }; }
    std::vector<QStringList> ResistanceRun1() const
    {
        return { Resistance(1, 1, true), Resistance(1, 2, false) };
    }
};
