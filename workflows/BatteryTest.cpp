// The battery discharge test: "Set up" puts the instrument into battery mode, the big
// button starts and stops the run, and every reading of the run becomes a stored row and
// a chart point.
#include "replies/MeasurementCuts.h"
#include "replies/Numbers.h"
#include "store/ResultsQuery.h"
#include "ui/main.h"
#include "workflows/TestRules.h"

#include <QAbstractItemModel>
#include <QDateTime>
#include <QImage>
#include <QLineEdit>
#include <QLineSeries>
#include <QPainter>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QValueAxis>
#include <algorithm>

namespace {

constexpr int kIdlePollMs = 300;
const QColor kPointColour(224, 104, 3);

// The series draws this image at every point; its line keeps the series' own colour.
QImage PointMarker()
{
    QImage image(5, 5, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kPointColour);
    painter.drawEllipse(image.rect());
    return image;
}

} // namespace

void TForm1::BSetButtonClick(QObject*)
{
    Pause(1000);
    const QString batteryMode = QStringLiteral("load:mode bat");
    ReplaceQueue({ { batteryMode, 0 }, { batteryMode, 0 }, { batteryMode, 0 } });

    if (RefuseEmpty(BOffV))
        return;
    const QString cutOff = BOffV->text();
    if (dataRuleCheck(static_cast<float>(StrToFloat(cutOff)), static_cast<float>(StoredVoltageMax)) == 2)
        QueueCommand(QStringLiteral("bat:vmin ") + cutOff, 0);

    if (RefuseEmpty(BChargeI))
        return;
    const QString current = BChargeI->text();
    if (dataRuleCheck(static_cast<float>(StrToFloat(current)), static_cast<float>(StoredCurrentMax)) == 2) {
        LeftAxis->setMax(StoredVoltageMax);
        QueueCommand(QStringLiteral("bat:curr ") + current, 0);
    }
    // Also after a refused value: the instrument keeps its former one and can still run.
    startButtonB->setEnabled(true);
}

void TForm1::StartButtonBClick(QObject*)
{
    if (startButtonB->text() != u"Begin") {
        QueueCommand(QStringLiteral("load off"), 0);
        startButtonB->setText(QStringLiteral("Begin"));
        BSetButton->setEnabled(true);
        ClearBatteryChart();
        ElapsedSeconds = 0;
        fetchTimer->stop();
        fetchTimer->setInterval(kIdlePollMs);
        return;
    }
    // The period is checked before anything happens: a refused one must not leave the
    // load switched on with polling at a stale rate.
    const std::optional<int> period = TestPeriodSeconds(testInteral->text());
    if (!period) {
        MessageBoxes().ShowMessage(this,
            QStringLiteral("The test period must be a whole number of seconds (1 to %1)!")
                .arg(kMaxTestPeriodSeconds));
        return;
    }
    QueueCommand(QStringLiteral("load on"), 0);
    startButtonB->setText(QStringLiteral("Stop"));
    BSetButton->setEnabled(false);
    ClearBatteryChart();
    ElapsedSeconds = 0;
    fetchTimer->setInterval(*period * 1000);
    fetchTimer->start();
    ChartWindow = *period * 40;
    BottomAxis->setRange(0, ChartWindow);
}

void TForm1::BatteryReadingArrived(const BatteryReading& reading)
{
    // Below the cut-off the instrument has stopped discharging; the record holds the
    // cut-off so the line runs flat there, while LabelBV still shows what was measured.
    const QString cutOffText = BOffV->text();
    const double cutOff = StrToFloat(cutOffText);
    const bool floored = cutOff > reading.voltageValue;
    const QString recordedText = floored ? cutOffText : reading.voltage;
    const double recorded = floored ? cutOff : reading.voltageValue;

    const int t = StrToInt(reading.time);
    ElapsedSeconds = t;
    // The row is committed before anything is drawn: a failed insert adds no point.
    ADOQuery2->Insert({ recordedText, reading.current, reading.time, reading.capacity,
        MeasurementTimestamp(QDateTime::currentDateTime()) });
    ShowNewestRow(DBGrid2);

    if (t > ChartWindow)
        BottomAxis->setRange(t - ChartWindow, t);
    ShowBatteryPoint(QPointF(t, recorded));
}

void TForm1::ShowBatteryPoint(const QPointF& point)
{
    if (FShownBatteryPoints.isEmpty()) {
        Series1->setLightMarker(PointMarker());
        Series1->setMarkerSize(PointMarker().width());
        Series1->setPointsVisible(true);
        Series1->setPointLabelsVisible(false);
    }
    const double minX = BottomAxis->min();
    if (BatteryPoints.empty() || BatteryPoints.back().x() <= point.x()) {
        BatteryPoints.push_back(point);
        AddWindowPoint(FShownBatteryPoints, point, minX);
    } else {
        // The instrument's time went back: keep the points in time order and show the
        // window afresh (a rare, whole-window rebuild).
        const auto later = std::upper_bound(BatteryPoints.begin(), BatteryPoints.end(), point,
            [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); });
        BatteryPoints.insert(later, point);
        auto from = std::lower_bound(BatteryPoints.begin(), BatteryPoints.end(), minX,
            [](const QPointF& p, double x) { return p.x() < x; });
        if (from != BatteryPoints.begin())
            --from;
        FShownBatteryPoints.clear();
        for (auto p = from; p != BatteryPoints.end(); ++p)
            AddWindowPoint(FShownBatteryPoints, *p, minX);
    }
    Series1->replace(FShownBatteryPoints);
}

void TForm1::ClearBatteryChart()
{
    BatteryPoints.clear();
    BatteryPoints.shrink_to_fit();
    FShownBatteryPoints.clear();
    Series1->clear();
}

void TForm1::ShowNewestRow(QTableView* grid)
{
    const QAbstractItemModel* model = grid->model();
    if (!model || model->rowCount() == 0)
        return;
    const int last = model->rowCount() - 1;
    grid->selectRow(last);
    grid->scrollTo(model->index(last, 0));
}
