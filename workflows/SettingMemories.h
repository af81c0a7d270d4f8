#pragma once
// The instrument's numbered setting memories, and handing it back to its own panel.
#include <QString>

class InstrumentSession;
class IOperatorMessages;

// Stores the instrument's settings in memory `fileNo`, replacing whatever is pending;
// only while connected with the load input off.
void SaveMemory(InstrumentSession& session, const QString& fileNo, IOperatorMessages& messages);
// Recalls memory `fileNo`, replacing what is pending, gives the instrument a moment, then
// reads every setting back.
void RecallMemory(InstrumentSession& session, const QString& fileNo, IOperatorMessages& messages);
// The instrument keeps ten memories: a number other than 0 to 9 is refused (told) and
// nothing is sent.
// Stops polling and gives control back to the instrument's own panel.
void ReturnToPanel(InstrumentSession& session, IOperatorMessages& messages);
