// The yardstick for the start-up benchmark: the least a Qt program with a page control
// and a chart has to do before its first paint. Quits right after that paint.
#include "app/QuitAfterFirstPaint.h"
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QEvent>
#include <QTabWidget>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QTabWidget tabs;
    tabs.setFixedSize(680, 476);
    auto* chart = new QChart;
    chart->setTitle("Chart");
    tabs.addTab(new QChartView(chart), "Page");
    QuitAfterFirstPaint quitter;
    tabs.installEventFilter(&quitter);
    tabs.show();
    return app.exec();
}
