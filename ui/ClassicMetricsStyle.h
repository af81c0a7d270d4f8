#pragma once
// The program's style. The window's controls sit at fixed pixel positions made for a
// compact classic look: 20-pixel tabs and narrow combo-box buttons. This style keeps the
// platform's look and only tightens those two metrics, so a 57-pixel combo box still
// shows "Current" and the pages keep their full height above the status bar.
#include <QProxyStyle>

class ClassicMetricsStyle : public QProxyStyle
{
public:
    ClassicMetricsStyle();

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
        const QWidget* widget) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl subControl,
        const QWidget* widget) const override;
};
