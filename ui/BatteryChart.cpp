#include "ui/BatteryChart.h"

#include "workflows/TestRules.h"

#include <QImage>
#include <QLineSeries>
#include <QPainter>
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

} // namespace

BatteryChart::BatteryChart(QLineSeries* series, QValueAxis* timeAxis)
    : FSeries(series)
    , FAxis(timeAxis)
{ }

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
}

void BatteryChart::Add(const QPointF& point)
{
    if (point.x() > FWindow)
        FAxis->setRange(point.x() - FWindow, point.x());
    if (FShown.isEmpty()) {
        const QImage marker = PointMarker();
        FSeries->setLightMarker(marker);
        FSeries->setMarkerSize(marker.width());
        FSeries->setPointsVisible(true);
        FSeries->setPointLabelsVisible(false);
    }
    const double minX = FAxis->min();
    if (FPoints.empty() || FPoints.back().x() <= point.x()) {
        FPoints.push_back(point);
        AddWindowPoint(FShown, point, minX);
    } else {
        // The instrument's time went back: keep the points in time order and show the
        // window afresh (a rare, whole-window rebuild).
        const auto later = std::upper_bound(FPoints.begin(), FPoints.end(), point,
            [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); });
        FPoints.insert(later, point);
        auto from = std::lower_bound(
            FPoints.begin(), FPoints.end(), minX, [](const QPointF& p, double x) { return p.x() < x; });
        if (from != FPoints.begin())
            --from;
        FShown.clear();
        for (auto p = from; p != FPoints.end(); ++p)
            AddWindowPoint(FShown, *p, minX);
    }
    FSeries->replace(FShown);
}
