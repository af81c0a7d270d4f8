// dcload-sim: the instrument simulator on a pseudo-terminal. Prints the port path as its
// first line, then answers the program until SIGINT or SIGTERM.
#include "sim/SimulatorHost.h"
#include "workflows/ProgramInfo.h"

#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

namespace {
const char kUsage[]
    = "usage: dcload-sim [--delay MS] [--time-scale X] [--terminator none|cr|lf|crlf] [--listen HOST:PORT]\n"
      "                  [--drop-once QUERY]... [--verbose]\n"
      "  Simulates the instrument on a pseudo-terminal and prints its path as the first line;\n"
      "  runs until interrupted. --delay holds each reply back, --time-scale runs the\n"
      "  instrument's clock faster, --terminator ends its replies, --verbose traces the line.\n"
      "  --listen also serves it as a raw TCP stream (one client at a time; port 0 picks a\n"
      "  free one), reached with --port tcp://HOST:PORT; the second line then says where.\n"
      "  --drop-once QUERY leaves the next answer to QUERY unsent, as a line lost on the way.\n";

template <typename T> std::optional<T> ParseValue(const char* text)
{
    T value {};
    const char* end = text + std::strlen(text);
    const auto r = std::from_chars(text, end, value);
    if (r.ec != std::errc() || r.ptr != end)
        return std::nullopt;
    return value;
}

std::optional<std::string> Terminator(const std::string& word)
{
    if (word == "none")
        return "";
    if (word == "cr")
        return "\r";
    if (word == "lf")
        return "\n";
    if (word == "crlf")
        return "\r\n";
    return std::nullopt;
}

// Control characters of a trace line made visible ("\r" as <CR>).
std::string Visible(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r')
            out += "<CR>";
        else if (c == '\n')
            out += "<LF>";
        else if (c < 0x20 || c == 0x7f)
            out += "<" + std::to_string(c) + ">";
        else
            out += static_cast<char>(c);
    }
    return out;
}

struct Listening
{
    std::string host;
    uint16_t port = 0;
};

// "HOST:PORT" with an IPv4 address.
std::optional<Listening> ParseListen(const std::string& text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    const auto port = ParseValue<uint16_t>(text.c_str() + colon + 1);
    if (!port)
        return std::nullopt;
    return Listening { text.substr(0, colon), *port };
}

// Fills options from the arguments; false (after a message) when they are not usable.
bool ParseArguments(
    int argc, char** argv, SimOptions& options, bool& verbose, std::optional<Listening>& listen)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--verbose") {
            verbose = true;
            continue;
        }
        if (i + 1 >= argc
            || (arg != "--delay" && arg != "--time-scale" && arg != "--terminator" && arg != "--listen"
                && arg != "--drop-once")) {
            std::cerr << "dcload-sim: unknown or incomplete argument '" << arg << "'\n" << kUsage;
            return false;
        }
        const char* value = argv[++i];
        bool ok = false;
        if (arg == "--drop-once") {
            options.dropOnce.emplace_back(value);
            ok = !options.dropOnce.back().empty();
        } else if (arg == "--delay") {
            const auto ms = ParseValue<int>(value);
            ok = ms && *ms >= 0 && *ms <= 60000;
            if (ok)
                options.replyDelayMs = *ms;
        } else if (arg == "--listen") {
            listen = ParseListen(value);
            ok = listen.has_value();
        } else if (arg == "--time-scale") {
            const auto scale = ParseValue<double>(value);
            ok = scale && std::isfinite(*scale) && *scale > 0;
            if (ok)
                options.timeScale = *scale;
        } else {
            const auto terminator = Terminator(value);
            ok = terminator.has_value();
            if (ok)
                options.terminator = *terminator;
        }
        if (!ok) {
            std::cerr << "dcload-sim: bad value '" << value << "' for " << arg << "\n" << kUsage;
            return false;
        }
    }
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::cout << kUsage;
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << "dcload-sim " << kProgramVersion.toStdString() << " (" << kAppTitle.toStdString()
                      << ")\n";
            return 0;
        }
    }
    SimOptions options;
    bool verbose = false;
    std::optional<Listening> listen;
    if (!ParseArguments(argc, argv, options, verbose, listen))
        return 2;

    // Blocked before the host's thread exists so that it inherits the mask and only
    // sigwait below receives the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    SimulatorHost host(options);
    if (verbose) {
        host.OnTraffic = [](SimulatorHost*, SimTraffic kind, const std::string& text) {
            const char* mark = kind == SimTraffic::Replied ? ">> "
                : kind == SimTraffic::Ignored              ? "<< (ignored) "
                                                           : "<< ";
            std::fprintf(stderr, "%s%s\n", mark, Visible(text).c_str());
        };
    }
    try {
        if (listen)
            host.Listen(listen->host, listen->port);
        host.Start();
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    std::cout << host.SlavePath().toStdString() << std::endl;
    if (listen)
        std::cout << "tcp://" << listen->host << ':' << host.ListenPort() << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    host.Stop();
    return 0;
}
