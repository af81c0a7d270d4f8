#pragma once
// TTelnetParser: the Telnet side of a network port with remote line control (RFC 854, 855,
// 856, 858 and 2217). It splits what a device server sends into the instrument's bytes and
// the server's commands, answers option requests, and remembers the serial line state the
// server reports. It does no I/O: the transport hands it bytes and sends what it asks for,
// so a hostile server can only make it answer, never make it grow or loop.
#include <cstddef>
#include <cstdint>
#include <string>

namespace Telnet {
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t BINARY = 0, SGA = 3, COM_PORT = 44;
// Commands of the COM-PORT option as the client sends them; the server answers with 100 added.
constexpr uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
                  NOTIFY_LINESTATE = 6, NOTIFY_MODEMSTATE = 7, PURGE_DATA = 12;
constexpr uint8_t kServerOffset = 100;
} // namespace Telnet

// What the server reported of its serial line: the last modem state (RFC 2217 bits: CTS 0x10,
// DSR 0x20, ring 0x40, carrier 0x80, the same values GetModemState uses) and how often each
// line event was reported.
struct TComPortNotices
{
    uint8_t ModemState = 0;
    uint32_t CarrierChanges = 0, Rings = 0, Overruns = 0, ParityErrors = 0, FrameErrors = 0, Breaks = 0;
    uint32_t BaudRate = 0; // the rate the server last confirmed; 0 before any
    uint32_t Purges = 0; // purges the server confirmed
};

class TTelnetParser
{
public:
    // A COM-PORT reply is a few bytes; anything longer is cut here and ignored, so a
    // subnegotiation that never ends costs no memory.
    static constexpr std::size_t kLongestSubnegotiation = 32;

    // The requests that open the session: binary both ways, no go-ahead, and remote line
    // control offered.
    std::string Start();

    // Takes size bytes from the server. The instrument's bytes go to data (at most size of
    // them, so a buffer of size bytes always holds them); the count is returned. Answers to
    // the server's requests are appended to answers: at most one three-byte answer per
    // three bytes fed.
    std::size_t Feed(const uint8_t* bytes, std::size_t size, char* data, std::string& answers);

    // Whether any request of ours is still unanswered.
    bool Negotiating() const;
    // Whether the server took remote line control (answered DO COM-PORT-OPTION).
    bool ComPortAgreed() const { return FUs[Telnet::COM_PORT]; }
    // Whether bytes to the server go unchanged apart from doubled IACs (we WILL BINARY).
    bool SendBinary() const { return FUs[Telnet::BINARY]; }
    const TComPortNotices& Notices() const { return FNotices; }

    // The instrument's bytes as they must go on the wire: IAC doubled and, outside binary
    // mode, CR followed by NUL (RFC 854).
    static std::string Escape(const char* data, std::size_t size, bool binary);
    // One COM-PORT command with its value, escaped.
    static std::string ComPortCommand(uint8_t command, const std::string& value);

private:
    enum class TState { Data, Iac, Option, SubOption, Sub, SubIac };
    void Command(uint8_t verb, uint8_t option, std::string& answers);
    void EndSubnegotiation();
    static bool WeOffer(uint8_t option);
    static bool WeAccept(uint8_t option);

    TState FState = TState::Data;
    uint8_t FVerb = 0;
    bool FAfterCr = false; // the last data byte was CR, outside binary mode
    // Option states (enabled on our side / on the server's side) and our requests still
    // waiting for an answer.
    bool FUs[256] = {};
    bool FHim[256] = {};
    bool FAskedUs[256] = {};
    bool FAskedHim[256] = {};
    uint8_t FSubOption = 0;
    bool FSubTooLong = false;
    std::size_t FSubLength = 0;
    uint8_t FSub[kLongestSubnegotiation] = {};
    TComPortNotices FNotices;
};
