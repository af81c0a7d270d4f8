// Saves a picture of each page of the main window: dcload-screenshot DIR writes
// DIR/1-main.png … DIR/5-about.png, and DIR/6-main-running.png of the window connected
// to the built-in simulator with its load input on, DIR/7-traffic.png of the traffic
// console then, DIR/8-read-back-incomplete.png of a connect that lost one answer, and
// DIR/9-battery-whole-run.png and DIR/10-save-chart.png of the battery chart's whole-run
// view of a drawn five-hour discharge, the second with its save dialog open over it;
// DIR/11-close-question.png is the question a close with the input on asks, and
// DIR/12-battery-stopped.png a battery run stopped after a few readings;
// DIR/13-analysis.png the analysis view of a drawn discharge with an earlier one ticked;
// DIR/14-profile-error.png the Profile window with a line that is no step, and
// DIR/15-profile-run.png the same window after a short profile has run on the simulator,
// and DIR/16-profile-report.pdf that run's report.
// Runs offscreen unless "-platform xcb"
// asks for an X server (scripts/screenshot --xvfb), where fonts fall back as on a desktop;
// used to check the layout by eye.
#include "sim/SimulatorHost.h"
#include "store/ResultsQuery.h"
#include "ui/AnalysisView.h"
#include "ui/BatteryChart.h"
#include "ui/ProfileWindow.h"
#include "ui/TrafficConsole.h"
#include "ui/main.h"
#include "workflows/ProfileRun.h"
#include "workflows/ProgramInfo.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <QValueAxis>
#include <cmath>
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

    // Closing the window with the input on asks first; answered "Cancel" here.
    bool asked = false;
    QTimer::singleShot(0, &w, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            const QString file = dir.filePath(QStringLiteral("11-close-question.png"));
            asked = box->grab().save(file);
            std::printf("%s\n", qPrintable(file));
            box->reject();
        }
    });
    w.close();
    if (!asked || !w.isVisible()) {
        std::fprintf(stderr, "closing with the input on did not ask\n");
        return 1;
    }

    // A battery run stopped after a few readings: its last readings stay, grey, with the
    // elapsed time beside the seconds.
    const QDeadlineTimer readings(30000);
    const auto settle = [&] {
        while (!w.Session().Pipeline().Idle() && !readings.hasExpired())
            QApplication::processEvents(QEventLoop::AllEvents, 50);
    };
    w.startButton->click(); // the Main page's input off
    settle();
    w.PageControl1->setCurrentIndex(1); // as the operator does: the session reads battery readings
    w.BSetButton->click();
    settle();
    w.startButtonB->click(); // the first press only switches the input off
    settle();
    w.startButtonB->click();
    while (w.ADOQuery2->RowCount() < 3 && !readings.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    w.startButtonB->click();
    QApplication::processEvents();
    if (!save("12-battery-stopped"))
        return 1;

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
    if (!save("8-read-back-incomplete"))
        return 1;

    // The battery chart's whole run: readings every 10 s over five hours, drawn straight
    // into the chart (no instrument runs that long here), against the stored voltage
    // maximum the live view keeps.
    w.ShowPage(1);
    BatteryChart& chart = w.Chart();
    chart.Restart(10);
    w.LeftAxis->setRange(0, 150);
    for (int t = 0; t <= 5 * 3600; t += 10) {
        const double share = t / (5.0 * 3600);
        chart.Add(QPointF(t, 12.7 - 1.1 * share - 1.4 * std::pow(share, 12)));
    }
    chart.ShowWholeRun();
    QApplication::processEvents();
    if (!save("9-battery-whole-run"))
        return 1;

    // The analysis view of a drawn cell discharge (a plateau at 3.7 V), and a weaker
    // earlier run of the same cell ticked for comparison.
    const auto cell = [](double capacityAh, double sag) {
        std::vector<AnalysisPoint> points;
        for (int i = 0; i <= 7200; ++i) {
            const double share = i / 7200.0;
            const double v = 4.15 - 0.35 * share - 0.08 * std::tanh((share - 0.3) * 25)
                - 0.1 * std::tanh((share - 0.7) * 20) - 0.6 * std::pow(share, 16) - sag;
            points.push_back({ double(i), v, capacityAh, capacityAh * share });
        }
        return points;
    };
    const QDateTime started = QDateTime::currentDateTimeUtc();
    AnalysisRun latest { QStringLiteral("latest"), QStringLiteral("bench-1"), started,
        QStringLiteral("Discharge at 2 A until 3.0 V"), cell(2.0, 0), {} };
    const auto earlier = [&] {
        AnalysisRun older { QStringLiteral("older"), QStringLiteral("bench-1"), started.addDays(-30),
            QStringLiteral("Discharge at 2 A until 3.0 V"), cell(2.2, -0.02), {} };
        return std::vector<AnalysisRun> { older };
    };
    auto* analysis = new AnalysisView(latest, earlier, &w);
    analysis->AnalysisEarlierRuns->item(0)->setCheckState(Qt::Checked);
    analysis->show();
    QApplication::processEvents();
    const QString analysisFile = dir.filePath(QStringLiteral("13-analysis.png"));
    if (!analysis->grab().save(analysisFile)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(analysisFile));
        return 1;
    }
    std::printf("%s\n", qPrintable(analysisFile));
    analysis->close();

    // The Profile window: the second step misspelt.
    ProfileWindow* profile = w.Profile();
    profile->ProfileEditor->setPlainText(
        QStringLiteral("# Capacity check\nStop the run at 2.5 V\n"
                       "Discharge at 2 A until 3.0 V, measuring resistance every 5 minutes\n"
                       "Rest for ten minutes\nHold 3.6 V until 0.1 A or for 2 hours\n"));
    profile->show();
    QApplication::processEvents();
    const QString profileFile = dir.filePath(QStringLiteral("14-profile-error.png"));
    if (!profile->grab().save(profileFile)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(profileFile));
        return 1;
    }
    std::printf("%s\n", qPrintable(profileFile));

    // The line corrected, the profile run to its end; the instrument's pauses are not waited.
    profile->ProfileEditor->setPlainText(
        QStringLiteral("# A quick check; the second pulse is below the discharge it follows\n"
                       "Discharge at 2 A for 3 s\nMeasure resistance with a 3 A pulse for 0.5 s\n"
                       "Discharge at 2 A for 2 s\nMeasure resistance with a 1 A pulse for 0.5 s\n"
                       "Rest for 2 s\nDischarge at 1 A for 2 s\n"));
    profile->ProfileRunButton->click();
    const QDeadlineTimer ran(40000);
    while (profile->Run() && profile->Run()->Running() && !ran.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    QApplication::processEvents();
    const QString runFile = dir.filePath(QStringLiteral("15-profile-run.png"));
    if (!profile->grab().save(runFile)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(runFile));
        return 1;
    }
    std::printf("%s\n", qPrintable(runFile));
    const QString reportFile = dir.filePath(QStringLiteral("16-profile-report.pdf"));
    if (!profile->SaveReport(reportFile))
        return 1;
    std::printf("%s\n", qPrintable(reportFile));
    profile->hide();

    // The save dialog (its title is the window manager's, not drawn here) and the
    // window, as one picture.
    bool dialogSaved = false;
    QTimer::singleShot(0, &w, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog) {
            // Beside the chart, over the grid, so that both show.
            dialog->move(w.geometry().topLeft() + QPoint(340, 60));
            QApplication::processEvents();
            const QRect area = w.geometry().united(dialog->geometry());
            QPixmap picture(area.size());
            picture.fill(Qt::darkGray);
            QPainter painter(&picture);
            painter.drawPixmap(w.geometry().topLeft() - area.topLeft(), w.grab());
            painter.drawPixmap(dialog->geometry().topLeft() - area.topLeft(), dialog->grab());
            painter.end();
            const QString file = dir.filePath(QStringLiteral("10-save-chart.png"));
            dialogSaved = picture.save(file);
            std::printf("%s\n", qPrintable(file));
            dialog->reject();
        }
    });
    chart.SaveChartAs(ChartSpan::WholeRun, &w);
    if (!dialogSaved)
        std::fprintf(stderr, "cannot picture the save dialog\n");
    return dialogSaved ? 0 : 1;
}
