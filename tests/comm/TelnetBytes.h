#pragma once
// Telnet bytes written as the numbers the protocol names them by.
#include "comm/TelnetParser.h"

#include <initializer_list>
#include <string>

inline std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (const int v : values)
        s += static_cast<char>(v);
    return s;
}

// A device server's answer that agrees to every option we ask for at the start.
inline std::string EveryOptionAgreed()
{
    using namespace Telnet;
    return Bytes({ IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, SGA, IAC, WILL, SGA, IAC, DO, COM_PORT });
}
