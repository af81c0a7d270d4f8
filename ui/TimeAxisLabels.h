#pragma once
// Labels a chart's time axis (seconds) at round steps, and as h:mm:ss once it spans more
// than an hour. A value axis prints numbers only, so beyond an hour a category axis with
// the same range takes over the labels and the grid while the seconds axis is hidden; the
// series stay attached to the seconds axis, which still places their points.
#include <QObject>
#include <QString>

class QCategoryAxis;
class QChart;
class QValueAxis;

// Sets the range of `axis` with ticks at a round step (1, 2 or 5 times a power of ten), as
// many as fit `pixels` with `labelRoom` pixels for each label, labelled with the step's
// decimals.
void SetRoundRange(QValueAxis* axis, double min, double max, double pixels, double labelRoom);

// "h:mm:ss" of a time in seconds, the hours counting on past a day ("26:00:00").
QString ClockText(double seconds);

class TimeAxisLabels : public QObject
{
    Q_OBJECT
public:
    static constexpr double kClockAboveSeconds = 3600;

    // Adds the clock axis to `chart` beside `seconds` (already on the chart, at its bottom)
    // and follows the range of `seconds` from now on. Both axes belong to the chart.
    TimeAxisLabels(QChart* chart, QValueAxis* seconds);

    bool ShowsClock() const;
    QCategoryAxis* ClockAxis() const { return FClock; }
    // Sets the seconds axis' range. Prefer it to setting the range directly, which draws
    // the axis once with the step of the old range.
    void SetRange(double min, double max);
    // Lays the labels out anew for the seconds axis' range and the plot's width.
    void Update();

private:
    // Whether the chart has laid its plot out yet.
    bool PlotLaidOut() const;
    // The plot's width in pixels, or a guess before its first layout.
    double PlotWidth() const;
    // The labels' step for a range at the plot's width.
    double Step(double min, double max) const;

    QChart* FChart;
    QValueAxis* FSeconds;
    QCategoryAxis* FClock;
    double FStep = 0; // the clock axis' labels: every FStep seconds from FFirst
    double FFirst = 0;
};
