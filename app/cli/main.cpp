// dcload-cli: the instrument without a window. The same session, pacing, reply cuts and
// input rules as the window; readings go to standard output as CSV (or JSON lines).
//
// Exit status: 0 done (for a list, every step PASS or not compared); 1 a list step FAILed;
// 2 the port or the instrument failed; 3 bad arguments or a refused entry.
#include "app/cli/Cli.h"
#include "app/cli/CliOptions.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <csignal>

int main(int argc, char** argv)
{
    // A reader that went away (a closed pipe) shows as a failed write, which ends the run
    // with the input switched off, instead of killing the program with the input on.
    std::signal(SIGPIPE, SIG_IGN);
    CliOptions options;
    {
        // The arguments are read before the application that runs the command is made:
        // which one depends on the command.
        QCoreApplication reader(argc, argv);
        if (const std::optional<int> done = ReadCliOptions(QCoreApplication::arguments(), options))
            return *done;
    }
    if (options.command == CliCommand::Report) {
        // A report paints its PDF, which takes fonts: a Qt GUI application without a
        // screen. Everything else runs without one, so a server needs no display.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // Without a desktop session there is no runtime folder; Qt's note on making one of
        // its own would read like a failure in a script's log.
        QLoggingCategory::setFilterRules(QStringLiteral("default.warning=false"));
        QGuiApplication app(argc, argv);
        QLoggingCategory::setFilterRules(QString());
        Cli cli(options);
        return cli.Run();
    }
    QCoreApplication app(argc, argv);
    Cli cli(options);
    return cli.Run();
}
