#pragma once
// The battery run's voltage over time. Every point of a run is kept in time order; the
// series holds only what the time axis shows, so a point costs the same however long
// the run has been going.
#include <QList>
#include <QPointF>
#include <vector>

class QLineSeries;
class QValueAxis;

class BatteryChart
{
public:
    BatteryChart(QLineSeries* series, QValueAxis* timeAxis);

    // A new run polled every periodSeconds: empty, the time axis 0 to 40 periods wide.
    void Restart(int periodSeconds);
    // Empties the chart; the axis stays.
    void Clear();
    // A reading at x seconds: once the run outlasts the window, the axis shows the latest
    // window of time.
    void Add(const QPointF& point);

    const std::vector<QPointF>& Points() const { return FPoints; }
    int WindowSeconds() const { return FWindow; }

private:
    QLineSeries* FSeries;
    QValueAxis* FAxis;
    int FWindow = 0; // visible width of the time axis once the run is longer
    std::vector<QPointF> FPoints; // every point of the run, time ascending
    QList<QPointF> FShown; // the points of FPoints that the series holds
};
