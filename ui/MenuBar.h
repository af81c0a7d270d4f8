#pragma once
// The window's menu bar: every action that otherwise hides in a context menu or behind a
// shortcut, under File, View, Battery and Help. The entries trigger the same actions the context
// menus hold (the chart's own entries are on both), so both always do the same.
#include <QString>

class QAction;
class TForm1;

struct MenuActions
{
    QAction* exportBattery = nullptr; // the battery grid's "Export to CSV…"
    QAction* exportList = nullptr; // the list grid's
    QAction* saveChart = nullptr; // the chart's "Save chart as", with its choice of span
    QAction* wholeRun = nullptr; // the chart's "Whole run"
    QAction* loadSteps = nullptr; // the step editor's "Load steps…"
    QAction* saveSteps = nullptr; // and "Save steps…"
    QAction* exportBatteryBdf = nullptr; // the battery grid's "Export to BDF…"
    QAction* batteryAnalysis = nullptr; // the battery run's analysis view
    QAction* batteryReport = nullptr; // the battery run's PDF report
    QAction* profile = nullptr; // the Profile window
};

// Adds the menu bar to `form`; an action left null has no entry. Opening a menu builds
// every page of the window (TForm1::BuildAllPages), which adds the pages' entries.
void BuildMenuBar(TForm1& form, const MenuActions& actions);
// Adds the entries of the pages' own actions (the grids', the chart's, the step editor's)
// to the bar BuildMenuBar made, each where it belongs; `actions` holds only those.
void AddPageMenuEntries(TForm1& form, const MenuActions& actions);

// Where the documentation is: the installed copy beside the program, else the source
// tree's; empty when neither is there.
QString DocumentationFolder();
