#pragma once
// The battery run's voltage over time. Every reading of a run is kept in time order, as
// pairs of doubles in one array; the series holds only what the time axis shows.
//
// Views: the live view (the default) shows the latest 40 test periods against the
// voltage axis the window set up, and follows new readings; "Whole run" (a double-click
// on the chart, or End) spans the whole run with the voltage axis fitted to the readings,
// and stays so as readings come. The mouse wheel zooms the time axis around the pointer,
// dragging pans it, Home returns to the live view; + and - zoom, the arrow keys pan. A
// stretch wider than a few readings per pixel is drawn thinned to the first, lowest,
// highest and last reading of each pixel column, so the curve's envelope stays exact and
// a redraw costs the plot's width, not the run's length.
//
// The view's context menu switches the views, saves the whole run or the visible span as
// a picture, and offers the battery grid's CSV export.
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointF>
#include <QValueAxis>
#include <functional>
#include <memory>
#include <vector>

class ChartPicture;
class IMessageBoxes;
class QAction;
class QChartView;
class QLineSeries;
class QWidget;
class TimeAxisLabels;
struct AxisRange;

// What a saved picture shows.
enum class ChartSpan {
    WholeRun,
    Visible,
};

class BatteryChart : public QObject
{
    Q_OBJECT
public:
    // `view` shows `series` against `timeAxis` and a voltage axis; all outlive the chart.
    BatteryChart(QChartView* view, QLineSeries* series, QValueAxis* timeAxis);
    ~BatteryChart() override;

    // A new run polled every periodSeconds: empty, in the live view, the time axis 0 to
    // 40 periods wide.
    void Restart(int periodSeconds);
    // Empties the chart; the axes stay.
    void Clear();
    // A reading at x seconds. While the axis follows the newest reading, it shows the
    // latest stretch of time once the run outlasts it; while the operator looks at an
    // earlier stretch, the axis stays there.
    void Add(const QPointF& point);

    // ---- what the chart shows

    // The latest 40 test periods against the voltage axis the window set, following new
    // readings (Home).
    void ShowLiveView();
    // The whole run, the voltage axis fitted to its readings (a double-click).
    void ShowWholeRun();
    bool WholeRunShown() const { return FWholeRun; }
    // Moves the time axis by `seconds` (negative: back in time), no further than the run's
    // start or its newest reading; its width and the voltage axis stay. Brought to the
    // newest reading, the axis follows new readings again.
    void Pan(double seconds);
    // Scales the time axis' width by `factor` (below 1: closer), keeping the time
    // `aroundSeconds` where it is on the plot; between 10 s and the whole run wide.
    void Zoom(double factor, double aroundSeconds);
    bool FollowsNewest() const { return FFollow; }

    // ---- pictures

    // The context menu: "Whole run", "Live view", "Save chart as" (whole run or visible
    // span) and "Export readings to CSV…", which triggers `exportReadings`. `boxes` gives
    // the window's current message boxes, which also show SaveChartAs' failures.
    void InstallMenu(QAction* exportReadings, std::function<IMessageBoxes&()> boxes);
    // Asks for a file (PNG or SVG) in a dialog over `dialogParent` and saves `span` there.
    // True when the file was written; false when the operator cancelled or it could not be
    // written (then the message boxes given to InstallMenu say why).
    bool SaveChartAs(ChartSpan span, QWidget* dialogParent);
    // Writes `span` as a 1600 x 1000 picture: SVG when `path` ends in ".svg" (any case),
    // PNG otherwise. A failure is shown through `boxes` and leaves an earlier file intact.
    bool SaveImage(const QString& path, ChartSpan span, IMessageBoxes& boxes) const;
    // The chart a saved picture of `span` shows.
    std::unique_ptr<ChartPicture> Picture(ChartSpan span) const;

    const std::vector<QPointF>& Points() const { return FPoints; }
    int WindowSeconds() const { return FWindow; }
    // The labels of the time axis (h:mm:ss beyond an hour).
    const TimeAxisLabels& TimeLabels() const { return *FLabels; }

signals:
    // The view changed between live, whole run and a zoomed or panned stretch.
    void ViewChanged();

protected:
    // Dragging with the left button pans the time axis, the wheel zooms it, a double-click
    // switches between the whole run and the live view; keys on the view.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    AxisRange WholeRunTimes() const;
    AxisRange FittedVolts() const;
    // The earliest start of the time axis the run allows.
    double RunStart() const;
    // The latest start of a time axis `span` wide that still reaches the newest reading.
    double LatestStart(double span) const;
    void SetTimes(AxisRange range);
    void SetVolts(AxisRange range);
    void VoltsChanged(double min, double max);
    // The plot's width in pixels: the columns a thinned stretch is drawn in.
    int Columns() const;
    // The series anew from FPoints for the time axis' range.
    void Refill();
    // The readings' marks while they are at least 4 pixels apart on average.
    void ShowMarks(int columns);
    double TimeAt(double viewX) const;

    QChartView* FView;
    QLineSeries* FSeries;
    QValueAxis* FAxis; // time
    QValueAxis* FVolts;
    TimeAxisLabels* FLabels; // owned by FAxis
    QImage FMarker;
    int FWindow = 40; // width of the live view's time axis, seconds
    bool FFollow = true; // the axis moves with the newest reading
    bool FWholeRun = false; // the axis spans the whole run
    bool FFitVolts = false; // the voltage axis fits the readings
    bool FSettingVolts = false; // the voltage axis is being set here, not by the window
    double FLiveVoltsMin = 0; // the window's voltage axis, back in the live view
    double FLiveVoltsMax = 1;
    QValueAxis::TickType FLiveVoltsTicks; // and its ticks
    QString FLiveVoltsFormat;
    std::vector<QPointF> FPoints; // every reading of the run, time ascending
    double FLowest = 0; // the lowest and highest voltage of FPoints
    double FHighest = 0;
    QList<QPointF> FShown; // what the series holds
    int FColumns = 0; // the plot's width FShown was thinned for
    std::function<IMessageBoxes&()> FBoxes; // the window's, for a failed save
    double FDragX = 0; // the view position a drag last moved the axis to
    bool FDragging = false;
};
