// Painting a run report on a PDF. What it reads from the stored rows is in RunReportRows.cpp.
#include "store/RunReport.h"

#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QSaveFile>
#include <algorithm>
#include <cmath>

namespace {

// ---- numbers as the report writes them

QString Fixed(double value, int decimals)
{
    return std::isnan(value) ? QStringLiteral("–") : QString::number(value, 'f', decimals);
}

QString Duration(double seconds)
{
    const qint64 s = std::llround(std::max(seconds, 0.0));
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString When(const QDateTime& when)
{
    return when.isValid() ? when.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"))
                          : QStringLiteral("–");
}

QString OrDash(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("–") : text;
}

// Round tick positions covering [low, high]: steps of 1, 2, 2.5 or 5 times a power of ten,
// about `count` of them.
struct Ticks
{
    double low = 0, high = 1, step = 0.2;
    int decimals = 1;
};

Ticks NiceTicks(double low, double high, int count)
{
    if (!(high > low)) {
        // One value (or none): a band around it.
        const double pad = std::max(std::abs(low) * 0.05, 0.5);
        low -= pad;
        high += pad;
    }
    const double raw = (high - low) / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = 10 * power;
    for (const double m : { 1.0, 2.0, 2.5, 5.0 })
        if (m * power >= raw) {
            step = m * power;
            break;
        }
    Ticks t;
    t.step = step;
    t.low = std::floor(low / step + 1e-9) * step;
    t.high = std::ceil(high / step - 1e-9) * step;
    t.decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    if (std::abs(step / std::pow(10.0, -t.decimals) - 2.5) < 1e-9)
        ++t.decimals;
    return t;
}

// ---- the pages

// Paints top to bottom in millimetres and turns the page when the next block does not fit.
class Pages
{
public:
    static constexpr double kWidthMm = 210, kHeightMm = 297, kMarginMm = 18;

    Pages(QPdfWriter& writer, QPainter& painter)
        : FWriter(writer)
        , FPainter(painter)
        , FUnit(writer.resolution() / 25.4)
    { }

    double Px(double mm) const { return mm * FUnit; }
    double Left() const { return kMarginMm; }
    double Width() const { return kWidthMm - 2 * kMarginMm; }
    double Y() const { return FY; }
    void Down(double mm) { FY += mm; }

    // Room for `mm` below the cursor, on a new page when this one has too little.
    void Room(double mm)
    {
        if (FY + mm <= kHeightMm - kMarginMm || FY <= kMarginMm)
            return;
        FWriter.newPage();
        FY = kMarginMm;
    }

    QFont Font(double points, bool bold = false) const
    {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSizeF(points);
        font.setBold(bold);
        // Ligatures would leave "ﬀ" where a reader searches the PDF for "ff".
        font.setStyleStrategy(QFont::PreferNoShaping);
        return font;
    }

    // Text within [x, x + width] mm on a line `height` mm tall at the cursor.
    void Text(double x, double width, double height, const QString& text, const QFont& font,
        Qt::Alignment align = Qt::AlignLeft)
    {
        FPainter.setFont(font);
        FPainter.drawText(
            QRectF(Px(x), Px(FY), Px(width), Px(height)), static_cast<int>(align | Qt::AlignVCenter), text);
    }

    // The height `text` takes wrapped at words within `width` (mm).
    double WrappedHeight(double width, const QString& text, const QFont& font)
    {
        FPainter.setFont(font);
        const QRectF needed = FPainter.boundingRect(
            QRectF(0, 0, Px(width), Px(1000)), static_cast<int>(Qt::AlignLeft | Qt::TextWordWrap), text);
        return needed.height() / FUnit;
    }
    void WrappedText(double x, double width, double height, const QString& text, const QFont& font)
    {
        FPainter.setFont(font);
        FPainter.drawText(QRectF(Px(x), Px(FY), Px(width), Px(height)),
            static_cast<int>(Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap), text);
    }

    QPainter& Painter() { return FPainter; }

private:
    QPdfWriter& FWriter;
    QPainter& FPainter;
    const double FUnit; // device units per millimetre
    double FY = kMarginMm;
};

// A heading stays on the page of what follows it, `keepWithMm` tall.
void Heading(Pages& pages, const QString& text, double keepWithMm = 6)
{
    pages.Room(11 + keepWithMm);
    pages.Down(3);
    pages.Text(pages.Left(), pages.Width(), 7, text, pages.Font(12, true));
    pages.Down(8);
}

// Name and value pairs, one a line.
void Pairs(Pages& pages, const std::vector<std::pair<QString, QString>>& pairs)
{
    const QFont name = pages.Font(9.5, true), value = pages.Font(9.5);
    for (const auto& [n, v] : pairs) {
        pages.Room(5.5);
        pages.Text(pages.Left(), 55, 5.5, n, name);
        pages.Text(pages.Left() + 57, pages.Width() - 57, 5.5, v, value);
        pages.Down(5.5);
    }
}

// A line chart with labelled ticks on both axes, `height` mm tall at the cursor.
void Chart(Pages& pages, const QString& title, const QString& xTitle, const QString& yTitle,
    const std::vector<QPointF>& points, double height)
{
    Heading(pages, title, height);
    QPainter& p = pages.Painter();
    const double top = pages.Y();
    const QRectF plot(
        pages.Px(pages.Left() + 18), pages.Px(top + 2), pages.Px(pages.Width() - 22), pages.Px(height - 16));
    const QFont tickFont = pages.Font(8), titleFont = pages.Font(9);
    const QFontMetricsF metrics(tickFont, p.device());

    if (points.empty()) {
        p.setPen(QPen(Qt::black, pages.Px(0.25)));
        p.drawRect(plot);
        p.setFont(titleFont);
        p.drawText(plot, Qt::AlignCenter, QStringLiteral("No readings"));
        pages.Down(height);
        return;
    }
    double xLow = points.front().x(), xHigh = xLow, yLow = points.front().y(), yHigh = yLow;
    for (const QPointF& q : points) {
        xLow = std::min(xLow, q.x());
        xHigh = std::max(xHigh, q.x());
        yLow = std::min(yLow, q.y());
        yHigh = std::max(yHigh, q.y());
    }
    const Ticks xt = NiceTicks(xLow, xHigh, 8), yt = NiceTicks(yLow, yHigh, 6);
    const auto map = [&](double x, double y) {
        return QPointF(plot.left() + (x - xt.low) / (xt.high - xt.low) * plot.width(),
            plot.bottom() - (y - yt.low) / (yt.high - yt.low) * plot.height());
    };

    p.setFont(tickFont);
    const QPen grid(QColor(210, 210, 210), pages.Px(0.15));
    const QPen axis(Qt::black, pages.Px(0.25));
    for (int i = 0; xt.low + i * xt.step <= xt.high + xt.step * 1e-6; ++i) {
        const double x = xt.low + i * xt.step;
        const double px = map(x, yt.low).x();
        p.setPen(grid);
        p.drawLine(QPointF(px, plot.top()), QPointF(px, plot.bottom()));
        p.setPen(axis);
        p.drawLine(QPointF(px, plot.bottom()), QPointF(px, plot.bottom() + pages.Px(1.2)));
        p.drawText(QRectF(px - pages.Px(10), plot.bottom() + pages.Px(1.5), pages.Px(20), pages.Px(4)),
            Qt::AlignHCenter | Qt::AlignTop, QString::number(x, 'f', xt.decimals));
    }
    for (int i = 0; yt.low + i * yt.step <= yt.high + yt.step * 1e-6; ++i) {
        const double y = yt.low + i * yt.step;
        const double py = map(xt.low, y).y();
        p.setPen(grid);
        p.drawLine(QPointF(plot.left(), py), QPointF(plot.right(), py));
        p.setPen(axis);
        p.drawLine(QPointF(plot.left() - pages.Px(1.2), py), QPointF(plot.left(), py));
        p.drawText(
            QRectF(plot.left() - pages.Px(14), py - metrics.height() / 2, pages.Px(12.5), metrics.height()),
            Qt::AlignRight | Qt::AlignVCenter, QString::number(y, 'f', yt.decimals));
    }
    p.setPen(axis);
    p.drawRect(plot);

    p.setFont(titleFont);
    p.drawText(QRectF(plot.left(), plot.bottom() + pages.Px(6), plot.width(), pages.Px(5)),
        Qt::AlignHCenter | Qt::AlignTop, xTitle);
    p.save();
    p.translate(plot.left() - pages.Px(16.5), plot.center().y());
    p.rotate(-90);
    p.drawText(
        QRectF(-plot.height() / 2, -pages.Px(2.5), plot.height(), pages.Px(5)), Qt::AlignCenter, yTitle);
    p.restore();

    // Points that land on the same spot of the page add nothing but bytes.
    QPolygonF line;
    line.reserve(static_cast<qsizetype>(points.size()));
    for (const QPointF& q : points) {
        const QPointF at = map(q.x(), q.y());
        if (line.isEmpty() || std::abs(at.x() - line.back().x()) >= 1
            || std::abs(at.y() - line.back().y()) >= 1)
            line << at;
    }
    if (line.back() != map(points.back().x(), points.back().y()))
        line << map(points.back().x(), points.back().y());
    p.save();
    p.setClipRect(plot);
    p.setPen(QPen(QColor(20, 80, 170), pages.Px(0.35), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(line);
    p.restore();
    pages.Down(height);
}

void ResistanceTable(Pages& pages, const std::vector<RunReportResistance>& rows)
{
    Heading(pages, QStringLiteral("DC resistance measurements"), 11.2);
    if (rows.empty()) {
        pages.Text(pages.Left(), pages.Width(), 5.5, QStringLiteral("None were taken."), pages.Font(9.5));
        pages.Down(5.5);
        return;
    }
    // Time, Ah, V1, V2, I1, I2, then the resistance or the failure.
    const double widths[] = { 20, 18, 16, 16, 16, 16 };
    const QStringList titles { "Time", "Ah", "V1 / V", "V2 / V", "I1 / A", "I2 / A", "R / mΩ" };
    const double lineMm = 5.2;
    const auto header = [&] {
        double x = pages.Left();
        for (int c = 0; c < titles.size(); ++c) {
            const double w = c < 6 ? widths[c] : pages.Width() - (x - pages.Left());
            pages.Text(
                x, w - 2, lineMm, titles[c], pages.Font(9, true), c < 6 ? Qt::AlignRight : Qt::AlignLeft);
            x += w + (c == 5 ? 4 : 0);
        }
        pages.Down(lineMm);
        QPainter& p = pages.Painter();
        p.setPen(QPen(Qt::black, pages.Px(0.2)));
        p.drawLine(QPointF(pages.Px(pages.Left()), pages.Px(pages.Y())),
            QPointF(pages.Px(pages.Left() + pages.Width()), pages.Px(pages.Y())));
        pages.Down(0.8);
    };
    header();
    double lastX = pages.Left();
    for (int c = 0; c < 6; ++c)
        lastX += widths[c] + (c == 5 ? 4 : 0);
    const double lastWidth = pages.Width() - (lastX - pages.Left()) - 2;
    for (const RunReportResistance& r : rows) {
        const QString last = r.milliOhm ? Fixed(*r.milliOhm, 1) : QStringLiteral("failed: ") + r.failure;
        // A failure's reason wraps within its column rather than running off the page.
        const double rowMm = std::max(lineMm, pages.WrappedHeight(lastWidth, last, pages.Font(9)) + 1);
        if (pages.Y() + rowMm > Pages::kHeightMm - Pages::kMarginMm) {
            pages.Room(rowMm + lineMm + 1);
            header();
        }
        const QStringList cells { Duration(r.seconds), Fixed(r.capacityAh, 3), Fixed(r.v1, 3), Fixed(r.v2, 3),
            Fixed(r.i1, 3), Fixed(r.i2, 3) };
        double x = pages.Left();
        for (int c = 0; c < cells.size(); ++c) {
            pages.Text(x, widths[c] - 2, rowMm, cells[c], pages.Font(9), Qt::AlignRight);
            x += widths[c] + (c == 5 ? 4 : 0);
        }
        pages.WrappedText(lastX, lastWidth, rowMm, last, pages.Font(9));
        pages.Down(rowMm);
    }
}

void Paint(Pages& pages, const RunReport& report)
{
    pages.Text(pages.Left(), pages.Width(), 10, report.title, pages.Font(17, true));
    pages.Down(12);
    Pairs(pages,
        { { QStringLiteral("Station"), OrDash(report.station) },
            { QStringLiteral("Run"), OrDash(report.runId) },
            { QStringLiteral("Started"), When(report.started) } });

    if (!report.parameters.empty()) {
        Heading(pages, QStringLiteral("Parameters"));
        Pairs(pages, report.parameters);
    }

    const ResistanceFigures resistance = SummariseResistances(report.resistances);
    QString resistanceText = QStringLiteral("none measured");
    if (resistance.meanMilliOhm)
        resistanceText = QStringLiteral("%1 mΩ, mean of %2 good")
                             .arg(Fixed(*resistance.meanMilliOhm, 1))
                             .arg(resistance.good);
    if (resistance.failed > 0)
        resistanceText += QStringLiteral("; %1 failed").arg(resistance.failed);
    Heading(pages, QStringLiteral("Summary"));
    Pairs(pages,
        { { QStringLiteral("Duration"), Duration(report.summary.seconds) },
            { QStringLiteral("Capacity"), Fixed(report.summary.capacityAh, 3) + QStringLiteral(" Ah") },
            { QStringLiteral("Energy"), Fixed(report.summary.energyWh, 3) + QStringLiteral(" Wh") },
            { QStringLiteral("Last voltage"),
                report.points.empty() ? QStringLiteral("–")
                                      : Fixed(report.points.back().voltage, 3) + QStringLiteral(" V") },
            { QStringLiteral("Cut-off"), OrDash(report.summary.cutOff) },
            { QStringLiteral("DC resistance"), resistanceText } });

    // Minutes or hours once the run is long enough for seconds to read badly.
    const double span = report.points.empty() ? 0 : report.points.back().seconds;
    const auto [divisor, unit] = span >= 2 * 3600 ? std::pair { 3600.0, "h" }
        : span >= 2 * 60                          ? std::pair { 60.0, "min" }
                                                  : std::pair { 1.0, "s" };
    std::vector<QPointF> againstTime, againstCapacity;
    againstTime.reserve(report.points.size());
    againstCapacity.reserve(report.points.size());
    for (const RunReportPoint& point : report.points) {
        againstTime.emplace_back(point.seconds / divisor, point.voltage);
        againstCapacity.emplace_back(point.capacityAh, point.voltage);
    }
    constexpr double kChartMm = 92;
    Chart(pages, QStringLiteral("Voltage against time"), QStringLiteral("Time / %1").arg(QLatin1String(unit)),
        QStringLiteral("Voltage / V"), againstTime, kChartMm);
    Chart(pages, QStringLiteral("Voltage against capacity"), QStringLiteral("Capacity / Ah"),
        QStringLiteral("Voltage / V"), againstCapacity, kChartMm);
    ResistanceTable(pages, report.resistances);
}

[[noreturn]] void Refuse(const QString& path, const QString& reason)
{
    throw ERunReportError(QStringLiteral("Cannot write the run report \"%1\": %2")
                              .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()), reason)
                              .toStdString());
}

} // namespace

void WriteRunReportPdf(const QString& path, const RunReport& report)
{
    // Fonts are the window system's business, even offscreen.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr)
        Refuse(path, QStringLiteral("the program started without its graphics layer (QGuiApplication)"));
    // Written aside and renamed once whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        Refuse(path, file.errorString());
    {
        QPdfWriter writer(&file);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        writer.setResolution(300);
        writer.setTitle(report.title);
        writer.setCreator(QStringLiteral("dcload"));
        QPainter painter;
        if (!painter.begin(&writer))
            Refuse(path,
                file.error() != QFileDevice::NoError ? file.errorString()
                                                     : QStringLiteral("the PDF could not be started"));
        painter.setRenderHint(QPainter::Antialiasing);
        Pages pages(writer, painter);
        Paint(pages, report);
        painter.end();
    }
    if (!file.commit())
        Refuse(path, file.errorString());
}
