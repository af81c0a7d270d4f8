#include "ui/TimeAxisLabels.h"

#include <QCategoryAxis>
#include <QChart>
#include <QFontMetricsF>
#include <QValueAxis>
#include <array>
#include <cmath>

namespace {

// Room a label needs along the axis, in pixels of the plot.
constexpr double kSecondsLabelWidth = 60;
constexpr double kClockLabelWidth = 70;

// The smallest round step of time (seconds, minutes, hours, then days) not below `at_least`.
double RoundStep(double atLeast)
{
    static constexpr std::array<double, 21> steps { 1, 2, 5, 10, 15, 20, 30, 60, 120, 300, 600, 900, 1200,
        1800, 3600, 7200, 10800, 14400, 21600, 43200, 86400 };
    for (const double step : steps) {
        if (step >= atLeast)
            return step;
    }
    double days = 1;
    while (true) {
        for (const double factor : { 2.0, 5.0, 10.0 }) {
            if (86400 * days * factor >= atLeast)
                return 86400 * days * factor;
        }
        days *= 10;
    }
}

// Ticks every `step` from 0 over min to max. The axis makes an item for every tick as soon
// as its range or step changes, so the range and the step change in the order that never
// asks for more ticks than either the old or the new setting has.
void SetDynamicTicks(QValueAxis* axis, double min, double max, double step)
{
    const bool wider = axis->tickType() != QValueAxis::TicksDynamic || step > axis->tickInterval();
    if (wider)
        axis->setTickInterval(step);
    axis->setTickAnchor(0);
    axis->setTickType(QValueAxis::TicksDynamic);
    axis->setRange(min, max);
    axis->setTickInterval(step);
}

} // namespace

void SetRoundRange(QValueAxis* axis, double min, double max, double pixels, double labelRoom)
{
    const double span = max - min;
    if (!(span > 0)) {
        axis->setRange(min, max);
        return;
    }
    const double wanted = span / std::max(1.0, std::floor(pixels / labelRoom));
    const double power = std::pow(10.0, std::floor(std::log10(wanted)));
    double step = 10 * power;
    for (const double factor : { 1.0, 2.0, 5.0 }) {
        if (factor * power >= wanted) {
            step = factor * power;
            break;
        }
    }
    const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
    axis->setLabelFormat(QStringLiteral("%.") + QString::number(decimals) + u'f');
    SetDynamicTicks(axis, min, max, step);
}

QString ClockText(double seconds)
{
    const double whole = std::round(std::abs(seconds));
    const auto hours = static_cast<long long>(whole / 3600);
    const int minutes = static_cast<int>(std::fmod(whole, 3600) / 60);
    const int secs = static_cast<int>(std::fmod(whole, 60));
    return QStringLiteral("%1%2:%3:%4")
        .arg(seconds <= -0.5 ? QStringLiteral("-") : QString())
        .arg(hours)
        .arg(minutes, 2, 10, QLatin1Char('0'))
        .arg(secs, 2, 10, QLatin1Char('0'));
}

TimeAxisLabels::TimeAxisLabels(QChart* chart, QValueAxis* seconds)
    : QObject(seconds)
    , FChart(chart)
    , FSeconds(seconds)
    , FClock(new QCategoryAxis(chart))
{
    FClock->setObjectName(seconds->objectName() + QStringLiteral("Clock"));
    FClock->setTitleText(QStringLiteral("h:mm:ss"));
    FClock->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    FClock->setLabelsFont(seconds->labelsFont());
    FClock->setTitleFont(seconds->titleFont());
    FClock->setLabelsBrush(seconds->labelsBrush());
    FClock->setTitleBrush(seconds->titleBrush());
    FClock->setGridLinePen(seconds->gridLinePen());
    FClock->setLinePen(seconds->linePen());
    FClock->setVisible(false);
    seconds->setLabelFormat(QStringLiteral("%.0f"));
    chart->addAxis(FClock, Qt::AlignBottom);
    connect(seconds, &QValueAxis::rangeChanged, this, &TimeAxisLabels::Update);
    Update();
}

bool TimeAxisLabels::ShowsClock() const
{
    return FClock->isVisible();
}

void TimeAxisLabels::SetRange(double min, double max)
{
    SetDynamicTicks(FSeconds, min, max, Step(min, max));
    Update();
}

bool TimeAxisLabels::PlotLaidOut() const
{
    return FChart->plotArea().width() >= 50;
}

double TimeAxisLabels::PlotWidth() const
{
    // Before the chart's first layout its plot has no width: guess from the chart's.
    return PlotLaidOut() ? FChart->plotArea().width() : std::max(50.0, FChart->size().width() * 0.8);
}

double TimeAxisLabels::Step(double min, double max) const
{
    const double span = max - min;
    const double room = span > kClockAboveSeconds ? kClockLabelWidth : kSecondsLabelWidth;
    return RoundStep(span / std::max(1.0, std::floor(PlotWidth() / room)));
}

void TimeAxisLabels::Update()
{
    const double min = FSeconds->min();
    const double max = FSeconds->max();
    const double step = Step(min, max);
    // Hidden or not, the seconds axis makes an item for every tick: its step follows the
    // range either way.
    SetDynamicTicks(FSeconds, min, max, step);
    if (max - min <= kClockAboveSeconds) {
        FClock->setVisible(false);
        FSeconds->setVisible(true);
        return;
    }
    FSeconds->setVisible(false);
    FClock->setVisible(true);
    FClock->setRange(min, max);
    const double first = std::ceil(min / step) * step;
    int count = static_cast<int>(std::floor((max - first) / step)) + 1;
    // A label is centred on its time: the last one, nearer the plot's right end than half
    // its width, would be cut at the chart's edge (a whole run ends on a round hour), so
    // it is left out; its grid line is at or near the plot's edge.
    const double roomRight
        = PlotLaidOut() ? FChart->size().width() - FChart->plotArea().right() : FChart->margins().right();
    const QFontMetricsF metrics(FClock->labelsFont());
    while (count > 1) {
        const double last = first + (count - 1) * step;
        if (metrics.horizontalAdvance(ClockText(last)) / 2
            <= PlotWidth() * (max - last) / (max - min) + roomRight)
            break;
        --count;
    }
    if (step == FStep && first == FFirst && FClock->count() == count)
        return;
    for (const QString& label : FClock->categoriesLabels())
        FClock->remove(label);
    // The categories' start lies left of the range, so no grid line is drawn at the edge.
    FClock->setStartValue(first - step);
    for (int i = 0; i < count; ++i)
        FClock->append(ClockText(first + i * step), first + i * step);
    FStep = step;
    FFirst = first;
}
