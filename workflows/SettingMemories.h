#pragma once
// The instrument's numbered setting memories, and handing it back to its own panel.
#include <QString>

class InstrumentSession;

// Stores the instrument's settings in memory `fileNo` (as typed), replacing whatever is
// pending; only while connected with the load input off.
void SaveMemory(InstrumentSession& session, const QString& fileNo);
// Recalls memory `fileNo`, replacing what is pending, gives the instrument a moment, then
// reads every setting back.
void RecallMemory(InstrumentSession& session, const QString& fileNo);
// Stops polling and gives control back to the instrument's own panel.
void ReturnToPanel(InstrumentSession& session);
