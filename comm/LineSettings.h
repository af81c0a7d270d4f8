#pragma once
// How the serial line should be run, in POSIX terms and free of any platform header, so
// TComm, the POSIX layer and the tests can all speak about it.
#include "comm/CommEnums.h"
#include <cstdint>

// How a modem control line is driven while the port is open.
enum class TModemLine { Raise, Lower, DriverControlled };

struct TLineSettings
{
    // What the driver's termios holds.
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

    // Beyond termios: the modem lines are driven when the settings are applied, and NULs
    // are dropped by the receive thread, since no driver does that.
    TModemLine Dtr = TModemLine::Raise;
    TModemLine Rts = TModemLine::Raise;
    bool DropNulBytes = false;

    bool operator==(const TLineSettings&) const = default;
};
