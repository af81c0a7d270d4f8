#include "ui/AnalysisView.h"

#include "ui/ToolTips.h"
#include "workflows/ProgramInfo.h"

#include <QChart>
#include <QChartView>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QSplitter>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

namespace {

// Points a curve is drawn with: a few per pixel column of a wide chart.
constexpr int kDrawnPoints = 4000;
// dQ/dV's bins; the smoothing is the spin box's.
constexpr double kBinVolts = 0.001;

QChartView* MakeChart(
    QWidget* parent, const char* name, const QString& title, const QString& xTitle, const QString& yTitle)
{
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    auto* x = new QValueAxis(chart);
    x->setTitleText(xTitle);
    auto* y = new QValueAxis(chart);
    y->setTitleText(yTitle);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    auto* view = new QChartView(chart, parent);
    view->setObjectName(QString::fromLatin1(name));
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumSize(360, 260);
    return view;
}

QValueAxis* Axis(QChartView* view, Qt::Orientation orientation)
{
    return qobject_cast<QValueAxis*>(view->chart()->axes(orientation).value(0));
}

// Fits `axis` to [low, high] with a little room, or a unit range around a single value;
// from zero when `fromZero` (capacity and dQ/dV are never negative).
void Fit(QValueAxis* axis, double low, double high, bool fromZero = false)
{
    if (!(low <= high)) {
        axis->setRange(0, 1);
        return;
    }
    const double room = high > low ? (high - low) * 0.04 : std::max(std::abs(low) * 0.05, 0.5);
    axis->setRange(fromZero ? 0 : low - room, high + room);
    axis->applyNiceNumbers();
}

struct Extent
{
    double xLow = INFINITY, xHigh = -INFINITY, yLow = INFINITY, yHigh = -INFINITY;
    void Take(const QList<QPointF>& points)
    {
        for (const QPointF& p : points) {
            xLow = std::min(xLow, p.x());
            xHigh = std::max(xHigh, p.x());
            yLow = std::min(yLow, p.y());
            yHigh = std::max(yHigh, p.y());
        }
    }
};

void AddCurve(QChartView* view, const QString& name, const std::vector<QPointF>& curve, Extent& extent)
{
    auto* series = new QLineSeries(view->chart());
    series->setName(name);
    const std::vector<QPointF> thin = ThinForDrawing(curve, kDrawnPoints);
    const QList<QPointF> points(thin.begin(), thin.end());
    series->replace(points);
    extent.Take(points);
    view->chart()->addSeries(series);
    series->attachAxis(Axis(view, Qt::Horizontal));
    series->attachAxis(Axis(view, Qt::Vertical));
}

QString FirstLine(const QString& text)
{
    for (const QString& line : text.split(u'\n')) {
        const QString step = line.section(u'#', 0, 0).trimmed();
        if (!step.isEmpty())
            return step;
    }
    return {};
}

} // namespace

QString AnalysisRunCaption(const AnalysisRun& run)
{
    QStringList parts;
    if (!run.station.isEmpty())
        parts << run.station;
    if (run.started.isValid())
        parts << run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    else if (!run.label.isEmpty())
        parts << run.label;
    parts << (run.profile.isEmpty() ? QStringLiteral("battery run") : FirstLine(run.profile));
    return parts.join(QStringLiteral(", "));
}

AnalysisView::AnalysisView(AnalysisRun run, const EarlierRuns& earlierRuns, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , FRun(std::move(run))
{
    setObjectName(QStringLiteral("AnalysisView"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(
        QStringLiteral("Analysis: ") + AnalysisRunCaption(FRun) + QStringLiteral(" - ") + kAppTitle);

    AnalysisCapacityChart = MakeChart(this, "AnalysisCapacityChart",
        QStringLiteral("Voltage against capacity"), QStringLiteral("Ah"), QStringLiteral("V"));
    AnalysisIcaChart = MakeChart(this, "AnalysisIcaChart", QStringLiteral("Incremental capacity dQ/dV"),
        QStringLiteral("V"), QStringLiteral("Ah/V"));
    AnalysisSmoothing = new QSpinBox(this);
    AnalysisSmoothing->setObjectName(QStringLiteral("AnalysisSmoothing"));
    AnalysisSmoothing->setRange(1, 500);
    AnalysisSmoothing->setValue(20);
    AnalysisSmoothing->setSuffix(QStringLiteral(" mV"));
    AnalysisSmoothing->setKeyboardTracking(false);
    AnalysisEarlierRuns = new QListWidget(this);
    AnalysisEarlierRuns->setObjectName(QStringLiteral("AnalysisEarlierRuns"));
    AnalysisSummary = new QLabel(this);
    AnalysisSummary->setObjectName(QStringLiteral("AnalysisSummary"));

    auto* side = new QVBoxLayout;
    auto* smoothingRow = new QHBoxLayout;
    auto* smoothingLabel = new QLabel(QStringLiteral("dQ/dV smoothing:"), this);
    smoothingLabel->setBuddy(AnalysisSmoothing);
    smoothingRow->addWidget(smoothingLabel);
    smoothingRow->addWidget(AnalysisSmoothing);
    side->addLayout(smoothingRow);
    side->addWidget(new QLabel(QStringLiteral("Compare with earlier runs:"), this));
    side->addWidget(AnalysisEarlierRuns, 1);
    side->addWidget(AnalysisSummary);
    auto* charts = new QVBoxLayout;
    charts->addWidget(AnalysisCapacityChart, 1);
    charts->addWidget(AnalysisIcaChart, 1);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(charts, 3);
    layout->addLayout(side, 1);
    resize(900, 640);

    if (earlierRuns) {
        for (AnalysisRun& earlier : earlierRuns()) {
            if (earlier.label == FRun.label && earlier.station == FRun.station)
                continue;
            FEarlier.push_back(std::move(earlier));
        }
    }
    for (const AnalysisRun& earlier : FEarlier) {
        auto* item = new QListWidgetItem(AnalysisRunCaption(earlier), AnalysisEarlierRuns);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
        item->setToolTip(earlier.profile.isEmpty() ? earlier.label : earlier.profile.trimmed());
    }
    if (FEarlier.empty()) {
        AnalysisEarlierRuns->addItem(QStringLiteral("No earlier runs stored"));
        AnalysisEarlierRuns->setEnabled(false);
    }

    const double taken = FRun.points.empty() ? 0 : VoltageAgainstCapacity(FRun.points).back().x();
    AnalysisSummary->setText(
        QStringLiteral("%1 readings, %2 Ah").arg(FRun.points.size()).arg(taken, 0, 'f', 3));
    ApplyToolTips(*this);

    connect(AnalysisSmoothing, &QSpinBox::valueChanged, this, &AnalysisView::Redraw);
    connect(AnalysisEarlierRuns, &QListWidget::itemChanged, this, &AnalysisView::Redraw);
    Redraw();
}

std::vector<const AnalysisRun*> AnalysisView::Drawn() const
{
    std::vector<const AnalysisRun*> drawn { &FRun };
    for (size_t n = 0; n < FEarlier.size(); ++n) {
        if (AnalysisEarlierRuns->item(static_cast<int>(n))->checkState() == Qt::Checked)
            drawn.push_back(&FEarlier[n]);
    }
    return drawn;
}

int AnalysisView::SmoothingMillivolts() const
{
    return AnalysisSmoothing->value();
}

void AnalysisView::setSmoothingMillivolts(int millivolts)
{
    AnalysisSmoothing->setValue(millivolts);
}

void AnalysisView::Redraw()
{
    for (QChartView* view : { AnalysisCapacityChart, AnalysisIcaChart })
        view->chart()->removeAllSeries();
    const IncrementalCapacityOptions options { kBinVolts, SmoothingMillivolts() / 1000.0 };
    Extent capacity, ica;
    for (AnalysisRun& earlier : FEarlier) {
        const auto item = AnalysisEarlierRuns->item(static_cast<int>(&earlier - FEarlier.data()));
        if (item->checkState() != Qt::Checked || !earlier.loadPoints)
            continue;
        // Read once, when first ticked; a run that cannot be read is unticked and says why.
        const auto load = std::exchange(earlier.loadPoints, nullptr);
        try {
            earlier.points = load();
        } catch (const std::exception& error) {
            const QSignalBlocker quiet(AnalysisEarlierRuns);
            item->setCheckState(Qt::Unchecked);
            earlier.loadPoints = load;
            AnalysisSummary->setText(QStringLiteral("%1 could not be read: %2")
                                         .arg(AnalysisRunCaption(earlier), QString::fromUtf8(error.what())));
        }
    }
    for (const AnalysisRun* run : Drawn()) {
        const QString name = run == &FRun ? QStringLiteral("this run") : AnalysisRunCaption(*run);
        AddCurve(AnalysisCapacityChart, name, VoltageAgainstCapacity(run->points), capacity);
        AddCurve(AnalysisIcaChart, name, IncrementalCapacity(run->points, options), ica);
    }
    Fit(Axis(AnalysisCapacityChart, Qt::Horizontal), capacity.xLow, capacity.xHigh, true);
    Fit(Axis(AnalysisCapacityChart, Qt::Vertical), capacity.yLow, capacity.yHigh);
    Fit(Axis(AnalysisIcaChart, Qt::Horizontal), ica.xLow, ica.xHigh);
    Fit(Axis(AnalysisIcaChart, Qt::Vertical), ica.yLow, ica.yHigh, true);
}
