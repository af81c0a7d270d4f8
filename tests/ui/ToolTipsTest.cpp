// The window's tooltips: every control the operator sees on a page says what it is for,
// and a control locked while the input is on or a run goes on says why, then gets its own
// tip back when the lock goes.
#include "ToolTipWalk.h"
#include "WindowFixture.h"

#include "ui/ToolTips.h"

#include <QGroupBox>
#include <QTabWidget>

namespace {

const QString kConnectFirst = QStringLiteral("Connect to the instrument first.");
const QString kInputIsOn = QStringLiteral("Locked while the input is on: press Stop on the Main page first.");
const QString kBatteryRuns = QStringLiteral("Locked while the battery test runs: press Stop first.");
const QString kListRuns = QStringLiteral("Locked while the list test runs: press Stop first.");
const QString kListFirst = QStringLiteral("Send the list with \"Set\" first.");
const QString kNoLevel = QStringLiteral("SHORT and OPEN steps take no value or delay.");

// The tip the operator reads over a control; a page's is its tab's.
QString TipOf(TForm1& form, QWidget* w)
{
    const int tab = form.PageControl1->indexOf(w);
    return tab >= 0 ? form.PageControl1->tabToolTip(tab) : w->toolTip();
}

bool Usable(TForm1& form, QWidget* w)
{
    const int tab = form.PageControl1->indexOf(w);
    return w->isEnabled() && (tab < 0 || form.PageControl1->isTabEnabled(tab));
}

} // namespace

TEST_F(WindowTest, EveryControlShownOnEveryPageHasATip)
{
    for (int page = 0; page < form->PageControl1->count(); ++page) {
        SCOPED_TRACE(form->PageControl1->tabText(page).toStdString());
        EXPECT_FALSE(form->PageControl1->tabToolTip(page).isEmpty());
        QStringList without;
        for (QWidget* control : ShownControls(*form, page)) {
            const QString name = control->objectName();
            const QString tip = control->toolTip();
            if (tip.isEmpty())
                without << name;
            // A row of the step editor names its own step.
            if (control->parentWidget() == form->GroupBox8 && name.back().isDigit()) {
                qsizetype digits = name.size();
                while (name[digits - 1].isDigit())
                    --digits;
                EXPECT_TRUE(tip.simplified().contains(QStringLiteral("step ") + name.mid(digits)))
                    << name.toStdString();
            }
        }
        EXPECT_TRUE(without.isEmpty()) << "without a tip: " << without.join(u' ').toStdString();
    }
}

using Locks = WithPortTest;

TEST_F(Locks, ALockedControlLeadsWithWhyAndGetsItsOwnTipBackWhenUnlocked)
{
    struct Case
    {
        const char* what;
        std::function<void()> lock, unlock;
        // Each control locked (a page: its tab), with the reasons that lead its tip,
        // outermost first.
        std::vector<std::pair<const char*, QStringList>> locked;
    };
    const Case cases[] = {
        { "no port open", [&] { Session().Close(); },
            [&] {
                OpenQuietly();
                Session().SetArmed(Activity::Load, true);
            },
            { { "fuZaiButton", { kConnectFirst } }, { "modeButton", { kConnectFirst } },
                { "startButton", { kConnectFirst } } } },
        { "input on", [&] { Session().SetRun(Activity::Load, RunState::Running); },
            [&] { Session().SetRun(Activity::Load, RunState::Idle); },
            { { "fuZaiButton", { kInputIsOn } }, { "modeButton", { kInputIsOn } },
                { "BitBtn1", { kInputIsOn } }, { "MeasureMode1", { kInputIsOn } },
                { "TabSheet3", { kInputIsOn } }, { "BSetButton", { kInputIsOn } },
                { "TabSheet4", { kInputIsOn } } } },
        { "battery runs: its own Set up, the other pages, and a step button waiting for Set",
            [&] {
                form->ShowPage(1);
                Session().SetRun(Activity::Battery, RunState::Running);
            },
            [&] {
                Session().SetRun(Activity::Battery, RunState::Idle);
                Session().SetArmed(Activity::List, true);
            },
            { { "BSetButton", { kBatteryRuns } }, { "TabSheet2", { kBatteryRuns } },
                { "MaxV", { kBatteryRuns } }, { "TabSheet4", { kBatteryRuns } },
                { "StepButton0", { kBatteryRuns, kListFirst } } } },
        { "list runs",
            [&] {
                form->ShowPage(2);
                Session().SetRun(Activity::List, RunState::Running);
            },
            [&] { Session().SetRun(Activity::List, RunState::Idle); },
            { { "TabSheet2", { kListRuns } }, { "fuZaiButton", { kListRuns } },
                { "TabSheet3", { kListRuns } }, { "startButtonB", { kListRuns } } } },
        { "a SHORT step", [&] { form->ModeStep[5]->setCurrentIndex(4); },
            [&] { form->ModeStep[5]->setCurrentIndex(0); },
            { { "ValStep5", { kNoLevel } }, { "DelayStep5", { kNoLevel } } } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        Session().SetArmed(Activity::Battery, true);

        c.lock();
        for (const auto& [name, reasons] : c.locked) {
            QWidget* control = Find(name);
            EXPECT_FALSE(Usable(*form, control)) << name;
            EXPECT_EQ(TipOf(*form, control), (reasons + QStringList { ToolTipFor(name) }).join(u'\n'))
                << name;
        }

        c.unlock();
        for (const auto& [name, reasons] : c.locked) {
            QWidget* control = Find(name);
            EXPECT_TRUE(Usable(*form, control)) << name;
            EXPECT_EQ(TipOf(*form, control), ToolTipFor(name)) << name;
        }
    }
}
