// The program the operator starts: the main window and its message loop.
//   --simulator               offers the built-in instrument simulator as port "SIM"
//   --exit-after-first-paint  quits once the window has been painted (start-up timing)
#include "app/QuitAfterFirstPaint.h"
#include "sim/SimulatorHost.h"
#include "ui/main.h"
#include "workflows/ProgramInfo.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(kAppTitle);
    QApplication::setApplicationDisplayName(kAppTitle);
    const QStringList args = QApplication::arguments();

    TForm1 w;
    // Message boxes and menus use the window's face too.
    QApplication::setFont(w.font());
    if (args.contains(QStringLiteral("--simulator"))) {
        // Each connect to "SIM" starts a fresh simulator; it stops once the port has closed.
        w.EnableSimulatorPort([] {
            auto host = std::make_shared<SimulatorHost>();
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
