#include "workflows/SettingMemories.h"

#include "link/InstrumentSession.h"
#include "workflows/InputRules.h"

namespace {
constexpr int kLastMemory = 9;
}

void SaveMemory(InstrumentSession& session, const QString& fileNo, IOperatorMessages& messages)
{
    if (!PortIsOpen(session, messages))
        return;
    if (session.Run(Activity::Load) != RunState::Idle)
        return;
    if (!WholeEntry(fileNo, QStringLiteral("File Nr"), 0, kLastMemory, messages))
        return;
    session.ReplaceQueue({ { QStringLiteral("mmem:save ") + fileNo } });
}

void RecallMemory(InstrumentSession& session, const QString& fileNo, IOperatorMessages& messages)
{
    if (!PortIsOpen(session, messages))
        return;
    if (!WholeEntry(fileNo, QStringLiteral("File Nr"), 0, kLastMemory, messages))
        return;
    session.ReplaceQueue({ { QStringLiteral("mmem:load ") + fileNo } });
    // The instrument needs a moment to recall before it answers the read-back.
    session.Pause(500);
    std::vector<Command> queries;
    for (const ReadBackQuery& q : ReadBackQueries())
        queries.push_back({ q.command, q.code });
    session.QueueCommands(queries);
}

void ReturnToPanel(InstrumentSession& session, IOperatorMessages& messages)
{
    if (!PortIsOpen(session, messages))
        return;
    session.StopPolling();
    session.QueueCommand(QStringLiteral("*rtl"));
}
