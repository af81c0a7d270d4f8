#include "ui/AboutPage.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

namespace {

// The instrument in outline: a case with a display showing a reading, a row of keys and
// the red and black input terminals, all inside `box`.
void DrawLoadSymbol(QPainter& p, const QRectF& box)
{
    const QColor line(220, 235, 255);
    p.setPen(QPen(line, 2.0));
    p.setBrush(QColor(255, 255, 255, 28));
    p.drawRoundedRect(box, 8, 8);

    const QRectF display(box.left() + 12, box.top() + 12, box.width() * 0.58, box.height() * 0.42);
    p.setPen(QPen(line, 1.2));
    p.setBrush(QColor(10, 30, 60));
    p.drawRoundedRect(display, 3, 3);
    QFont digits(QStringLiteral("DejaVu Sans Mono"));
    digits.setPixelSize(static_cast<int>(display.height() * 0.55));
    digits.setBold(true);
    p.setFont(digits);
    p.setPen(QColor(120, 230, 255));
    p.drawText(display, Qt::AlignCenter, QStringLiteral("12.00V"));

    // Keys below the display.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(220, 235, 255, 150));
    const double keyW = display.width() / 4 - 4;
    for (int k = 0; k < 4; ++k)
        p.drawRoundedRect(QRectF(display.left() + k * (keyW + 5), display.bottom() + 10, keyW, 9), 2, 2);

    // The two input terminals at the right.
    const double r = box.height() * 0.11;
    const QPointF plus(box.right() - 2.6 * r, box.top() + box.height() * 0.34);
    const QPointF minus(box.right() - 2.6 * r, box.top() + box.height() * 0.70);
    p.setPen(QPen(line, 1.5));
    p.setBrush(QColor(205, 40, 40));
    p.drawEllipse(plus, r, r);
    p.setBrush(QColor(25, 25, 25));
    p.drawEllipse(minus, r, r);

    // A current arrow into the plus terminal.
    p.setPen(QPen(QColor(255, 200, 60), 2.2, Qt::SolidLine, Qt::RoundCap));
    const QPointF tip(plus.x() + r + 3, plus.y());
    p.drawLine(QPointF(box.right() + 26, plus.y()), tip);
    QPainterPath head;
    head.moveTo(tip);
    head.lineTo(tip + QPointF(8, -5));
    head.lineTo(tip + QPointF(8, 5));
    head.closeSubpath();
    p.fillPath(head, QColor(255, 200, 60));
}

} // namespace

QPixmap DrawAboutBanner(QSize size)
{
    QPixmap pixmap(size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF all(QPointF(0, 0), QSizeF(size));

    QLinearGradient sky(all.topLeft(), all.bottomRight());
    sky.setColorAt(0.0, QColor(12, 38, 84));
    sky.setColorAt(0.55, QColor(20, 86, 140));
    sky.setColorAt(1.0, QColor(24, 140, 160));
    p.fillRect(all, sky);

    // A faint discharge curve across the background.
    QPainterPath curve;
    curve.moveTo(0, size.height() * 0.30);
    curve.cubicTo(size.width() * 0.45, size.height() * 0.34, size.width() * 0.70, size.height() * 0.42,
        size.width(), size.height() * 0.95);
    p.setPen(QPen(QColor(255, 255, 255, 40), 2.0));
    p.drawPath(curve);

    QFont title(QStringLiteral("Liberation Sans"));
    title.setPixelSize(size.height() / 4);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    const QRectF text(28, size.height() * 0.18, size.width() * 0.62, size.height() * 0.36);
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Kelvaron 4410/4420"));

    QFont subtitle(title);
    subtitle.setPixelSize(size.height() / 9);
    subtitle.setBold(false);
    p.setFont(subtitle);
    p.setPen(QColor(210, 228, 250));
    p.drawText(QRectF(30, text.bottom() + 2, text.width(), size.height() * 0.16),
        Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Programmable DC Electronic Load"));
    p.setPen(QPen(QColor(255, 200, 60), 3));
    p.drawLine(QPointF(30, size.height() * 0.82), QPointF(150, size.height() * 0.82));

    const double h = size.height() * 0.70;
    DrawLoadSymbol(p, QRectF(size.width() - 1.55 * h - 40, (size.height() - h) / 2, 1.55 * h, h));
    return pixmap;
}

QIcon ProgramIcon()
{
    QSvgRenderer svg(QStringLiteral(":/dcload.svg"));
    QIcon icon;
    if (!svg.isValid())
        return icon;
    for (const int side : { 16, 24, 32, 48, 64, 128, 256 }) {
        QPixmap picture(side, side);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        svg.render(&painter);
        painter.end();
        icon.addPixmap(picture);
    }
    return icon;
}
