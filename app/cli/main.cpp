// dcload-cli: the instrument without a window. The same session, pacing, reply cuts and
// input rules as the window; readings go to standard output as CSV (or JSON lines).
//
// Exit status: 0 done (for a list, every step PASS or not compared); 1 a list step FAILed;
// 2 the port or the instrument failed; 3 bad arguments or a refused entry.
#include "app/cli/Cli.h"
#include "app/cli/CliOptions.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>

int main(int argc, char** argv)
{
    // A report paints its PDF, which takes fonts: a Qt GUI application without a screen.
    // Everything else runs without one, so that a server needs no graphics libraries.
    const bool report = std::any_of(argv + 1, argv + argc, [](const char* a) { return std::strcmp(a, "report") == 0; });
    if (report)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::unique_ptr<QCoreApplication> app
        = report ? std::make_unique<QGuiApplication>(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    // A reader that went away (a closed pipe) shows as a failed write, which ends the run
    // with the input switched off, instead of killing the program with the input on.
    std::signal(SIGPIPE, SIG_IGN);
    CliOptions options;
    if (const std::optional<int> done = ReadCliOptions(QCoreApplication::arguments(), options))
        return *done;
    Cli cli(options);
    return cli.Run();
}
