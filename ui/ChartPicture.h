#pragma once
// The battery chart drawn for a file, apart from the window's chart: a chart of its own at
// the picture's size, with the window's title, fonts and colours, the readings of a
// stretch of time thinned to the picture's pixel columns, and the curve cut at the plot's
// edges. A vector file has no clip of its own here, so the curve is cut geometrically:
// nothing of it is drawn over the axes' labels.
#include <QGraphicsScene>
#include <QImage>
#include <QPointF>
#include <QSize>
#include <vector>

class QChart;
class QIODevice;
class QLineSeries;

struct AxisRange
{
    double min = 0;
    double max = 0;
};

class ChartPicture
{
public:
    // The picture's pixels; it is laid out at half that size and drawn at twice the
    // resolution, so the window's fonts read at a picture's size.
    static constexpr QSize kPixels { 1600, 1000 };
    static constexpr int kScale = 2;

    // `look` is the window's chart and `line` its series (colour, name, axes' titles and
    // fonts); `marker` is drawn at each reading while the readings are far enough apart;
    // `points` are the run's readings, time ascending.
    ChartPicture(const QChart& look, QLineSeries& line, const QImage& marker,
        const std::vector<QPointF>& points, AxisRange time, AxisRange volts);

    // The chart as laid out, in the picture's logical coordinates (half its pixels).
    const QChart& Chart() const { return *FChart; }
    QImage Image();
    void WriteSvg(QIODevice& out);

private:
    QGraphicsScene FScene; // owns FChart
    QChart* FChart;
};
