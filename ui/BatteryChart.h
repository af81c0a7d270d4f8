#pragma once
// The battery run's voltage over time. Every reading of a run is kept in time order; the
// series holds only what the time axis shows, refilled from the kept readings when the
// operator drags the chart sideways, so a reading costs the same however long the run has
// been going. The view's context menu saves the chart as a picture and offers the battery
// grid's CSV export.
#include <QList>
#include <QObject>
#include <QPointF>
#include <functional>
#include <vector>

class IMessageBoxes;
class QAction;
class QChartView;
class QLineSeries;
class QValueAxis;

class BatteryChart : public QObject
{
    Q_OBJECT
public:
    // `view` shows `series` against `timeAxis`; all three outlive the chart.
    BatteryChart(QChartView* view, QLineSeries* series, QValueAxis* timeAxis);

    // A new run polled every periodSeconds: empty, the time axis 0 to 40 periods wide.
    void Restart(int periodSeconds);
    // Empties the chart; the axis stays.
    void Clear();
    // A reading at x seconds. While the axis follows the newest reading, it shows the
    // latest window of time once the run outlasts the window; while the operator looks
    // at an earlier stretch, the axis stays there.
    void Add(const QPointF& point);

    // Moves the time axis by `seconds` (negative: back in time), no further than the run's
    // start or its newest reading; the voltage axis stays. Brought to the newest reading,
    // the axis follows new readings again.
    void Pan(double seconds);
    bool FollowsNewest() const { return FFollow; }

    // The context menu: "Save chart as…" (SaveImage) and "Export readings to CSV…", which
    // triggers `exportReadings`. `boxes` gives the window's current message boxes.
    void InstallMenu(QAction* exportReadings, std::function<IMessageBoxes&()> boxes);
    // Writes the chart as the view shows it: SVG when `path` ends in ".svg" (any case), PNG
    // otherwise. A failure is shown through `boxes` and leaves an earlier file intact.
    bool SaveImage(const QString& path, IMessageBoxes& boxes) const;

    const std::vector<QPointF>& Points() const { return FPoints; }
    int WindowSeconds() const { return FWindow; }

protected:
    // Dragging with the left button pans the time axis.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The series anew from FPoints for the axis' range.
    void Refill();

    QChartView* FView;
    QLineSeries* FSeries;
    QValueAxis* FAxis;
    int FWindow = 0; // visible width of the time axis once the run is longer
    bool FFollow = true; // the axis moves with the newest reading
    std::vector<QPointF> FPoints; // every reading of the run, time ascending
    QList<QPointF> FShown; // what the series holds: FPoints in the axis' range, folded
    double FDragX = 0; // the view position a drag last moved the axis to
    bool FDragging = false;
};
