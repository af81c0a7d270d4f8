#pragma once
// What every part of the results store speaks of: the tables, the rows and runs read back
// from a store, and the error a failed open, create or write raises.
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <stdexcept>
#include <utility>
#include <vector>

// Battery and ListS are the two pages' grids. Profile holds every reading of a profile
// run with its run, step and step kind; Resistance every DC resistance measurement (a
// failed one too, with its reason in Status).
enum class ResultsTable { Battery, ListS, Profile, Resistance };
inline constexpr int kResultsTables = 4;
inline constexpr ResultsTable kAllResultsTables[kResultsTables]
    = { ResultsTable::Battery, ResultsTable::ListS, ResultsTable::Profile, ResultsTable::Resistance };

// Rows of one table read back from a store, oldest first, after a given Id.
struct RowsReadBack
{
    qint64 before = 0; // how many rows the table holds up to that Id
    std::vector<std::pair<qint64, QStringList>> rows; // Id, then the values in table order
};

// One run as a store holds it. A shared store tells runs apart by their run_id; the local
// file, which holds one session, by the Run column of the profile and resistance tables,
// while its battery and list tables are one run each (keyed "battery" and "listS"). A
// profile run's resistance rows carry the profile run's key.
struct StoredRun
{
    QString key; // what RunRows takes: the run_id, the Run label, or the table's name
    ResultsTable table = ResultsTable::Battery;
    QString station; // empty in the local file
    QDateTime started; // invalid when the stored times do not read
    QDateTime ended;
    int readings = 0; // rows of the run in `table`
};

// The database could not be opened, created or written; what() is for the operator.
// Busy(): another program holds the file's lock (or the connection is still being made),
// so trying again soon may succeed and nothing needs saying yet.
// Damaged(): the file is no sound database.
// Unreachable(): the database server cannot be reached (or went away); trying again later
// may succeed, and the operator should know meanwhile.
// NeedsPassword(): the server wants a password that was not found or was refused.
// InUse(): another live process holds the results file's lock (ResultsFileLock); it is
// not ours to write or empty.
class EDatabaseError : public std::runtime_error
{
public:
    enum class Cause { Other, Busy, Damaged, Unreachable, NeedsPassword, InUse };
    explicit EDatabaseError(const std::string& message, Cause cause = Cause::Other)
        : std::runtime_error(message)
        , FCause(cause)
    { }
    bool Busy() const { return FCause == Cause::Busy; }
    bool Damaged() const { return FCause == Cause::Damaged; }
    bool Unreachable() const { return FCause == Cause::Unreachable; }
    bool NeedsPassword() const { return FCause == Cause::NeedsPassword; }
    bool InUse() const { return FCause == Cause::InUse; }
    // A row refused for this reason is kept and tried again.
    bool Passing() const { return Busy() || Unreachable() || NeedsPassword(); }

private:
    Cause FCause;
};
