// dcload-cli: the instrument without a window. The same session, pacing, reply cuts and
// input rules as the window; readings go to standard output as CSV (or JSON lines).
//
// Exit status: 0 done (for a list, every step PASS or not compared); 1 a list step FAILed;
// 2 the port or the instrument failed; 3 bad arguments or a refused entry.
#include "app/cli/Cli.h"
#include "app/cli/CliOptions.h"

#include <QCoreApplication>
#include <csignal>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // A reader that went away (a closed pipe) shows as a failed write, which ends the run
    // with the input switched off, instead of killing the program with the input on.
    std::signal(SIGPIPE, SIG_IGN);
    CliOptions options;
    if (const std::optional<int> done = ReadCliOptions(QCoreApplication::arguments(), options))
        return *done;
    Cli cli(options);
    return cli.Run();
}
