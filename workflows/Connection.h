#pragma once
// Connecting to the instrument and closing the port, in the operator's order.
#include <QString>

class InstrumentSession;
class IOperatorMessages;

// Opens the port at the baud rate typed (a whole number, else EConvertError before
// anything opens), waits a moment for the instrument, then addresses it, switches its
// input off, selects constant current, reads its limits and set-points back and makes it
// take bus triggers. Throws ECommsError when the port cannot be opened; then nothing is
// queued. The load input then reads "Begin". An address other than a whole number from 0
// to 254 is refused (told, false) before anything opens.
bool ConnectInstrument(InstrumentSession& session, const QString& port, const QString& baudRateText,
    const QString& address, IOperatorMessages& messages);

// "*adr " + the address exactly as typed.
void SetAddress(InstrumentSession& session, const QString& address);
