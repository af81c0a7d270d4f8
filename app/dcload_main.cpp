// The program the operator starts: the main window and its message loop. Its arguments are
// read before the window is made, so that --help, --version and a refusal work without a
// display, and a missing display is said in one line instead of Qt's abort.
#include "app/CommandLine.h"
#include "app/QuitAfterFirstPaint.h"
#include "publish/LivePublisher.h"
#include "sim/SimulatorHost.h"
#include "store/ResultsUrl.h"
#include "store/SharedResults.h"
#include "ui/ClassicMetricsStyle.h"
#include "ui/WindowSettings.h"
#include "ui/main.h"
#include "workflows/ProgramInfo.h"

#include <QApplication>
#include <QSettings>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

const QString kProgram = QStringLiteral("dcload");
constexpr int kNoDisplayExit = 2;
constexpr int kPublishFailedExit = 2; // libmosquitto cannot set up what --publish asks
const QString kNoDisplay = QStringLiteral("No display: try xvfb-run dcload, or dcload-cli");

CommandLine Options()
{
    CommandLine line(kProgram, QStringLiteral("[options]"),
        QStringLiteral(
            "The window that controls the Kelvaron 4410/4420 DC load over a serial port. It needs\n"
            "a display; without one, try xvfb-run dcload. dcload-cli runs the instrument without\n"
            "a window; dcload-sim is the instrument simulator alone."));
    line.AddFlag(QStringLiteral("simulator"),
        QStringLiteral("Offers the built-in instrument simulator as the port \"SIM\"."));
    line.AddValue(QStringLiteral("time-scale"), QStringLiteral("X"),
        QStringLiteral(
            "Runs the simulator's clock X times faster (a battery demo takes hours at 1); above 0, "
            "at most 1000000. Needs --simulator."),
        QStringLiteral("1"));
    AddCellOptions(line);
    line.AddValue(QStringLiteral("results"), QStringLiteral("URL"),
        QStringLiteral("Stores the results in a shared database instead of db.sqlite: "
                       "postgresql://USER@HOST:PORT/DB, or postgresql://USER@/DB?host=/socket/folder; add "
                       "?sslmode=require for an encrypted connection. The password comes from ~/.pgpass or "
                       "PGPASSFILE, or is asked for."),
        {}, QStringLiteral("db.sqlite in the working directory"));
    line.AddValue(QStringLiteral("station"), QStringLiteral("NAME"),
        QStringLiteral("The station each row of --results and the topics of --publish are marked with."), {},
        QStringLiteral("the host name"));
    AddPublishOptions(line);
    line.AddFlag(QStringLiteral("reset-settings"),
        QStringLiteral("Forgets what the window remembers between starts, then starts as usual."));
    // The start-up benchmark's stop watch.
    line.AddHiddenFlag(QStringLiteral("exit-after-first-paint"));
    return line;
}

// Qt needs a windowing system to make the application; without one it aborts. An
// offscreen or minimal platform needs none.
bool HasDisplay()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.startsWith("offscreen") || platform.startsWith("minimal"))
        return true;
    return !qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty();
}

// A display that is named but cannot be reached ends in Qt's fatal message while the
// application is made: said as the missing display it is, with its own exit status.
QtMessageHandler gQtMessages = nullptr;
void NoDisplayOnFatal(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    gQtMessages(type, context, message);
    if (type == QtFatalMsg) {
        Complain(kProgram, kNoDisplay);
        std::_Exit(kNoDisplayExit);
    }
}

// The window's remembered settings are gone; a failure is said and the program starts anyway.
void ResetSettings()
{
    const std::unique_ptr<QSettings> settings = OpenWindowSettings();
    settings->clear();
    settings->sync();
    if (settings->status() != QSettings::NoError)
        Complain(kProgram,
            QStringLiteral("the remembered settings in %1 could not be removed").arg(settings->fileName()));
}

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    CommandLine line = Options();
    if (const std::optional<int> done
        = line.Parse(arguments, QStringLiteral("dcload %1 (%2)").arg(kProgramVersion, kAppTitle)))
        return *done;

    std::optional<SharedResultsLocation> location;
    std::optional<PublishOptions> publish;
    SimOptions simulator;
    QString station;
    try {
        if (!line.Positional().isEmpty())
            throw EBadArgument(
                QStringLiteral("unexpected argument %1").arg(Quoted(line.Positional().first())));
        if (line.IsSet(QStringLiteral("time-scale")) && !line.IsSet(QStringLiteral("simulator")))
            throw EBadArgument(QStringLiteral("--time-scale sets the simulator's clock: add --simulator"));
        simulator.timeScale = line.Decimal(
            QStringLiteral("time-scale"), 0, kLargestTimeScale, false, QStringLiteral("a number"));
        if (CellOptionsGiven(line) && !line.IsSet(QStringLiteral("simulator")))
            throw EBadArgument(
                QStringLiteral("--cell options connect the simulator's battery: add --simulator"));
        ReadCellOptions(line, simulator);
        const bool marked = line.IsSet(QStringLiteral("results")) || line.IsSet(QStringLiteral("publish"));
        if (line.IsSet(QStringLiteral("station")) && !marked)
            throw EBadArgument(QStringLiteral(
                "--station marks the rows of a shared database or the topics of --publish: add --results or "
                "--publish"));
        if (marked) {
            station = line.IsSet(QStringLiteral("station")) ? line.Text(QStringLiteral("station"))
                                                            : DefaultStation();
            if (station.isEmpty())
                throw EBadArgument(QStringLiteral("--station needs a name"));
        }
        if (line.IsSet(QStringLiteral("results")))
            location = line.ResultsLocation(QStringLiteral("results"));
        publish = ReadPublishOptions(line, station);
    } catch (const EBadArgument& e) {
        Complain(kProgram, QString::fromUtf8(e.what()));
        return kBadArgumentsExit;
    }

    if (!HasDisplay()) {
        Complain(kProgram, kNoDisplay);
        return kNoDisplayExit;
    }
    if (line.IsSet(QStringLiteral("reset-settings")))
        ResetSettings();

    gQtMessages = qInstallMessageHandler(NoDisplayOnFatal);
    QApplication app(argc, argv);
    qInstallMessageHandler(gQtMessages);
    QApplication::setApplicationName(kAppTitle);
    QApplication::setApplicationDisplayName(kAppTitle);

    std::unique_ptr<ResultsBackend> results;
    if (location)
        results = std::make_unique<SharedResults>(*location, station);
    // Message boxes and menus use the window's face too. Set before the window is built, no
    // control of it loads the default face on its way to the window's.
    QApplication::setFont(ClassicMetricsStyle::WindowFont());
    TForm1 w(nullptr, std::move(results));
    if (!station.isEmpty())
        w.setStation(station);
    if (publish) {
        auto publisher = std::make_unique<LivePublisher>(publish->location, station, publish->password);
        // Its first word (connected, or the broker cannot be reached) goes to the status line.
        w.setPublisher(std::move(publisher));
        try {
            w.Live().Publisher()->Start();
        } catch (const EPublishSetup& e) {
            Complain(kProgram, QString::fromUtf8(e.what()));
            return kPublishFailedExit;
        }
    }
    if (line.IsSet(QStringLiteral("simulator"))) {
        // Each connect to "SIM" starts a fresh simulator; it stops once the port has closed.
        w.EnableSimulatorPort([simulator] {
            auto host = std::make_shared<SimulatorHost>(simulator);
            host->Start();
            return VirtualPort { host->SlavePath(), host };
        });
    }
    w.RememberSettings();
    QuitAfterFirstPaint quitter;
    if (line.IsSet(QStringLiteral("exit-after-first-paint")))
        w.installEventFilter(&quitter);
    w.show();
    return app.exec();
}
