#pragma once
// Connecting to the instrument and closing the port, in the operator's order.
#include <QString>
#include <functional>
#include <optional>

class ECommsError;
class InstrumentSession;
class IOperatorMessages;

// Opens the port at the baud rate typed (a whole number, else EConvertError before
// anything opens), waits a moment for the instrument, then addresses it, switches its
// input off, selects constant current, reads its limits and set-points back and makes it
// take bus triggers. Throws ECommsError when the port cannot be opened; then nothing is
// queued. The load input then reads "Begin". An address other than a whole number from 0
// to 254 is refused (told, false) before anything opens. A network port holds the
// calling thread while it opens; BeginConnect does not.
bool ConnectInstrument(InstrumentSession& session, const QString& port, const QString& baudRateText,
    const QString& address, IOperatorMessages& messages);

// ConnectInstrument without holding the calling thread while the port opens: the baud rate
// and the address are checked first, as there (false or EConvertError, nothing opens), then
// the session begins opening the port (InstrumentSession::BeginOpen). Once it is open the
// connect sequence is queued, then done is called; when it cannot be opened, done gets the
// error and nothing is queued. A local device and a virtual port open at once, before this
// returns; a network port later, on the session's thread. A cancelled open calls nothing.
bool BeginConnect(InstrumentSession& session, const QString& port, const QString& baudRateText,
    const QString& address, IOperatorMessages& messages,
    std::function<void(const std::optional<ECommsError>& error)> done = {});

// "*adr " + the address exactly as typed.
void SetAddress(InstrumentSession& session, const QString& address);
