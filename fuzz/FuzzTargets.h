#pragma once
// The fuzz targets: each turns one input of raw bytes into calls on one part of the program
// and checks what the program promises about the outcome. The libFuzzer programs and the
// replay test share these entries, so a kept input replays exactly as it was found.
//
// An entry catches the exceptions its part documents (a refused reply, a text that is no
// number). Anything else escapes: another exception type, or FuzzFinding when a promise
// checked here is broken. The fuzzer aborts on both, the replay test fails.
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

class FuzzFinding : public std::logic_error
{
public:
    using std::logic_error::logic_error;
};

using FuzzEntry = void (*)(const uint8_t* data, size_t size);

struct FuzzTarget
{
    const char* name; // also the folder of its seeds (fuzz/corpus/) and kept finds (fuzz/regressions/)
    FuzzEntry run;
};

// Every target, in the order scripts/fuzz runs them.
std::span<const FuzzTarget> FuzzTargets();
// The target of that name; nullptr when there is none.
const FuzzTarget* FindFuzzTarget(const std::string& name);

// Throws FuzzFinding with `what` when `kept` is false.
void Promise(bool kept, const std::string& what);

// ---- the entries (one source file each)

// A reply routed by an instrument session: the first byte chooses the code of the query
// it answers, the second the session's mode and run state, the third the list's last
// step; the rest is the reply, one Latin-1 character per byte.
void FuzzReplyRouting(const uint8_t* data, size_t size);
// The reply read back with every code of the settings table.
void FuzzSettingsReadBack(const uint8_t* data, size_t size);
// The reply cut as a Main-page, battery and list-step reading and as a list report.
void FuzzMeasurementCuts(const uint8_t* data, size_t size);
// The input as a number text (UTF-8) and its first bytes as a binary float and double.
void FuzzNumberConversion(const uint8_t* data, size_t size);
// Command lines to the simulated instrument, its clock moved on between them.
void FuzzSimulatorCommands(const uint8_t* data, size_t size);
// A results grid built from the input, written as CSV and read back.
void FuzzCsvWriter(const uint8_t* data, size_t size);
// A device server's bytes to a network port with remote line control: the first three bytes
// choose where the rest is cut.
void FuzzTelnet(const uint8_t* data, size_t size);
