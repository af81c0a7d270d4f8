#include "ui/ClassicMetricsStyle.h"

#include <QApplication>
#include <QStyleOptionComplex>

namespace {
constexpr int kTabHeight = 20;
constexpr int kComboButtonWidth = 12;
constexpr int kComboTextInset = 1;
} // namespace

// A fresh instance of the application's style as base: a proxy owns its base, and the
// application's own instance must stay with the application.
ClassicMetricsStyle::ClassicMetricsStyle()
    : QProxyStyle(QApplication::style()->name())
{ }

QSize ClassicMetricsStyle::sizeFromContents(
    ContentsType type, const QStyleOption* option, const QSize& size, const QWidget* widget) const
{
    QSize s = QProxyStyle::sizeFromContents(type, option, size, widget);
    if (type == CT_TabBarTab)
        s.setHeight(std::min(s.height(), kTabHeight));
    return s;
}

QRect ClassicMetricsStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option,
    SubControl subControl, const QWidget* widget) const
{
    if (control != CC_ComboBox)
        return QProxyStyle::subControlRect(control, option, subControl, widget);
    const QRect frame = option->rect;
    const QRect arrow(
        frame.right() - kComboButtonWidth, frame.top() + 1, kComboButtonWidth, frame.height() - 2);
    switch (subControl) {
    case SC_ComboBoxArrow:
        return visualRect(option->direction, frame, arrow);
    case SC_ComboBoxEditField:
        return visualRect(option->direction, frame,
            QRect(frame.left() + kComboTextInset, frame.top() + 2,
                arrow.left() - frame.left() - kComboTextInset, frame.height() - 4));
    default:
        return QProxyStyle::subControlRect(control, option, subControl, widget);
    }
}
