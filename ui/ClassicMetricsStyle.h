#pragma once
// The program's style. The window's controls sit at fixed pixel positions made for a
// compact classic look: 20-pixel tabs and narrow combo-box buttons. This style keeps the
// platform's look and only tightens those two metrics, so a 57-pixel combo box still
// shows "Current" and the pages keep their full height above the status bar.
//
// The classic face those pixels were measured in is missing on most systems, and the face
// that stands in may be wider: FitCaptions gives a control a narrower cut of its font
// where one of its captions would otherwise be clipped.
#include <QFont>
#include <QProxyStyle>
#include <QStringList>

class ClassicMetricsStyle : public QProxyStyle
{
public:
    ClassicMetricsStyle();

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
        const QWidget* widget) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl subControl,
        const QWidget* widget) const override;
    // Over Fusion, a group box's frame is etched, as classic ones are, and drawn rather than
    // read from an image: the first image a program reads has Qt load every image format
    // plugin, which cost the window some 4 ms of its start-up.
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
        const QWidget* widget = nullptr) const override;
    // For the same reason, a tool bar's or menu bar's overflow arrow is read when it is first
    // drawn: every menu bar asks for it as it is made, and the window's menus never overflow.
    QIcon standardIcon(StandardPixmap standardIcon, const QStyleOption* option = nullptr,
        const QWidget* widget = nullptr) const override;

    // Gives a button (push, radio or check) or a plain-text label the first of these fonts
    // in which every one of `captions` fits the room its style leaves for text: its own
    // font; the narrow face of its family, where one is installed, or else its font
    // condensed; that narrower font a pixel smaller at a time, down to five sixths of its
    // size. One font for all captions, so a caption that changes with the control's state
    // keeps its face. The control's geometry stays as laid out.
    static void FitCaptions(QWidget* control, const QStringList& captions);

    // The window's font, 11 pixels: the classic face where it is installed, otherwise the
    // first of its metric-compatible stand-ins that is. Only an installed face is named (all
    // of them when none is): for a face that is missing Qt looks up fallbacks at every size
    // and weight, which cost the window some 2 ms of its start-up.
    static QFont WindowFont();
};
