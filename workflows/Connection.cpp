#include "workflows/Connection.h"

#include "link/InstrumentSession.h"
#include "replies/Numbers.h"
#include "workflows/InputRules.h"

namespace {
// Addresses the instrument takes.
constexpr int kLastAddress = 254;
}

bool ConnectInstrument(InstrumentSession& session, const QString& port, const QString& baudRateText,
    const QString& address, IOperatorMessages& messages)
{
    const int baudRate = StrToInt(baudRateText);
    if (!WholeEntry(address, QStringLiteral("Address"), 0, kLastAddress, messages))
        return false;
    session.Open(port, static_cast<uint32_t>(baudRate));
    session.Pause(200);

    SetAddress(session, address);
    session.QueueCommand(QStringLiteral("load off"));
    session.QueueCommand(QStringLiteral("load:mode cc"));
    session.SetRun(Activity::Load, RunState::Idle);
    const std::vector<ReadBackQuery>& queries = ReadBackQueries();
    for (int i = 0; i < kConnectReadBackQueries; ++i)
        session.QueueCommand(queries[static_cast<size_t>(i)].command, queries[static_cast<size_t>(i)].code);
    session.QueueCommand(QStringLiteral("trig:sour bus"));
    return true;
}

void SetAddress(InstrumentSession& session, const QString& address)
{
    session.QueueCommand(QStringLiteral("*adr ") + address);
}
