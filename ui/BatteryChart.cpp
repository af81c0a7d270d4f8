#include "ui/BatteryChart.h"

#include "ui/ChartPicture.h"
#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"
#include "ui/TimeAxisLabels.h"
#include "workflows/TestRules.h"

#include <QAction>
#include <QChartView>
#include <QDir>
#include <QFileInfo>
#include <QImageWriter>
#include <QKeyEvent>
#include <QLineSeries>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QSaveFile>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <utility>

namespace {

const QColor kPointColour(224, 104, 3);
// The narrowest time axis the wheel zooms to.
constexpr double kMinSpanSeconds = 10;
// A wheel notch (or a key) zooms by this factor.
constexpr double kZoomStep = 0.8;
// Height a label of the fitted voltage axis needs in the window's small plot.
constexpr double kVoltLabelRoom = 20;

// The series draws this image at every reading; its line keeps the series' own colour.
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

bool IsSvg(const QString& path)
{
    return QFileInfo(path).suffix().compare(QLatin1String("svg"), Qt::CaseInsensitive) == 0;
}

QValueAxis* VoltageAxisOf(QLineSeries* series)
{
    for (QAbstractAxis* axis : series->attachedAxes()) {
        if (axis->orientation() == Qt::Vertical)
            return qobject_cast<QValueAxis*>(axis);
    }
    return nullptr;
}

} // namespace

BatteryChart::BatteryChart(QChartView* view, QLineSeries* series, QValueAxis* timeAxis)
    : FView(view)
    , FSeries(series)
    , FAxis(timeAxis)
    , FVolts(VoltageAxisOf(series))
    , FLabels(new TimeAxisLabels(view->chart(), timeAxis))
    , FMarker(PointMarker())
    , FLiveVoltsMin(FVolts->min())
    , FLiveVoltsMax(FVolts->max())
    , FLiveVoltsTicks(FVolts->tickType())
    , FLiveVoltsFormat(FVolts->labelFormat())
{
    FSeries->setLightMarker(FMarker);
    FSeries->setMarkerSize(FMarker.width());
    FSeries->setPointsVisible(true);
    FSeries->setPointLabelsVisible(false);
    connect(FVolts, &QValueAxis::rangeChanged, this, &BatteryChart::VoltsChanged);
    // The labels' width moves the plot's edges; a stretch thinned for another width is
    // thinned anew once the width has changed by more than an eighth.
    connect(FView->chart(), &QChart::plotAreaChanged, this, [this](const QRectF& plot) {
        if (FColumns > 0 && std::abs(plot.width() - FColumns) > FColumns / 8.0)
            Refill();
    });
    FView->installEventFilter(this);
    FView->viewport()->installEventFilter(this);
}

BatteryChart::~BatteryChart() = default;

void BatteryChart::Restart(int periodSeconds)
{
    Clear();
    FWindow = periodSeconds * 40;
    ShowLiveView();
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
    const bool inOrder = FPoints.empty() || FPoints.back().x() <= point.x();
    const bool extreme = FPoints.empty() || point.y() < FLowest || point.y() > FHighest;
    if (FPoints.empty()) {
        FLowest = FHighest = point.y();
    } else {
        FLowest = std::min(FLowest, point.y());
        FHighest = std::max(FHighest, point.y());
    }
    if (inOrder) {
        FPoints.push_back(point);
    } else {
        // The instrument's time went back: keep the points in time order and show the
        // stretch afresh (a rare, whole-stretch rebuild).
        FPoints.insert(std::upper_bound(FPoints.begin(), FPoints.end(), point,
                           [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); }),
            point);
    }
    if (FFitVolts && extreme)
        SetVolts(FittedVolts());
    if (FWholeRun) {
        SetTimes(WholeRunTimes());
        Refill();
        return;
    }
    if (!inOrder) {
        Refill();
        return;
    }
    const double span = FAxis->max() - FAxis->min();
    if (FFollow && point.x() > FAxis->max())
        SetTimes({ point.x() - span, point.x() });
    // Looking back, the series already ends past the axis: a newer reading changes
    // nothing there.
    if (!FFollow)
        return;
    const int columns = Columns();
    if (FShown.size() < 4 * columns) {
        // The live view's way: a reading costs the same however long the run.
        AddWindowPoint(FShown, point, FAxis->min());
        FSeries->replace(FShown);
        ShowMarks(columns);
    } else {
        Refill();
    }
}

void BatteryChart::ShowLiveView()
{
    FWholeRun = false;
    FFitVolts = false;
    FFollow = true;
    SetVolts({ FLiveVoltsMin, FLiveVoltsMax });
    const double start = FPoints.empty() ? 0 : std::max(RunStart(), FPoints.back().x() - FWindow);
    SetTimes({ start, start + FWindow });
    Refill();
    emit ViewChanged();
}

void BatteryChart::ShowWholeRun()
{
    FWholeRun = true;
    FFitVolts = true;
    FFollow = true;
    SetVolts(FittedVolts());
    SetTimes(WholeRunTimes());
    Refill();
    emit ViewChanged();
}

void BatteryChart::Pan(double seconds)
{
    if (FPoints.empty())
        return;
    const double span = FAxis->max() - FAxis->min();
    const double latest = std::max(LatestStart(span), FAxis->min());
    const double min = std::clamp(FAxis->min() + seconds, RunStart(), latest);
    FFollow = min >= LatestStart(span);
    if (min == FAxis->min())
        return;
    FWholeRun = false;
    SetTimes({ min, min + span });
    Refill();
    emit ViewChanged();
}

void BatteryChart::Zoom(double factor, double aroundSeconds)
{
    const double span = FAxis->max() - FAxis->min();
    const AxisRange run = WholeRunTimes();
    const double widest = std::max({ run.max - run.min, double(FWindow), span });
    const double width = std::clamp(span * factor, std::min(kMinSpanSeconds, widest), widest);
    if (width == span || span <= 0)
        return;
    const double around = std::clamp(aroundSeconds, FAxis->min(), FAxis->max());
    // The right edge may stay where it was, past the newest reading.
    const double latest = std::max(LatestStart(width), FAxis->max() - width);
    const double min = std::clamp(around - (around - FAxis->min()) * width / span, RunStart(), latest);
    FWholeRun = false;
    FFollow = min >= LatestStart(width);
    SetTimes({ min, min + width });
    Refill();
    emit ViewChanged();
}

AxisRange BatteryChart::WholeRunTimes() const
{
    if (FPoints.empty())
        return { 0, double(FWindow) };
    const double start = RunStart();
    return { start, std::max(FPoints.back().x(), start + kMinSpanSeconds) };
}

AxisRange BatteryChart::FittedVolts() const
{
    if (FPoints.empty())
        return { FLiveVoltsMin, FLiveVoltsMax };
    const double margin = std::max(0.05 * (FHighest - FLowest), 0.1);
    return { FLowest - margin, FHighest + margin };
}

double BatteryChart::RunStart() const
{
    return FPoints.empty() ? 0 : std::min(0.0, FPoints.front().x());
}

double BatteryChart::LatestStart(double span) const
{
    return FPoints.empty() ? RunStart() : std::max(RunStart(), FPoints.back().x() - span);
}

void BatteryChart::SetTimes(AxisRange range)
{
    FLabels->SetRange(range.min, range.max);
}

void BatteryChart::SetVolts(AxisRange range)
{
    FSettingVolts = true;
    if (FFitVolts) {
        // A fitted axis starts anywhere: round steps keep its labels readable.
        SetRoundRange(FVolts, range.min, range.max, FView->chart()->plotArea().height(), kVoltLabelRoom);
    } else {
        FVolts->setTickType(FLiveVoltsTicks);
        FVolts->setLabelFormat(FLiveVoltsFormat);
        FVolts->setRange(range.min, range.max);
    }
    FSettingVolts = false;
}

void BatteryChart::VoltsChanged(double min, double max)
{
    if (FSettingVolts)
        return;
    // The window set its voltage axis ("Set up"): the live view's from now on. Over a
    // fitted axis, the end the window left as it was is the fit's, not the window's.
    if (!FFitVolts) {
        FLiveVoltsMin = min;
        FLiveVoltsMax = max;
        return;
    }
    const AxisRange fitted = FittedVolts();
    if (min != fitted.min)
        FLiveVoltsMin = min;
    if (max != fitted.max)
        FLiveVoltsMax = max;
    SetVolts(fitted);
}

int BatteryChart::Columns() const
{
    const double plot = FView->chart()->plotArea().width();
    // Before its first layout the plot has no width: the view's stands in.
    return std::max(1, static_cast<int>(plot >= 10 ? plot : FView->width()));
}

void BatteryChart::Refill()
{
    FColumns = Columns();
    FShown = ColumnPoints(FPoints, FAxis->min(), FAxis->max(), FColumns);
    FSeries->replace(FShown);
    ShowMarks(FColumns);
}

void BatteryChart::ShowMarks(int columns)
{
    const bool room = FShown.size() * 4 <= columns;
    if (room == FSeries->pointsVisible())
        return;
    // The light marker is drawn whatever the points' visibility: no marker, no marks.
    FSeries->setLightMarker(room ? FMarker : QImage());
    FSeries->setPointsVisible(room);
}

double BatteryChart::TimeAt(double viewX) const
{
    const QRectF plot = FView->chart()->plotArea();
    const QPointF inChart = FView->chart()->mapFromScene(FView->mapToScene(QPoint(qRound(viewX), 0)));
    if (plot.width() <= 0)
        return (FAxis->min() + FAxis->max()) / 2;
    const double share = std::clamp((inChart.x() - plot.left()) / plot.width(), 0.0, 1.0);
    return FAxis->min() + share * (FAxis->max() - FAxis->min());
}

bool BatteryChart::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == FView && event->type() == QEvent::KeyPress) {
        const double span = FAxis->max() - FAxis->min();
        const double middle = (FAxis->min() + FAxis->max()) / 2;
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Home:
            ShowLiveView();
            return true;
        case Qt::Key_End:
            ShowWholeRun();
            return true;
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            Zoom(kZoomStep, middle);
            return true;
        case Qt::Key_Minus:
            Zoom(1 / kZoomStep, middle);
            return true;
        case Qt::Key_Left:
            Pan(-span / 10);
            return true;
        case Qt::Key_Right:
            Pan(span / 10);
            return true;
        default:
            break;
        }
    }
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
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton)
            break;
        if (FWholeRun)
            ShowLiveView();
        else
            ShowWholeRun();
        return true;
    case QEvent::Wheel: {
        const auto* wheel = static_cast<QWheelEvent*>(event);
        const int notches = wheel->angleDelta().y();
        if (notches == 0)
            break;
        // Away from the operator (up): closer.
        Zoom(std::pow(kZoomStep, notches / 120.0), TimeAt(wheel->position().x()));
        return true;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void BatteryChart::InstallMenu(QAction* exportReadings, std::function<IMessageBoxes&()> boxes)
{
    FBoxes = std::move(boxes);
    auto* wholeRun = new QAction(QStringLiteral("Whole run"), FView);
    wholeRun->setCheckable(true);
    connect(wholeRun, &QAction::triggered, this, [this](bool on) {
        if (on)
            ShowWholeRun();
        else
            ShowLiveView();
    });
    connect(
        this, &BatteryChart::ViewChanged, wholeRun, [this, wholeRun] { wholeRun->setChecked(FWholeRun); });
    auto* live = new QAction(QStringLiteral("Live view"), FView);
    connect(live, &QAction::triggered, this, &BatteryChart::ShowLiveView);
    auto* separator = new QAction(FView);
    separator->setSeparator(true);

    auto* saveMenu = new QMenu(FView);
    const std::pair<const char*, ChartSpan> spans[]
        = { { "Whole run…", ChartSpan::WholeRun }, { "Visible span…", ChartSpan::Visible } };
    for (const auto& [text, span] : spans) {
        connect(saveMenu->addAction(QString::fromUtf8(text)), &QAction::triggered, this,
            [this, span = span] { SaveChartAs(span, FView); });
    }
    auto* save = new QAction(QStringLiteral("Save chart as"), FView);
    save->setMenu(saveMenu);
    auto* exportCsv = new QAction(QStringLiteral("Export readings to CSV…"), FView);
    connect(exportCsv, &QAction::triggered, exportReadings, &QAction::trigger);
    FView->addActions({ wholeRun, live, separator, save, exportCsv });
    FView->setContextMenuPolicy(Qt::ActionsContextMenu);
}

bool BatteryChart::SaveChartAs(ChartSpan span, QWidget* dialogParent)
{
    const auto chosen = AskFileToSave(dialogParent,
        { span == ChartSpan::WholeRun ? QStringLiteral("Save the whole run as")
                                      : QStringLiteral("Save the visible span as"),
            QStringLiteral("battery.png"), QStringLiteral("PNG image (*.png);;SVG image (*.svg)"), {} });
    if (!chosen)
        return false;
    QString path = *chosen;
    // The name says what the file holds: one with another suffix gets the picture's.
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != u"png" && suffix != u"svg")
        path += QStringLiteral(".png");
    return SaveImage(path, span, FBoxes());
}

std::unique_ptr<ChartPicture> BatteryChart::Picture(ChartSpan span) const
{
    const bool whole = span == ChartSpan::WholeRun;
    return std::make_unique<ChartPicture>(*FView->chart(), *FSeries, FMarker, FPoints,
        whole ? WholeRunTimes() : AxisRange { FAxis->min(), FAxis->max() },
        whole ? FittedVolts() : AxisRange { FVolts->min(), FVolts->max() });
}

bool BatteryChart::SaveImage(const QString& path, ChartSpan span, IMessageBoxes& boxes) const
{
    QString reason;
    QSaveFile file(path);
    if (QFileInfo(path).isDir()) {
        reason = QStringLiteral("this is a folder");
    } else if (!file.open(QIODevice::WriteOnly)) {
        reason = file.errorString();
    } else if (IsSvg(path)) {
        Picture(span)->WriteSvg(file);
    } else {
        QImageWriter png(&file, "png");
        if (!png.write(Picture(span)->Image()))
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
