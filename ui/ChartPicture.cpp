#include "ui/ChartPicture.h"

#include "ui/TimeAxisLabels.h"
#include "workflows/TestRules.h"

#include <QChart>
#include <QCoreApplication>
#include <QGraphicsLayout>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPainter>
#include <QSvgGenerator>
#include <QValueAxis>
#include <algorithm>
#include <optional>
#include <utility>

namespace {

// Height a label of the voltage axis needs, in pixels of the plot.
constexpr double kVoltLabelRoom = 40;

// The part of the segment a to b inside `box` (Liang-Barsky), its ends exactly a and b
// where they lie inside.
std::optional<std::pair<QPointF, QPointF>> ClipSegment(const QPointF& a, const QPointF& b, const QRectF& box)
{
    double enter = 0;
    double leave = 1;
    const double dx = b.x() - a.x();
    const double dy = b.y() - a.y();
    // Keeps the part where p * t <= q.
    const auto keep = [&](double p, double q) {
        if (p == 0)
            return q >= 0;
        const double t = q / p;
        if (p < 0) {
            if (t > leave)
                return false;
            enter = std::max(enter, t);
        } else {
            if (t < enter)
                return false;
            leave = std::min(leave, t);
        }
        return true;
    };
    if (!keep(-dx, a.x() - box.left()) || !keep(dx, box.right() - a.x()) || !keep(-dy, a.y() - box.top())
        || !keep(dy, box.bottom() - a.y()))
        return std::nullopt;
    const QPointF from = enter == 0 ? a : a + enter * (b - a);
    const QPointF to = leave == 1 ? b : a + leave * (b - a);
    return std::pair { from, to };
}

// The line's pieces inside `box`: a line that leaves it and comes back is two pieces.
std::vector<QList<QPointF>> ClippedLine(const QList<QPointF>& line, const QRectF& box)
{
    std::vector<QList<QPointF>> pieces;
    if (line.size() == 1 && box.contains(line[0]))
        pieces.push_back(line);
    for (qsizetype i = 1; i < line.size(); ++i) {
        const auto part = ClipSegment(line[i - 1], line[i], box);
        if (!part)
            continue;
        if (pieces.empty() || pieces.back().last() != part->first)
            pieces.push_back({ part->first });
        pieces.back().append(part->second);
    }
    return pieces;
}

QValueAxis* AxisLike(QLineSeries& line, Qt::Orientation orientation)
{
    auto* axis = new QValueAxis;
    for (QAbstractAxis* shown : line.attachedAxes()) {
        if (shown->orientation() != orientation)
            continue;
        axis->setObjectName(shown->objectName());
        axis->setTitleText(shown->titleText());
        axis->setTitleFont(shown->titleFont());
        axis->setLabelsFont(shown->labelsFont());
    }
    return axis;
}

} // namespace

ChartPicture::ChartPicture(const QChart& look, QLineSeries& line, const QImage& marker,
    const std::vector<QPointF>& points, AxisRange time, AxisRange volts)
    : FChart(new QChart)
{
    FScene.addItem(FChart);
    FChart->setTitle(look.title());
    FChart->setTitleFont(look.titleFont());
    FChart->setMargins(look.margins());
    FChart->legend()->setAlignment(look.legend()->alignment());
    FChart->legend()->setFont(look.legend()->font());
    QValueAxis* timeAxis = AxisLike(line, Qt::Horizontal);
    QValueAxis* voltAxis = AxisLike(line, Qt::Vertical);
    FChart->addAxis(timeAxis, Qt::AlignBottom);
    FChart->addAxis(voltAxis, Qt::AlignLeft);
    FChart->setGeometry(QRectF(QPointF(0, 0), QSizeF(kPixels) / kScale));
    // The labels follow the plot's width; the plot's width then follows the labels.
    auto* labels = new TimeAxisLabels(FChart, timeAxis);
    labels->SetRange(time.min, time.max);
    SetRoundRange(voltAxis, volts.min, volts.max, FChart->plotArea().height(), kVoltLabelRoom);
    FChart->layout()->activate();
    // The plot's edges have moved with the voltage labels: the time labels fit it anew.
    labels->Update();
    FChart->layout()->activate();

    const int columns = static_cast<int>(FChart->plotArea().width()) * kScale;
    const QList<QPointF> shown = ColumnPoints(points, time.min, time.max, columns);
    const QRectF box(QPointF(time.min, volts.min), QPointF(time.max, volts.max));
    const auto addSeries = [&](const QList<QPointF>& linePoints, bool inLegend) {
        auto* series = new QLineSeries;
        series->setName(line.name());
        series->setPen(line.pen());
        series->replace(linePoints);
        FChart->addSeries(series);
        series->attachAxis(timeAxis);
        series->attachAxis(voltAxis);
        if (!inLegend) {
            for (QLegendMarker* legendMarker : FChart->legend()->markers(series))
                legendMarker->setVisible(false);
        }
        return series;
    };
    std::vector<QList<QPointF>> pieces = ClippedLine(shown, box);
    if (pieces.empty())
        pieces.emplace_back(); // the legend still names the curve
    for (size_t i = 0; i < pieces.size(); ++i)
        addSeries(pieces[i], i == 0);

    // The readings' own marks, where they have room: a series of points without a line,
    // so that no mark sits where the curve was cut at an edge.
    QList<QPointF> readings;
    std::copy_if(shown.begin(), shown.end(), std::back_inserter(readings),
        [&](const QPointF& p) { return box.contains(p); });
    if (!marker.isNull() && !readings.isEmpty() && readings.size() * 4 <= columns / kScale) {
        QLineSeries* marks = addSeries(readings, false);
        marks->setPen(Qt::NoPen);
        marks->setLightMarker(marker);
        marks->setMarkerSize(marker.width());
        marks->setPointsVisible(true);
    }
    // The legend lays itself out when the event loop comes round; the picture is drawn
    // before that.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    FChart->layout()->activate();
}

QImage ChartPicture::Image()
{
    QImage image(kPixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(kScale);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area(QPointF(0, 0), QSizeF(kPixels) / kScale);
    FScene.render(&painter, area, area);
    return image;
}

void ChartPicture::WriteSvg(QIODevice& out)
{
    const QRect area(QPoint(0, 0), kPixels / kScale);
    QSvgGenerator svg;
    svg.setOutputDevice(&out);
    svg.setSize(area.size());
    svg.setViewBox(area);
    svg.setTitle(FChart->title());
    QPainter painter(&svg);
    FScene.render(&painter, area, area);
}
