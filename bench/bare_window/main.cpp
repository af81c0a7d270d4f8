// The yardstick for the start-up benchmark: the least a Qt program with a page control
// and a chart has to do before its first paint. Quits right after that paint.
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QEvent>
#include <QTabWidget>
#include <QTimer>

namespace {

class QuitAfterFirstPaint : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !FQuitting) {
            FQuitting = true;
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool FQuitting = false;
};

} // namespace

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
