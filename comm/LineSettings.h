#pragma once
// What the serial line should look like, derived from TComm's properties and free of any
// platform header, so both the POSIX layer and the tests can speak about it.
#include "comm/SerialComm.h"
#include <cstdint>

// The part of the line the driver's termios holds; ReadLineSettings gives it back as is.
struct TLineSettings
{
    uint32_t BaudRate = 9600; // 0 is never sent: it would mean "hang up" to the driver
    int DataBits = 8;
    TParity Parity = TParity::None;
    bool TwoStopBits = false; // a UART sends 1.5 stop bits with 5 data bits when this is set
    bool ParityErrorsAsNul = false; // input check on; a byte with a parity error reads as NUL
    bool RtsCtsFlow = false;
    bool XonXoffOut = false;
    bool XonXoffIn = false;
    char XonChar = 0x11;
    char XoffChar = 0x13;
    bool operator==(const TLineSettings&) const = default;
};

// How a modem control line is driven while the port is open.
enum class TModemLine { Raise, Lower, DriverControlled };

struct TPortSetup
{
    TLineSettings Line;
    TModemLine Dtr = TModemLine::Raise;
    TModemLine Rts = TModemLine::Raise;
    bool DropNulBytes = false; // no driver does this; the receive thread removes them
};

// Maps the properties of comm onto what a POSIX driver offers. Settings without an
// equivalent there (DSR flow and sensitivity, XON/XOFF limits, continue-on-XOFF) have no
// effect, just as a driver that refuses them would leave the line unchanged.
TPortSetup PortSetupFor(const TComm& comm);
