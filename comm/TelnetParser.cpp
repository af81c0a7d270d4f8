#include "comm/TelnetParser.h"

using namespace Telnet;

namespace {

void Answer(std::string& answers, uint8_t verb, uint8_t option)
{
    answers += static_cast<char>(IAC);
    answers += static_cast<char>(verb);
    answers += static_cast<char>(option);
}

constexpr uint8_t kCr = 0x0D;

} // namespace

bool TTelnetParser::WeOffer(uint8_t option)
{
    return option == BINARY || option == SGA || option == COM_PORT;
}

bool TTelnetParser::WeAccept(uint8_t option)
{
    return option == BINARY || option == SGA;
}

std::string TTelnetParser::Start()
{
    std::string requests;
    for (const uint8_t option : { BINARY, SGA, COM_PORT }) {
        FAskedUs[option] = true;
        Answer(requests, WILL, option);
    }
    for (const uint8_t option : { BINARY, SGA }) {
        FAskedHim[option] = true;
        Answer(requests, DO, option);
    }
    return requests;
}

bool TTelnetParser::Negotiating() const
{
    for (const uint8_t option : { BINARY, SGA, COM_PORT })
        if (FAskedUs[option] || FAskedHim[option])
            return true;
    return false;
}

std::size_t TTelnetParser::Feed(const uint8_t* bytes, std::size_t size, char* data, std::string& answers)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const uint8_t b = bytes[i];
    again:
        switch (FState) {
        case TState::Data:
            if (b == IAC) {
                FState = TState::Iac;
                break;
            }
            // Outside binary mode a server sends a bare CR as CR NUL; the NUL is no data.
            if (FAfterCr && b == 0) {
                FAfterCr = false;
                break;
            }
            FAfterCr = b == kCr && !FHim[BINARY];
            data[count++] = static_cast<char>(b);
            break;
        case TState::Iac:
            FState = TState::Data;
            if (b == IAC) {
                FAfterCr = false;
                data[count++] = static_cast<char>(b);
            } else if (b == WILL || b == WONT || b == DO || b == DONT) {
                FVerb = b;
                FState = TState::Option;
            } else if (b == SB) {
                FState = TState::SubOption;
            }
            // Anything else (NOP, GA, DM, a stray SE...) carries nothing for the instrument.
            break;
        case TState::Option:
            FState = TState::Data;
            Command(FVerb, b, answers);
            break;
        case TState::SubOption:
            FSubOption = b;
            FSubLength = 0;
            FSubTooLong = false;
            FState = TState::Sub;
            break;
        case TState::Sub:
            if (b == IAC) {
                FState = TState::SubIac;
            } else if (FSubLength < kLongestSubnegotiation) {
                FSub[FSubLength++] = b;
            } else {
                FSubTooLong = true;
            }
            break;
        case TState::SubIac:
            if (b == IAC) {
                FState = TState::Sub;
                if (FSubLength < kLongestSubnegotiation)
                    FSub[FSubLength++] = b;
                else
                    FSubTooLong = true;
            } else if (b == SE) {
                FState = TState::Data;
                EndSubnegotiation();
            } else {
                // A subnegotiation cut off by another command: it is dropped, and the
                // command is taken as if it had followed an IAC of its own.
                FState = TState::Iac;
                goto again;
            }
            break;
        }
    }
    return count;
}

// Each request is answered only when it changes an option's state, and acknowledgements of
// our own requests are not answered at all (RFC 854, 1143): two parties following this can
// never talk in circles.
void TTelnetParser::Command(uint8_t verb, uint8_t option, std::string& answers)
{
    switch (verb) {
    case WILL:
        if (FAskedHim[option]) {
            FAskedHim[option] = false;
            FHim[option] = true;
        } else if (!FHim[option]) {
            if (WeAccept(option)) {
                FHim[option] = true;
                Answer(answers, DO, option);
            } else {
                Answer(answers, DONT, option);
            }
        }
        break;
    case WONT:
        if (FAskedHim[option]) {
            FAskedHim[option] = false;
        } else if (FHim[option]) {
            FHim[option] = false;
            Answer(answers, DONT, option);
        }
        break;
    case DO:
        if (FAskedUs[option]) {
            FAskedUs[option] = false;
            FUs[option] = true;
        } else if (!FUs[option]) {
            if (WeOffer(option)) {
                FUs[option] = true;
                Answer(answers, WILL, option);
            } else {
                Answer(answers, WONT, option);
            }
        }
        break;
    case DONT:
        if (FAskedUs[option]) {
            FAskedUs[option] = false;
        } else if (FUs[option]) {
            FUs[option] = false;
            Answer(answers, WONT, option);
        }
        break;
    }
}

void TTelnetParser::EndSubnegotiation()
{
    if (FSubOption != COM_PORT || FSubTooLong || FSubLength < 2)
        return;
    const uint8_t command = FSub[0];
    const uint8_t value = FSub[1];
    switch (command) {
    case kServerOffset + NOTIFY_MODEMSTATE: {
        // The delta bits tell what changed even when the state went back again meanwhile.
        const uint8_t changed = value ^ FNotices.ModemState;
        if ((value & 0x08) || (changed & 0x80))
            ++FNotices.CarrierChanges;
        if ((value & 0x04) || ((changed & 0x40) && !(value & 0x40)))
            ++FNotices.Rings;
        FNotices.ModemState = value & 0xF0;
        break;
    }
    case kServerOffset + NOTIFY_LINESTATE:
        FNotices.Overruns += (value & 0x02) ? 1 : 0;
        FNotices.ParityErrors += (value & 0x04) ? 1 : 0;
        FNotices.FrameErrors += (value & 0x08) ? 1 : 0;
        FNotices.Breaks += (value & 0x10) ? 1 : 0;
        break;
    case kServerOffset + SET_BAUDRATE:
        if (FSubLength == 5)
            FNotices.BaudRate = uint32_t(FSub[1]) << 24 | uint32_t(FSub[2]) << 16 | uint32_t(FSub[3]) << 8
                | uint32_t(FSub[4]);
        break;
    case kServerOffset + PURGE_DATA:
        ++FNotices.Purges;
        break;
    default:
        break; // confirmations of the other settings change nothing here
    }
}

std::string TTelnetParser::Escape(const char* data, std::size_t size, bool binary)
{
    std::string out;
    out.reserve(size + size / 8 + 2);
    for (std::size_t i = 0; i < size; ++i) {
        const auto b = static_cast<uint8_t>(data[i]);
        out += static_cast<char>(b);
        if (b == IAC)
            out += static_cast<char>(IAC);
        else if (b == kCr && !binary)
            out += '\0';
    }
    return out;
}

std::string TTelnetParser::ComPortCommand(uint8_t command, const std::string& value)
{
    std::string out { static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(COM_PORT),
        static_cast<char>(command) };
    out += Escape(value.data(), value.size(), true);
    out += static_cast<char>(IAC);
    out += static_cast<char>(SE);
    return out;
}
