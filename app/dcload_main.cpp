// The program the operator starts: the main window and its message loop.
//   --simulator               offers the built-in instrument simulator as port "SIM"
//   --time-scale X            runs the simulator's clock X times faster
//   --exit-after-first-paint  quits once the window has been painted (start-up timing)
//   --results URL             stores the results in a shared database instead of db.sqlite
//   --station NAME            the station its rows carry (the host name by default)
#include "app/QuitAfterFirstPaint.h"
#include "sim/SimulatorHost.h"
#include "store/ResultsUrl.h"
#include "store/SharedResults.h"
#include "ui/main.h"
#include "workflows/ProgramInfo.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace {

const char kUsage[] = R"(usage: dcload [--simulator [--time-scale X]] [--results URL [--station NAME]]
  The window that controls the instrument. It needs a display; without one, try
  xvfb-run dcload. --simulator offers the built-in instrument simulator as port "SIM";
  --time-scale runs its clock X times faster (a battery demo that takes hours at 1).
  --results postgresql://USER@HOST:PORT/DB (or postgresql://USER@/DB?host=/socket/folder)
  stores the results in a shared database instead of db.sqlite, each row marked with
  --station (the host name by default) and its run; a password comes from ~/.pgpass
  or PGPASSFILE, or is asked for; add ?sslmode=require for an encrypted connection.
  dcload-cli runs the instrument without a window; dcload-sim is the simulator alone.
)";

// Answered before the window is made, so that they work without a display.
std::optional<int> Informational(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("dcload %s (%s)\n", qPrintable(kProgramVersion), qPrintable(kAppTitle));
            return 0;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    if (const std::optional<int> done = Informational(argc, argv))
        return *done;
    QApplication app(argc, argv);
    QApplication::setApplicationName(kAppTitle);
    QApplication::setApplicationDisplayName(kAppTitle);
    const QStringList args = QApplication::arguments();

    std::unique_ptr<ResultsBackend> results;
    if (const qsizetype at = args.indexOf(QStringLiteral("--results")); at > 0) {
        const qsizetype stationAt = args.indexOf(QStringLiteral("--station"));
        const QString station = stationAt > 0 ? args.value(stationAt + 1) : DefaultStation();
        try {
            results = std::make_unique<SharedResults>(ParseResultsUrl(args.value(at + 1)), station);
        } catch (const EResultsUrl& e) {
            std::fprintf(stderr, "dcload: %s\n", e.what());
            return 2;
        }
        if (station.isEmpty()) {
            std::fprintf(stderr, "dcload: --station needs a name\n%s", kUsage);
            return 2;
        }
    }
    TForm1 w(nullptr, std::move(results));
    // Message boxes and menus use the window's face too.
    QApplication::setFont(w.font());
    if (args.contains(QStringLiteral("--simulator"))) {
        // Each connect to "SIM" starts a fresh simulator; it stops once the port has closed.
        SimOptions options;
        const qsizetype scaleAt = args.indexOf(QStringLiteral("--time-scale"));
        if (scaleAt > 0) {
            bool ok = false;
            options.timeScale = args.value(scaleAt + 1).toDouble(&ok);
            if (!ok || !std::isfinite(options.timeScale) || options.timeScale <= 0) {
                std::fprintf(stderr, "dcload: --time-scale needs a number above 0\n%s", kUsage);
                return 2;
            }
        }
        w.EnableSimulatorPort([options] {
            auto host = std::make_shared<SimulatorHost>(options);
            host->Start();
            return VirtualPort { host->SlavePath(), host };
        });
    }
    QuitAfterFirstPaint quitter;
    if (args.contains(QStringLiteral("--exit-after-first-paint")))
        w.installEventFilter(&quitter);
    w.show();
    return app.exec();
}
