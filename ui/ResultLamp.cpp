#include "ui/ResultLamp.h"

#include <QPainter>

ResultLamp::ResultLamp(const QString& caption, QWidget* parent)
    : QLabel(caption, parent)
{
    setAlignment(Qt::AlignCenter);
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setAutoFillBackground(true);
}

QColor ResultLamp::CaptionColourOn(const QColor& face)
{
    // Relative luminance in the sRGB weights; the midpoint splits black from white text.
    const double luminance = 0.2126 * face.redF() + 0.7152 * face.greenF() + 0.0722 * face.blueF();
    return luminance > 0.5 ? QColor(Qt::black) : QColor(Qt::white);
}

void ResultLamp::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    drawFrame(&p);
    p.setFont(font());
    p.setPen(CaptionColourOn(palette().color(QPalette::Window)));
    p.drawText(contentsRect(), static_cast<int>(alignment()), text());
}

void ResultLamp::Light(QLabel* lamp, const QColor& colour)
{
    QPalette palette = lamp->palette();
    palette.setColor(QPalette::Window, colour);
    lamp->setPalette(palette);
    lamp->setAutoFillBackground(true);
}
