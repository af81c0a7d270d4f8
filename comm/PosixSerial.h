#pragma once
// The POSIX calls the serial component stands on: exclusive open, line settings through
// termios2 (so any baud rate works), driver queues, modem lines, the driver's line-event
// counters, eventfd signals and worker-thread set-up. Every function reports failure in its
// result and never throws.
#include "comm/LineSettings.h"
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace PosixSerial {

// ---- the port descriptor

enum class TOpenError { None, CannotOpen, NotCommDevice, CannotSetup };
struct TOpenResult
{
    int Fd = -1; // >= 3 on success, so 0 can keep meaning "closed"
    TOpenError Error = TOpenError::None;
    int OsError = 0; // errno of the failing call; ENOTTY when the device is no terminal
};
// Opens path read-write and non-blocking, claims it exclusively (flock, then TIOCEXCL for
// other openers), and checks that it is a terminal. Nothing stays open on failure. A port
// held by someone else fails with EBUSY, whether TIOCEXCL or flock refused it.
TOpenResult OpenPort(const std::string& path);
// Gives up the exclusive claim and closes the descriptor.
void ClosePort(int fd);

// ---- line settings and driver queues

// Sets raw mode plus s and drives DTR and RTS; what the driver refuses is left as it was,
// without a report (a pseudo-terminal has no modem lines). DropNulBytes is not the
// driver's business and is ignored here.
void ApplyLineSettings(int fd, const TLineSettings& s);
// The line as the driver's termios holds it now; the fields beyond termios keep their
// defaults. nullopt when fd is not a terminal.
std::optional<TLineSettings> ReadLineSettings(int fd);

enum class TQueue { Input, Output, Both };
void Flush(int fd, TQueue queue);

// ---- modem status and line events

// CTS 0x10, DSR 0x20, ring 0x40, carrier detect 0x80; nullopt when the device has no lines.
std::optional<uint32_t> ModemStatus(int fd);

// Bits of the error word reported through OnReceiveError.
constexpr uint32_t kErrorBufferOverrun = 0x01; // the driver's input buffer overflowed
constexpr uint32_t kErrorOverrun = 0x02; // the UART lost a byte
constexpr uint32_t kErrorParity = 0x04;
constexpr uint32_t kErrorFrame = 0x08;
constexpr uint32_t kErrorBreak = 0x10;
// Values of the modem event reported through OnModemStateChange.
constexpr uint32_t kModemCarrier = 8;
constexpr uint32_t kModemRing = 4;

struct TLineCounters
{
    uint32_t Carrier = 0, Ring = 0, Frame = 0, Overrun = 0, Parity = 0, Break = 0, BufferOverrun = 0;
};
// The driver's interrupt counters; nullopt when it keeps none (pseudo-terminals).
std::optional<TLineCounters> ReadLineCounters(int fd);

struct TLineEvents
{
    uint32_t ErrorWord = 0;
    uint32_t ModemEvent = 0; // kModemCarrier, kModemRing or both
    bool operator==(const TLineEvents&) const = default;
};
// What happened on the line between two readings of the counters.
TLineEvents LineEventsBetween(const TLineCounters& before, const TLineCounters& after);

// ---- signals between threads (eventfd)

int CreateSignal(); // -1 on failure; non-blocking, closed on exec
void Raise(int signal); // stays readable until drained
bool IsRaised(int signal); // does not wait
void Drain(int signal);
void CloseSignal(int signal);

// ---- worker threads

// Starts a worker running body, named (as seen in /proc and debuggers); false, with errno
// telling why, when the system could make no thread. Reported as a value, not thrown, so a
// start can clean up without building exceptions while descriptors or memory are short.
bool StartNamedThread(std::thread& thread, const char* name, std::function<void()> body);
// Waits for a started worker to end; nothing for one never started.
void JoinThread(std::thread& thread);
// Raises the calling thread's priority by boost steps above normal, best effort: without
// the privilege to do so it stays at normal.
void RaiseThreadPriority(int boost);

} // namespace PosixSerial
