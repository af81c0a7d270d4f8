// Saves a picture of each page of the main window: dcload-screenshot DIR writes
// DIR/1-main.png … DIR/5-about.png, and DIR/6-main-running.png of the window connected
// to the built-in simulator with its load input on, DIR/7-traffic.png of the traffic
// console then, and DIR/8-read-back-incomplete.png of a connect that lost one answer.
// Runs offscreen unless "-platform xcb"
// asks for an X server (scripts/screenshot --xvfb), where fonts fall back as on a desktop;
// used to check the layout by eye.
#include "sim/SimulatorHost.h"
#include "ui/TrafficConsole.h"
#include "ui/main.h"
#include "workflows/ProgramInfo.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <cstdio>
#include <functional>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(kAppTitle);
    if (argc < 2) {
        std::fprintf(stderr, "usage: dcload-screenshot DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    TForm1 w;
    QApplication::setFont(w.font());
    w.show();
    const auto save = [&](const char* name) {
        const QString file = dir.filePath(QString::fromLatin1(name) + ".png");
        if (!w.grab().save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return false;
        }
        std::printf("%s\n", qPrintable(file));
        return true;
    };
    const char* names[] = { "1-main", "2-battery", "3-list", "4-instructions", "5-about" };
    for (int page = 0; page < w.PageControl1->count(); ++page) {
        w.ShowPage(page);
        QApplication::processEvents();
        if (!save(names[page]))
            return 1;
    }

    // Connected, a load pattern sent and the input on, after the first readings.
    w.ShowPage(0);
    w.EnableSimulatorPort([] {
        auto host = std::make_shared<SimulatorHost>();
        host->Start();
        return VirtualPort { host->SlavePath(), host };
    });
    w.combutton->click(); // the first click after start-up only closes
    w.Combo->setEditText(QStringLiteral("SIM"));
    w.combutton->click();
    const QDeadlineTimer deadline(20000);
    const auto waitFor = [&](const std::function<bool()>& done) {
        while (!done() && !deadline.hasExpired())
            QApplication::processEvents(QEventLoop::AllEvents, 50);
    };
    // The limits read back bound the set-point.
    waitFor([&] { return w.Session().Pipeline().Idle(); });
    w.ISet->setText(QStringLiteral("2"));
    w.modeButton->click();
    w.startButton->click();
    waitFor([&] { return w.PLabel->text().endsWith(u'W'); });
    if (!save("6-main-running"))
        return 1;

    // The traffic console after a second of polling.
    TrafficConsole* console = w.Traffic();
    console->show();
    const QDeadlineTimer second(1000);
    while (!second.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    console->Flush();
    QApplication::processEvents();
    const QString file = dir.filePath(QStringLiteral("7-traffic.png"));
    if (!console->grab().save(file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return 1;
    }
    std::printf("%s\n", qPrintable(file));
    console->hide();

    // Disconnected (the input goes off first), then connected to an instrument that loses
    // its answer to the current limit once: the status line names what was not read back.
    w.combutton->click();
    waitFor([&] { return w.combutton->text() == u"Connect"; });
    w.EnableSimulatorPort([] {
        SimOptions options;
        options.dropOnce = { "mset:imax?" };
        auto host = std::make_shared<SimulatorHost>(options);
        host->Start();
        return VirtualPort { host->SlavePath(), host };
    });
    w.combutton->click();
    const QDeadlineTimer again(20000);
    while (!w.Session().Pipeline().Idle() && !again.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    return save("8-read-back-incomplete") ? 0 : 1;
}
