#pragma once
// What every part of the results store speaks of: the two tables and the error a failed
// open, create or write raises.
#include <stdexcept>

enum class ResultsTable { Battery, ListS };

// The database could not be opened, created or written; what() is for the operator.
class EDatabaseError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};
