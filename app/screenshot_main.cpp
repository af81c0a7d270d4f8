// Saves a picture of each page of the main window: dcload-screenshot DIR writes
// DIR/1-main.png … DIR/5-about.png. Runs offscreen; used to check the layout by eye.
#include "ui/main.h"
#include "workflows/ProgramInfo.h"

#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <cstdio>

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
    const char* names[] = { "1-main", "2-battery", "3-list", "4-instructions", "5-about" };
    for (int page = 0; page < w.PageControl1->count(); ++page) {
        w.ShowPage(page);
        QApplication::processEvents();
        const QString file = dir.filePath(QString::fromLatin1(names[page]) + ".png");
        if (!w.grab().save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        std::printf("%s\n", qPrintable(file));
    }
    return 0;
}
