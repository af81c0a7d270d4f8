// The tips as a real X server shows them (ctest runs this program under Xvfb): resting the
// mouse on any control shown on a page brings up that control's own tip, also where a
// part inside it takes the mouse (the line of an editable combo box, a grid's cells, the
// chart's drawing) and on a control that is locked.
#include "ToolTipWalk.h"
#include "WindowFixture.h"

#include <QGuiApplication>
#include <QHelpEvent>
#include <QToolTip>

namespace {

class ToolTipsX11Test : public WindowTest
{
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != u"xcb")
            GTEST_SKIP()
                << "tips are shown on a real X server: run under xvfb-run (scripts/deps installs it)";
        WindowTest::SetUp();
    }
};

// The innermost widget at `point` of `control`, unless a widget inside `control` has a
// tip of its own there: that point shows the inner tip, not the control's.
QWidget* OwnPartAt(QWidget* control, QPoint point)
{
    QWidget* target = control->childAt(point);
    if (!target)
        return control;
    for (QWidget* part = target; part != control; part = part->parentWidget()) {
        if (!part->toolTip().isEmpty())
            return nullptr;
    }
    return target;
}

// What the tip says after the mouse rested at `point` of `target`. A known text is put
// up first, so a rest that brings up no tip of its own is seen as that text.
QString TipShownAt(QWidget* target, QPoint point, const QString& before)
{
    QToolTip::showText(target->mapToGlobal(point), before, target);
    QHelpEvent rest(QEvent::ToolTip, point, target->mapToGlobal(point));
    QApplication::sendEvent(target, &rest);
    return QToolTip::isVisible() ? QToolTip::text() : QString();
}

} // namespace

TEST_F(ToolTipsX11Test, RestingOnAnyControlShowsItsOwnTipAlsoWhenLocked)
{
    const QString before = QStringLiteral("no tip came up");
    const std::pair<const char*, RunState> passes[]
        = { { "idle", RunState::Idle }, { "input on: two pages locked", RunState::Running } };
    for (const auto& [pass, load] : passes) {
        SCOPED_TRACE(pass);
        Session().SetRun(Activity::Load, load);
        int shown = 0;
        for (int page = 0; page < form->PageControl1->count(); ++page) {
            for (QWidget* control : ShownControls(*form, page)) {
                const QRect r = control->rect();
                // The middle, else a corner, where a container shows through its parts.
                for (const QPoint point :
                    { r.center(), r.topLeft() + QPoint(3, 3), r.bottomRight() - QPoint(3, 3) }) {
                    QWidget* part = OwnPartAt(control, point);
                    if (!part)
                        continue;
                    EXPECT_EQ(TipShownAt(part, part->mapFrom(control, point), before), control->toolTip())
                        << control->objectName().toStdString() << " at " << point.x() << "," << point.y()
                        << " of " << part->metaObject()->className();
                    ++shown;
                    break;
                }
            }
        }
        EXPECT_GT(shown, 150);
    }
    QToolTip::hideText();
}
