#include "workflows/Connection.h"

#include "link/InstrumentSession.h"
#include "replies/Numbers.h"

void ConnectInstrument(
    InstrumentSession& session, const QString& port, const QString& baudRateText, const QString& address)
{
    const int baudRate = StrToInt(baudRateText);
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
}

void SetAddress(InstrumentSession& session, const QString& address)
{
    session.QueueCommand(QStringLiteral("*adr ") + address);
}
