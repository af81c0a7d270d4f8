#pragma once
// What every part of the results store speaks of: the two tables and the error a failed
// open, create or write raises.
#include <stdexcept>

enum class ResultsTable { Battery, ListS };

// The database could not be opened, created or written; what() is for the operator.
// Busy(): another program holds the file's lock, so trying again later may succeed.
// Damaged(): the file is no sound database.
class EDatabaseError : public std::runtime_error
{
public:
    enum class Cause { Other, Busy, Damaged };
    explicit EDatabaseError(const std::string& message, Cause cause = Cause::Other)
        : std::runtime_error(message)
        , FCause(cause)
    { }
    bool Busy() const { return FCause == Cause::Busy; }
    bool Damaged() const { return FCause == Cause::Damaged; }

private:
    Cause FCause;
};
