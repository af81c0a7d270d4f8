#include "comm/LineSettings.h"

TPortSetup PortSetupFor(const TComm& comm)
{
    TPortSetup s;
    s.Line.BaudRate = comm.BaudRate();
    s.Line.DataBits = 5 + static_cast<int>(comm.ByteSize());
    s.Line.Parity = comm.Parity();
    s.Line.TwoStopBits = comm.StopBits() != TStopBits::_1;
    // Without replacement the byte is passed on unchanged; the driver still counts the error,
    // and the receive thread reports it. NUL is the only replacement a POSIX driver makes.
    s.Line.ParityErrorsAsNul = comm.ParityCheck() && comm.ReplaceWhenParityError();
    s.Line.RtsCtsFlow = comm.Outx_CtsFlow() || comm.RtsControl() == TRtsControl::RtsHandshake;
    s.Line.XonXoffOut = comm.Outx_XonXoffFlow();
    s.Line.XonXoffIn = comm.Inx_XonXoffFlow();
    s.Line.XonChar = comm.XonChar();
    s.Line.XoffChar = comm.XoffChar();

    // The first value of both enumerations is "enable", not "disable". DTR handshake has no
    // POSIX counterpart, so the line is simply held ready. A toggled RTS rests low between
    // transmissions, which is where it is left.
    switch (comm.DtrControl()) {
    case TDtrControl::DtrEnable:
    case TDtrControl::DtrHandshake:
        s.Dtr = TModemLine::Raise;
        break;
    case TDtrControl::DtrDisable:
        s.Dtr = TModemLine::Lower;
        break;
    }
    switch (comm.RtsControl()) {
    case TRtsControl::RtsEnable:
        s.Rts = TModemLine::Raise;
        break;
    case TRtsControl::RtsDisable:
    case TRtsControl::RtsTransmissionAvailable:
        s.Rts = TModemLine::Lower;
        break;
    case TRtsControl::RtsHandshake:
        s.Rts = TModemLine::DriverControlled;
        break;
    }
    s.DropNulBytes = comm.IgnoreNullChar();
    return s;
}
