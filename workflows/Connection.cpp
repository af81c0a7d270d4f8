#include "workflows/Connection.h"

#include "link/InstrumentSession.h"
#include "replies/Numbers.h"
#include "workflows/InputRules.h"

namespace {

// Addresses the instrument takes.
constexpr int kLastAddress = 254;

// The baud rate, once the entries are known to be usable; nothing (told) when the address
// is refused.
std::optional<uint32_t> CheckedEntries(
    const QString& baudRateText, const QString& address, IOperatorMessages& messages)
{
    const int baudRate = StrToInt(baudRateText);
    if (!WholeEntry(address, QStringLiteral("Address"), 0, kLastAddress, messages))
        return std::nullopt;
    return static_cast<uint32_t>(baudRate);
}

// The port has just opened.
void Greet(InstrumentSession& session, const QString& address)
{
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

} // namespace

bool ConnectInstrument(InstrumentSession& session, const QString& port, const QString& baudRateText,
    const QString& address, IOperatorMessages& messages)
{
    const std::optional<uint32_t> baudRate = CheckedEntries(baudRateText, address, messages);
    if (!baudRate)
        return false;
    session.Open(port, *baudRate);
    Greet(session, address);
    return true;
}

bool BeginConnect(InstrumentSession& session, const QString& port, const QString& baudRateText,
    const QString& address, IOperatorMessages& messages,
    std::function<void(const std::optional<ECommsError>& error)> done)
{
    const std::optional<uint32_t> baudRate = CheckedEntries(baudRateText, address, messages);
    if (!baudRate)
        return false;
    session.BeginOpen(port, *baudRate,
        [address, done = std::move(done)](
            InstrumentSession* opened, const std::optional<ECommsError>& error) {
            if (!error)
                Greet(*opened, address);
            if (done)
                done(error);
        });
    return true;
}

void SetAddress(InstrumentSession& session, const QString& address)
{
    session.QueueCommand(QStringLiteral("*adr ") + address);
}
