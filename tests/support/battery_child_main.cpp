// A battery run in a process of its own, for tests that kill it: in the working folder it
// opens the window offscreen, lists that folder in the grid's export dialog and cancels
// it, then feeds the battery page a reading every few milliseconds. After each reading it
// prints "rows N", N being the rows its grid shows, until it is killed.
#include "sim/SimulatorHost.h"
#include "store/ResultsFile.h"
#include "store/ResultsQuery.h"
#include "ui/main.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // A port open to a quiet simulator: a run starts only with one.
    SimulatorHost host;
    host.Start();
    TForm1 form;
    form.BuildAllPages();
    form.Session().Pause = [](int) {};
    form.CoTimer->stop();
    form.Session().Open(host.SlavePath(), 9600);
    form.show();

    // The export dialog lists the working folder, db.sqlite among its files, then goes.
    QTimer::singleShot(200, &form, [&form] {
        QTimer::singleShot(0, &form, [] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog) {
                std::fprintf(stderr, "no export dialog\n");
                std::exit(2);
            }
            auto* listed = dialog->findChild<QFileSystemModel*>();
            QObject::connect(listed, &QFileSystemModel::directoryLoaded, dialog,
                [dialog] { QTimer::singleShot(300, dialog, &QDialog::reject); });
            dialog->setDirectory(QDir::currentPath());
        });
        form.DBGrid2->actions().first()->trigger();

        form.Session().Maxima() = { 5, 20, 100 };
        form.testInteral->setText(QStringLiteral("1"));
        form.BSetButton->click();
        form.startButtonB->click();
        form.startButtonB->click();
        form.fetchTimer->stop(); // the readings come from here
        form.Session().SetMode(TestMode::Battery);
        auto* feed = new QTimer(&form);
        QObject::connect(feed, &QTimer::timeout, &form, [&form, seconds = 0]() mutable {
            ++seconds;
            form.RunGuarded([&] {
                form.Session().HandleMeasurement(QStringLiteral("%1 V,0.300 A,%2s,%3Ah")
                                                     .arg(12.6 - 0.0001 * seconds, 0, 'f', 2)
                                                     .arg(seconds)
                                                     .arg(seconds / 3600.0 * 0.3, 0, 'f', 3));
            });
            std::printf("rows %d\n", form.ADOQuery2->RowCount());
            std::fflush(stdout);
        });
        feed->start(5);
    });
    return app.exec();
}
