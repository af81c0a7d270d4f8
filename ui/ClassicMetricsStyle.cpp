#include "ui/ClassicMetricsStyle.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QIconEngine>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <qdrawutil.h>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QStyleOptionComplex>
#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

namespace {
constexpr int kTabHeight = 20;
constexpr int kComboButtonWidth = 12;
constexpr int kComboTextInset = 1;

// The part of `control` its style draws `caption` into, in a font measured by `fm`; empty
// for controls without a caption.
QRect CaptionRoom(const QWidget* control, const QString& caption, const QFontMetrics& fm)
{
    if (const auto* label = qobject_cast<const QLabel*>(control)) {
        const int m = label->margin();
        QRect room = label->contentsRect().adjusted(m, m, -m, -m);
        // A framed label indents text at its left or right edge by half an "x".
        if (label->indent() < 0 && label->frameWidth() > 0
            && label->alignment() & (Qt::AlignLeft | Qt::AlignRight))
            room.setWidth(room.width() - fm.horizontalAdvance(u'x') / 2);
        return room;
    }
    const auto* button = qobject_cast<const QAbstractButton*>(control);
    if (!button)
        return {};
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = caption;
    QStyle::SubElement contents = QStyle::SE_PushButtonContents;
    if (qobject_cast<const QRadioButton*>(button))
        contents = QStyle::SE_RadioButtonContents;
    else if (qobject_cast<const QCheckBox*>(button))
        contents = QStyle::SE_CheckBoxContents;
    return button->style()->subElementRect(contents, &option, button);
}

// How many times its room the caption that fits worst needs in `font`, across and up: above
// 1 a caption is clipped. Both grow in step with the font's size.
double Overflow(const QWidget* control, const QFont& font, const QStringList& captions)
{
    const QFontMetrics fm(font);
    const auto times = [](int needs, int room) {
        return room > 0 ? double(needs) / room : needs > 0 ? HUGE_VAL : 0.0;
    };
    double most = 0;
    for (const QString& caption : captions) {
        if (caption.isEmpty())
            continue;
        const QRect room = CaptionRoom(control, caption, fm);
        most = std::max({ most, times(fm.size(Qt::TextShowMnemonic, caption).width(), room.width()),
            times(fm.height(), room.height()) });
    }
    return most;
}

// The first of `faces` that is installed; empty when none is. Looked up in the list of what
// is installed: asking for one face by name costs a fallback search when it is missing.
QString FirstInstalled(const QStringList& faces)
{
    const QStringList installed = QFontDatabase::families();
    for (const QString& face : faces) {
        if (installed.contains(face, Qt::CaseInsensitive))
            return face;
    }
    return {};
}

// The installed narrow face of the family `font` is drawn in ("Liberation Sans Narrow",
// "DejaVu Sans Condensed"); empty when there is none.
QString NarrowFamilyOf(const QFont& font)
{
    const QString family = QFontInfo(font).family();
    return FirstInstalled({ family + QStringLiteral(" Narrow"), family + QStringLiteral(" Condensed") });
}

QFont Resized(QFont font, int pixels)
{
    font.setPixelSize(pixels);
    return font;
}

// An icon that is made when it is first drawn or measured.
class DeferredIcon : public QIconEngine
{
public:
    explicit DeferredIcon(std::function<QIcon()> make)
        : FMake(std::move(make))
    { }
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        Made().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return Made().pixmap(size, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return Made().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return Made().availableSizes(mode, state);
    }
    QIconEngine* clone() const override
    {
        auto* copy = new DeferredIcon(FMake);
        copy->FIcon = FIcon;
        return copy;
    }
    QString key() const override { return QStringLiteral("dcload-deferred"); }

private:
    const QIcon& Made()
    {
        if (FMake)
            FIcon = std::exchange(FMake, nullptr)();
        return FIcon;
    }

    std::function<QIcon()> FMake;
    QIcon FIcon;
};

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

void ClassicMetricsStyle::drawPrimitive(
    PrimitiveElement element, const QStyleOption* option, QPainter* painter, const QWidget* widget) const
{
    if (element != PE_FrameGroupBox || baseStyle()->name().compare(u"fusion", Qt::CaseInsensitive) != 0) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    // Where Fusion puts its frame: below the title, or a little below the top without one.
    constexpr int kBelowTitle = 3;
    const auto* box = qobject_cast<const QGroupBox*>(widget);
    const int top = box && !box->isCheckable() && box->title().isEmpty()
        ? kBelowTitle
        : std::max(pixelMetric(PM_ExclusiveIndicatorHeight, option, widget), option->fontMetrics.height())
            + kBelowTitle;
    qDrawShadeRect(painter, option->rect.adjusted(0, top, 0, 0), option->palette, true, 1, 0);
}

QIcon ClassicMetricsStyle::standardIcon(
    StandardPixmap standardIcon, const QStyleOption* option, const QWidget* widget) const
{
    if (standardIcon != SP_ToolBarHorizontalExtensionButton && standardIcon != SP_ToolBarVerticalExtensionButton)
        return QProxyStyle::standardIcon(standardIcon, option, widget);
    // Made by the base style, which this style owns; neither the option nor the widget is
    // kept, as either may be gone by then.
    return QIcon(new DeferredIcon([base = QPointer<QStyle>(baseStyle()), standardIcon] {
        return base ? base->standardIcon(standardIcon) : QIcon();
    }));
}

void ClassicMetricsStyle::FitCaptions(QWidget* control, const QStringList& captions)
{
    const QFont own = control->font();
    // A label as large as its size hint shows its text whole: the hint is the text's size
    // and the label's extras, and laid-out labels keep it, so no text is measured again.
    if (const auto* label = qobject_cast<const QLabel*>(control);
        label && captions == QStringList { label->text() }) {
        const QSize hint = label->sizeHint();
        if (label->width() >= hint.width() && label->height() >= hint.height())
            return;
    }
    if (Overflow(control, own, captions) <= 1)
        return;
    // A face designed narrow reads better than one squeezed, and both better than a
    // smaller size; squeezed only where the family has no narrow face.
    std::vector<QFont> narrower;
    if (const QString family = NarrowFamilyOf(own); !family.isEmpty()) {
        QFont narrow(own);
        narrow.setFamilies({ family });
        narrower.push_back(narrow);
    } else {
        for (const int stretch : { QFont::SemiCondensed, QFont::Condensed }) {
            QFont condensed(own);
            condensed.setStretch(stretch);
            narrower.push_back(condensed);
        }
    }
    double overflow = 0;
    for (const QFont& font : narrower) {
        overflow = Overflow(control, font, captions);
        if (overflow <= 1) {
            control->setFont(font);
            return;
        }
    }
    // A pixel smaller at a time. Sizes at which the worst caption would still overflow by
    // more than a twentieth are not loaded: each size loads a face, a noticeable part of
    // the window's start-up.
    const QFont& narrowest = narrower.back();
    const int pixels = QFontInfo(own).pixelSize();
    for (int smaller = pixels - 1; smaller >= pixels * 5 / 6; --smaller) {
        const bool hopeless = overflow * smaller / pixels > 1.05 && smaller > pixels * 5 / 6;
        if (hopeless)
            continue;
        QFont font = Resized(narrowest, smaller);
        if (Overflow(control, font, captions) <= 1) {
            control->setFont(font);
            return;
        }
    }
    // Clipped even so; the narrowest shows the most of it.
    control->setFont(Resized(narrowest, pixels * 5 / 6));
}

QFont ClassicMetricsStyle::WindowFont()
{
    const QStringList faces
        = { QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans") };
    const QString installed = FirstInstalled(faces);
    QFont font;
    font.setFamilies(installed.isEmpty() ? faces : QStringList { installed });
    font.setPixelSize(11);
    return font;
}
