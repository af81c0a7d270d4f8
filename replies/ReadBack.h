#pragma once
// What a settings reply changes in the window, by reply code: pure text cuts, so the
// whole read-back table can be checked without a window.
#include <QString>
#include <utility>
#include <vector>

enum class StoredMaximum { None, Current, Voltage, Power };

struct ReadBackResult {
    std::vector<std::pair<QString, QString>> texts; // control name -> its new text, in order
    QString select;                                 // radio button to select; empty: none
    StoredMaximum maximum = StoredMaximum::None;    // stored maximum to set from maximumText
    QString maximumText;
};

// Codes outside the read-back table (0, 4, 5, 99, 200 …) give an empty result.
ReadBackResult ReadBack(int code, const QString& reply);

// A reply the dispatcher drops before any code is applied: empty, or holding a "/".
bool IsDroppedReply(const QString& reply);
