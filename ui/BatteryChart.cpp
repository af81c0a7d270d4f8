#include "ui/BatteryChart.h"

#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"
#include "workflows/TestRules.h"

#include <QAction>
#include <QChartView>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPainter>
#include <QSaveFile>
#include <QSvgGenerator>
#include <QValueAxis>
#include <algorithm>

namespace {

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

bool EarlierThan(const QPointF& p, double x)
{
    return p.x() < x;
}

bool IsSvg(const QString& path)
{
    return QFileInfo(path).suffix().compare(QLatin1String("svg"), Qt::CaseInsensitive) == 0;
}

} // namespace

BatteryChart::BatteryChart(QChartView* view, QLineSeries* series, QValueAxis* timeAxis)
    : FView(view)
    , FSeries(series)
    , FAxis(timeAxis)
{
    FView->viewport()->installEventFilter(this);
}

void BatteryChart::Restart(int periodSeconds)
{
    Clear();
    FWindow = periodSeconds * 40;
    FAxis->setRange(0, FWindow);
}

void BatteryChart::Clear()
{
    FPoints.clear();
    FPoints.shrink_to_fit();
    FShown.clear();
    FSeries->clear();
    FFollow = true;
}

void BatteryChart::Add(const QPointF& point)
{
    if (FFollow && point.x() > FWindow)
        FAxis->setRange(point.x() - FWindow, point.x());
    if (FPoints.empty()) {
        const QImage marker = PointMarker();
        FSeries->setLightMarker(marker);
        FSeries->setMarkerSize(marker.width());
        FSeries->setPointsVisible(true);
        FSeries->setPointLabelsVisible(false);
    }
    if (FPoints.empty() || FPoints.back().x() <= point.x()) {
        FPoints.push_back(point);
        // Looking back, the series already ends past the axis: a newer reading changes
        // nothing there.
        if (!FFollow)
            return;
        AddWindowPoint(FShown, point, FAxis->min());
        FSeries->replace(FShown);
    } else {
        // The instrument's time went back: keep the points in time order and show the
        // window afresh (a rare, whole-window rebuild).
        FPoints.insert(std::upper_bound(FPoints.begin(), FPoints.end(), point,
                           [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); }),
            point);
        Refill();
    }
}

void BatteryChart::Pan(double seconds)
{
    if (FPoints.empty() || FWindow <= 0)
        return;
    const double first = std::min(0.0, FPoints.front().x());
    const double last = std::max(first, FPoints.back().x() - FWindow);
    const double min = std::clamp(FAxis->min() + seconds, first, last);
    FFollow = min >= last;
    if (min == FAxis->min())
        return;
    FAxis->setRange(min, min + FWindow);
    Refill();
}

void BatteryChart::Refill()
{
    const double minX = FAxis->min();
    // One point on either side, so the line enters and leaves the plot at its edges.
    auto from = std::lower_bound(FPoints.begin(), FPoints.end(), minX, EarlierThan);
    if (from != FPoints.begin())
        --from;
    auto to = std::upper_bound(
        FPoints.begin(), FPoints.end(), FAxis->max(), [](double x, const QPointF& p) { return x < p.x(); });
    if (to != FPoints.end())
        ++to;
    FShown.clear();
    for (auto p = from; p != to; ++p)
        AddWindowPoint(FShown, *p, minX);
    FSeries->replace(FShown);
}

bool BatteryChart::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != FView->viewport())
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton)
            break;
        FDragging = true;
        FDragX = mouse->position().x();
        FView->viewport()->setCursor(Qt::ClosedHandCursor);
        return true;
    }
    case QEvent::MouseMove: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const double plotWidth = FView->chart()->plotArea().width();
        if (!FDragging || plotWidth <= 0)
            break;
        // The curve moves with the pointer: dragging to the right brings earlier times in.
        const double dx = mouse->position().x() - FDragX;
        FDragX = mouse->position().x();
        Pan(-dx * (FAxis->max() - FAxis->min()) / plotWidth);
        return true;
    }
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton || !FDragging)
            break;
        FDragging = false;
        FView->viewport()->unsetCursor();
        return true;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void BatteryChart::InstallMenu(QAction* exportReadings, std::function<IMessageBoxes&()> boxes)
{
    auto* save = new QAction(QStringLiteral("Save chart as…"), FView);
    connect(save, &QAction::triggered, this, [this, boxes] {
        const auto chosen = AskFileToSave(FView,
            { QStringLiteral("Save chart as"), QStringLiteral("battery.png"),
                QStringLiteral("PNG image (*.png);;SVG image (*.svg)"), {} });
        if (!chosen)
            return;
        QString path = *chosen;
        // The name says what the file holds: one with another suffix gets the picture's.
        const QString suffix = QFileInfo(path).suffix().toLower();
        if (suffix != u"png" && suffix != u"svg")
            path += QStringLiteral(".png");
        SaveImage(path, boxes());
    });
    auto* exportCsv = new QAction(QStringLiteral("Export readings to CSV…"), FView);
    connect(exportCsv, &QAction::triggered, exportReadings, &QAction::trigger);
    FView->addActions({ save, exportCsv });
    FView->setContextMenuPolicy(Qt::ActionsContextMenu);
}

bool BatteryChart::SaveImage(const QString& path, IMessageBoxes& boxes) const
{
    QString reason;
    QSaveFile file(path);
    if (QFileInfo(path).isDir()) {
        reason = QStringLiteral("this is a folder");
    } else if (!file.open(QIODevice::WriteOnly)) {
        reason = file.errorString();
    } else if (IsSvg(path)) {
        QSvgGenerator svg;
        svg.setOutputDevice(&file);
        svg.setSize(FView->size());
        svg.setViewBox(FView->rect());
        svg.setTitle(FView->chart()->title());
        QPainter painter(&svg);
        FView->render(&painter);
        painter.end();
    } else {
        QImageWriter png(&file, "png");
        if (!png.write(FView->grab().toImage()))
            reason = png.errorString();
    }
    if (reason.isEmpty() && !file.commit())
        reason = file.errorString();
    if (reason.isEmpty())
        return true;
    boxes.ShowMessage(FView,
        QStringLiteral("Cannot save the chart as \"%1\": %2")
            .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()), reason));
    return false;
}
