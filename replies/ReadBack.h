#pragma once
// The settings read-back: one table of the queries that read the instrument's settings,
// the code each answer is read with, and the cut that turns the answer into field texts.
// Connecting asks the first queries of the table, a recall asks all of them, and the
// dispatcher applies the answers; all three use this one table.
#include "replies/ReplyCodes.h"

#include <QString>
#include <QStringList>
#include <utility>
#include <vector>

enum class StoredMaximum { None, Current, Voltage, Power };

struct ReadBackResult
{
    std::vector<std::pair<QString, QString>> texts; // control name -> its new text, in order
    QString select; // radio button to select; empty: none
    StoredMaximum maximum = StoredMaximum::None; // stored maximum to set from maximumText
    QString maximumText;
};

struct ReadBackQuery
{
    QString command;
    ReplyCode code;
    bool operator==(const ReadBackQuery&) const = default;
};

// Every read-back query in sending order: limits, set-points, sensing, battery,
// transient, list settings, the fifteen step levels and the fifteen step comparisons.
const std::vector<ReadBackQuery>& ReadBackQueries();
// Connecting reads back the limits and set-points only: the first queries of the table.
inline constexpr int kConnectReadBackQueries = 10;

// What the answer read with `code` writes, its line terminator left out; codes outside
// the table (None, Measurement) give an empty result.
ReadBackResult ReadBack(ReplyCode code, const QString& reply);

// The controls the answer to `code` writes, named as the window names them (a group of
// radio buttons by its common stem, "MeasureMode"): what stays unconfirmed when the
// answer does not come. Empty for codes outside the table.
QStringList ReadBackFieldNames(ReplyCode code);

// A reply the dispatcher drops before any code is applied: empty, or holding a "/".
bool IsDroppedReply(const QString& reply);
