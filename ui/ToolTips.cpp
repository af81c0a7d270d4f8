#include "ui/ToolTips.h"

#include "workflows/TestRules.h"

#include <QHash>
#include <QStackedWidget>
#include <QStringList>
#include <QTabWidget>
#include <QVariant>
#include <QWidget>

namespace {

struct Tip
{
    const char* name;
    const char* text; // UTF-8
};

// Every named control the operator works or reads, by page. The commands are the lines
// the control's action writes to the instrument (see workflows/).
const Tip kTips[] = {
    // ---- the pages' tabs
    { "TabSheet2",
        "Main: live readings, the load's input, protection limits, load pattern, setting "
        "memories and the serial port" },
    { "TabSheet3",
        "Battery Test: discharges a battery at a constant current down to a cut-off voltage, "
        "recording voltage, time and capacity" },
    { "TabSheet4", "List Test: runs up to 15 programmed steps and judges each one against its limits" },
    { "TabSheet1", "Instructions: the first steps, and where the results are kept" },
    { "TabSheet5", "About: the program's version and its maker" },

    // ---- Main: readings and the input
    { "Panel2", "Live readings while the input is on: voltage, current and power (polled with fetch?)" },
    { "VLable", "Voltage at the load's input, in V (polled with fetch? while the input is on)" },
    { "ILable", "Current through the load, in A (polled with fetch? while the input is on)" },
    { "PLabel", "Power taken by the load, in W: the voltage times the current read with fetch?" },
    { "startButton",
        "Begin switches the load's input on (load on) and shows live readings; Stop switches "
        "it off (load off)" },
    { "GroupBox10", "Test Mode: where the voltage is measured (mset:rsen)" },
    { "MeasureMode0", "Local sense: measures the voltage at the input terminals (mset:rsen off)" },
    { "MeasureMode1", "Remote sense: measures the voltage at the sense terminals (mset:rsen on)" },

    // ---- Main: setting memories
    { "Label60", "File Nr.: setting memory 0–9 that Save and Load use" },
    { "FileNo", "File Nr.: setting memory 0–9 that Save and Load use" },
    { "BitBtn1", "Save: stores the instrument's present settings in setting memory File Nr. (mmem:save N)" },
    { "LoadFile",
        "Load: recalls setting memory File Nr. (mmem:load N) and reads its settings back into "
        "the fields" },

    // ---- Main: Load Setup
    { "GroupBox1",
        "Load Setup: the protection limits, sent together with Set (mset:vmax, mset:imax, "
        "mset:pmax, mset:von, mset:voff, mset:aoff)" },
    { "MaxV",
        "Max. Voltage: the highest input voltage, in V (mset:vmax); also the limit of V-SET and "
        "of the battery's cut-off" },
    { "MaxI",
        "Max. Current: the highest input current, in A (mset:imax); also the limit of I-SET and "
        "of the battery's discharge current" },
    { "MaxP", "Max. Power: the highest input power, in W (mset:pmax); also the limit of P-SET" },
    { "MinVOn",
        "On Voltage: the input voltage, in V, from which the load starts drawing current "
        "(mset:von)" },
    { "MinVOff",
        "Off Voltage: the input voltage, in V, below which the load stops drawing current "
        "(mset:voff)" },
    { "CheckBox29",
        "Ticked: Set also sends Auto Delay Off (mset:aoff); not ticked, the instrument keeps "
        "the delay it has" },
    { "AutoOff",
        "Auto Delay Off: the time after which the load switches its input off by itself, in s "
        "(mset:aoff; sent only when the box before it is ticked)" },
    { "fuZaiButton",
        "Set: sends the Load Setup limits (mset:vmax, mset:imax, mset:pmax, mset:von, "
        "mset:voff, mset:aoff)" },

    // ---- Main: the port
    { "GroupBox9", "Communication and Control: the serial port, its speed and the instrument's address" },
    { "Combo",
        "COM Port: the port the instrument is on: a serial device such as ttyUSB0, "
        "tcp://HOST:PORT, rfc2217://HOST:PORT, or SIM (the built-in simulator) when offered" },
    { "combutton",
        "Select closes the port; Connect opens COM Port, sends *adr N, load off and load:mode cc "
        "and reads the settings back; Disconnect switches the input off (load off) and closes "
        "the port" },
    { "BaudRate", "Baud Rate: the speed of the serial line, in bit/s, as set on the instrument" },
    { "AdrValue", "Address: the instrument's address, 0–254 (*adr N, sent on Connect)" },
    { "BitBtn2", "Control Panel: hands the instrument back to its front panel (*rtl)" },

    // ---- Main: Load Pattern
    { "GroupBox2", "Load Pattern: the load's mode and its set-point, sent with Set (load:mode)" },
    { "loadI", "I-SET: constant current, CC (load:mode cc, load:curr)" },
    { "loadV", "V-SET: constant voltage, CV (load:mode cv, load:volt)" },
    { "loadP", "P-SET: constant power, CP (load:mode cp, load:pow)" },
    { "loadR", "R-SET: constant resistance, CR (load:mode cr, load:res)" },
    { "loadS", "SHORT: short circuit across the input (load:mode sh)" },
    { "loadD",
        "TRANSIENT: switches between Level A and Level B as set in Transient Test Parameters "
        "(load:mode tran)" },
    { "ISet", "I-SET: the current set-point, in A, at most Max. Current (load:curr)" },
    { "VSet", "V-SET: the voltage set-point, in V, at most Max. Voltage (load:volt)" },
    { "PSet", "P-SET: the power set-point, in W, at most Max. Power (load:pow)" },
    { "RSet", "R-SET: the resistance set-point, in Ω, at most 4000 (load:res)" },
    { "modeButton",
        "Set: sends the chosen Load Pattern with its set-point (load:mode and load:curr, "
        "load:volt, load:pow or load:res; for TRANSIENT tran:lmod, tran:tmod, tran:leva, "
        "tran:levb); Begin needs it first" },

    // ---- Main: Transient Test Parameters
    { "GroupBox3",
        "Transient Test Parameters: what the TRANSIENT pattern sends (tran:lmod, tran:tmod, "
        "tran:leva, tran:levb)" },
    { "GroupBox4", "Transient Load: whether Level A and B are voltages or currents (tran:lmod)" },
    { "TranType", "CV: Level A and B are voltages, in V (tran:lmod cv)" },
    { "TranType1", "CC: Level A and B are currents, in A (tran:lmod cc)" },
    { "GroupBox5", "Transient Mode: how the load moves between Level A and B (tran:tmod)" },
    { "TranMode0", "Cont.: alternates between Level A and B for their widths (tran:tmod cont)" },
    { "TranMode1", "Pulse: each trigger goes to Level B for Width B, then back to A (tran:tmod puls)" },
    { "TranMode2", "Trig.: each trigger toggles between Level A and B (tran:tmod trig)" },
    { "TranA0", "Level A: in V (CV) or A (CC) (tran:leva LEVEL,WIDTH)" },
    { "TranA1", "Width A: how long Level A is held, in whole ms, 0–60000 (tran:leva LEVEL,WIDTH)" },
    { "TranB0", "Level B: in V (CV) or A (CC) (tran:levb LEVEL,WIDTH)" },
    { "TranB1", "Width B: how long Level B is held, in whole ms, 0–60000 (tran:levb LEVEL,WIDTH)" },
    { "DButton", "Trigger: sends a bus trigger (trig), for the Pulse and Trig. modes" },

    // ---- Battery Test
    { "Panel1", "Battery test readings, polled with fetch? every Test Period" },
    { "LabelBV", "Battery voltage, in V (fetch?)" },
    { "LabelBI", "Discharge current, in A (fetch?)" },
    { "LabelBC", "Discharge time so far, in s (fetch?)" },
    { "LabelBElapsed", "Discharge time so far, as hours:minutes:seconds" },
    { "LabelBT", "Capacity discharged so far, in Ah (fetch?)" },
    { "startButtonB",
        "Begin switches the input on (load on) and reads the battery every Test Period "
        "(fetch?); Stop switches it off (load off)" },
    { "Chart1",
        "Battery voltage, in V, over the discharge time, in s; right-click to save the chart or "
        "export the readings to CSV" },
    { "DBGrid2",
        "The battery readings of the runs, kept in the results file; right-click to export them "
        "to CSV" },
    { "GroupBox13", "Parameters of the battery test, sent with Set up (load:mode bat, bat:vmin, bat:curr)" },
    { "BChargeI",
        "Discharge Current: the constant current the battery is discharged with, in A, at most "
        "Max. Current (bat:curr)" },
    { "BOffV",
        "Cut Off Voltage: the test ends when the battery falls to it, in V, at most Max. Voltage "
        "(bat:vmin)" },
    { "BSetButton",
        "Set up: puts the load in battery mode and sends the parameters (load:mode bat, "
        "bat:vmin, bat:curr); Begin needs it first" },
    { "testInteral",
        "Test Period: the time between two readings, in whole s, 1–86400 (how often fetch? "
        "is sent)" },

    // ---- List Test
    { "Panel3", "The step in progress and its readings (polled with fetch?)" },
    { "ListS", "The step in progress, S0–S14" },
    { "ListV", "Voltage of the step in progress, in V" },
    { "ListI", "Current of the step in progress, in A" },
    { "ListR1", "N/C: lit blue when the instrument reports the list as not compared" },
    { "ListR2", "Passed: lit green when the instrument reports that the list passed" },
    { "ListR3", "Failed: lit red when the instrument reports that a step failed" },
    { "DBGrid1",
        "The judged steps of the list runs, kept in the results file; right-click to export them "
        "to CSV" },
    { "GroupBox6", "Step Mode: how the list moves on to its next step (list:smod)" },
    { "StepTrig", "Trig: each trigger moves to the next step (list:smod trig)" },
    { "StepAuto", "Auto: each step follows the last after its Delay Time (list:smod auto)" },
    { "GroupBox7", "Repeat?: whether the list starts again after its last step (list:rep)" },
    { "StepRepeatY", "Yes: the list runs again and again until stopped (list:rep on)" },
    { "StepRepeatN", "No: the list runs once (list:rep off)" },
    { "GroupBox12", "List Nr.: number of steps N, 1–15 (list:snum N−1, the last step)" },
    { "ListSetNum", "List Nr.: number of steps N, 1–15 (list:snum N−1, the last step)" },
    { "LSetButton",
        "Set: puts the load in list mode and sends Step Mode, Repeat and List Nr. "
        "(load:mode list, list:smod, list:rep, list:snum); the step buttons and Begin need it "
        "first" },
    { "startButtonL",
        "Begin switches the input on (load on) and runs the list, reading each step "
        "(fetch?); Stop switches it off (load off)" },
    { "TrigButton", "Trig: sends a bus trigger (trig), which moves a Trig list to its next step" },
    { "ScrollBox1",
        "Create Sequence: the steps 0–14, each sent with its Step button; right-click to save "
        "or load a list program" },
    { "GroupBox8",
        "Create Sequence: the steps 0–14, each sent with its Step button; right-click to save "
        "or load a list program" },

    // ---- About
    { "Image1", "The program's banner" },
    { "Label73", "The maker's web site: click to open it in the browser" },

    // ---- the status bar
    { "StatusBar1", "Right-click, or press Ctrl+T, for the traffic console: every command and reply" },
    { "StatusPanel0", "The serial port and its speed, or why it closed" },
    { "StatusNote", "Notes on the instrument and its runs" },
    { "StatusLink",
        "Answers not received and replies dropped since the port opened; the traffic console "
        "(Ctrl+T) shows each" },
    { "StatusStore", "What keeps readings from the results file" },
    { "StatusError", "The newest error; its whole text shows here" },

    // ---- the Profile window
    { "ProfileEditor",
        "The discharge profile: one step per line (\"Discharge at 2 A until 3.0 V\"), or JSON; "
        "docs/profiles.md gives the grammar. A line that is no step is marked" },
    { "ProfileError", "What is wrong with the marked line of the profile" },
    { "ProfileOpen", "Opens a profile file (.txt or .json) into the editor" },
    { "ProfileSave", "Saves the editor's profile: as text (.txt) or as JSON (.json)" },
    { "ProfileRunButton",
        "Runs the profile step by step on the connected instrument, storing every reading; "
        "the cut-off is also set in the instrument (mset:voff) while it runs" },
    { "ProfileStopButton", "Stops the profile: the input goes off (load off) first" },
    { "ProfileExportBdf",
        "Writes the last run's readings as a Battery Data Format CSV file, with a .metadata.json "
        "file beside it" },
    { "ProfileAnalysis", "Opens the last run's voltage against capacity and dQ/dV" },
    { "ProfileReport",
        "Writes the last run as a one- or two-page PDF: parameters, summary, voltage against time and "
        "capacity, resistance table" },
    { "ProfileStep", "The step running: its number, its line in the profile and what it does" },
    { "ProfileEnd", "What ends the step running" },
    { "ProfileElapsed", "Time since the profile's first step began, h:mm:ss" },
    { "ProfileAh", "Capacity taken since the profile began, in Ah" },
    { "ProfileWh", "Energy taken since the profile began, in Wh" },
    { "ProfileChart",
        "Voltage (red, left) and current (blue, left) against time, and the resistance "
        "measurements (green, right, mΩ)" },
    { "ProfileResistances",
        "Every resistance measurement of the run: when, at which charge, its readings and the "
        "result; a failed one says why" },
    { "ProfileStatus", "What the profile run reports, and how it ended" },

    // ---- the analysis view of a finished run
    { "AnalysisCapacityChart",
        "The run's voltage against the capacity taken, in Ah; ticked earlier runs are drawn over it" },
    { "AnalysisIcaChart",
        "Incremental capacity dQ/dV, in Ah per V, against voltage: a peak marks a voltage where the "
        "cell gives much charge for little voltage" },
    { "AnalysisSmoothing",
        "Width of the moving average over dQ/dV, in mV: wider smooths noise, narrower keeps close "
        "peaks apart" },
    { "AnalysisEarlierRuns",
        "Earlier runs, by station, start and profile: tick one to draw it for comparison" },
    { "AnalysisSummary", "How many readings the run has and the capacity it took" },
};

// The step editor's columns: a row's control is the column's name and the step number
// ("ValStep3"); %1 is the step.
const Tip kStepTips[] = {
    { "ModeStep", "Mode of step %1: CC, CV, CP, CR, SHORT or OPEN (list:step%1:lmod)" },
    { "ValStep",
        "Value of step %1: its level in A (CC), V (CV), W (CP) or Ω (CR) "
        "(list:step%1:lev VALUE,DELAY)" },
    { "DelayStep", "Delay Time of step %1: how long the step lasts, in s (list:step%1:lev VALUE,DELAY)" },
    { "ListC",
        "Compare of step %1: what its reading is judged by: Current, Voltage, Power or Off "
        "(list:step%1:comp)" },
    { "LmtLStep",
        "Limit Low of step %1: the lowest reading that passes, in the unit of Compare "
        "(list:step%1:comp WHAT,LOW,HIGH)" },
    { "LmtHStep",
        "Limit High of step %1: the highest reading that passes, in the unit of Compare "
        "(list:step%1:comp WHAT,LOW,HIGH)" },
    { "StepButton",
        "Step%1: sends step %1 of the editor (list:step%1:lmod, list:step%1:lev, "
        "list:step%1:comp); needs Set first" },
    { "cRes", "Result of step %1: PASS, FAIL or N/C, as the instrument judged it" },
};

// A tip shows plain text on one line however long: broken at spaces, it stays narrower
// than the window.
QString Wrapped(const QString& text)
{
    constexpr qsizetype kWidest = 64;
    QString wrapped;
    wrapped.reserve(text.size());
    qsizetype lineStart = 0;
    for (qsizetype wordStart = 0; wordStart <= text.size();) {
        qsizetype end = text.indexOf(u' ', wordStart);
        if (end < 0)
            end = text.size();
        const QStringView word = QStringView(text).sliced(wordStart, end - wordStart);
        if (wrapped.size() > lineStart && wrapped.size() - lineStart + 1 + word.size() > kWidest) {
            wrapped += u'\n';
            lineStart = wrapped.size();
        } else if (wrapped.size() > lineStart) {
            wrapped += u' ';
        }
        wrapped += word;
        wordStart = end + 1;
    }
    return wrapped;
}

// The texts as written: a tip is wrapped when a control takes it, so the start-up wraps only
// the tips of the page it shows.
const QHash<QString, const char*>& Table()
{
    static const QHash<QString, const char*> table = [] {
        QHash<QString, const char*> t;
        for (const Tip& tip : kTips)
            t.insert(QString::fromLatin1(tip.name), tip.text);
        return t;
    }();
    return table;
}

// Where the lock's reason of a control is kept, on the control itself.
constexpr char kLockReason[] = "dcloadLockReason";

struct PageTab
{
    QTabWidget* tabs = nullptr;
    int index = -1;
};

// The tab of `w` when it is a page of a tab widget.
PageTab TabOf(QWidget* w)
{
    auto* stack = qobject_cast<QStackedWidget*>(w->parentWidget());
    auto* tabs = stack ? qobject_cast<QTabWidget*>(stack->parentWidget()) : nullptr;
    const int index = tabs ? tabs->indexOf(w) : -1;
    return index >= 0 ? PageTab { tabs, index } : PageTab {};
}

QString LockReason(const QWidget* w)
{
    return w->property(kLockReason).toString();
}

// The reasons of `w` and of the locked controls around it, outermost first.
QStringList LockReasons(const QWidget* w)
{
    QStringList reasons;
    for (const QWidget* at = w; at; at = at->isWindow() ? nullptr : at->parentWidget()) {
        const QString reason = LockReason(at);
        if (!reason.isEmpty() && !reasons.contains(reason))
            reasons.prepend(reason);
    }
    return reasons;
}

// `own` is the control's own tip (ToolTipFor its name).
void ShowTip(QWidget* w, const QString& own)
{
    const QStringList reasons = LockReasons(w);
    QStringList lines = reasons;
    if (!own.isEmpty())
        lines.append(own);
    if (const PageTab tab = TabOf(w); tab.tabs) {
        // A page's own text is its tab's; the blank parts of a locked page say why.
        tab.tabs->setTabToolTip(tab.index, lines.join(u'\n'));
        w->setToolTip(reasons.join(u'\n'));
    } else {
        w->setToolTip(lines.join(u'\n'));
    }
}

// Shows the tip of `w` where it has one, its own or a lock's.
void ShowAnyTip(QWidget* w)
{
    const QString own = ToolTipFor(w->objectName());
    if (!own.isEmpty() || !LockReason(w).isEmpty())
        ShowTip(w, own);
}

// A locked page's tab is disabled, except while the page is in front: the tab bar would
// leave a disabled tab for another page, behind the window's back.
bool TabEnabled(const QTabWidget& tabs, int index)
{
    return LockReason(tabs.widget(index)).isEmpty() || tabs.currentIndex() == index;
}

void SyncTabs(QTabWidget& tabs)
{
    for (int index = 0; index < tabs.count(); ++index) {
        const bool enabled = TabEnabled(tabs, index);
        if (tabs.isTabEnabled(index) == enabled)
            continue;
        // The tab widget enables or disables the page with its tab; the page follows its lock.
        tabs.setTabEnabled(index, enabled);
        tabs.widget(index)->setEnabled(LockReason(tabs.widget(index)).isEmpty());
    }
}

// A locked page left in front has its tab disabled once another page is shown.
void WatchTabs(QTabWidget& tabs)
{
    constexpr char kWatched[] = "dcloadLockWatch";
    if (tabs.property(kWatched).toBool())
        return;
    tabs.setProperty(kWatched, true);
    QObject::connect(&tabs, &QTabWidget::currentChanged, &tabs, [&tabs] { SyncTabs(tabs); });
}

} // namespace

QString ToolTipFor(const QString& objectName)
{
    const QHash<QString, const char*>& table = Table();
    if (const auto it = table.constFind(objectName); it != table.constEnd())
        return Wrapped(QString::fromUtf8(*it));
    qsizetype digits = objectName.size();
    while (digits > 0 && objectName[digits - 1].isDigit())
        --digits;
    if (digits == objectName.size() || digits == 0)
        return {};
    const QString column = objectName.left(digits);
    const QString step = objectName.mid(digits);
    // "ValStep03" or "ValStep15" is no row of the editor.
    if ((step.size() > 1 && step.front() == u'0') || step.size() > 2 || step.toInt() >= kListSteps)
        return {};
    for (const Tip& tip : kStepTips) {
        if (column == QLatin1String(tip.name))
            return Wrapped(QString::fromUtf8(tip.text).arg(step));
    }
    return {};
}

void ApplyToolTips(QWidget& window)
{
    for (QWidget* w : window.findChildren<QWidget*>())
        ShowAnyTip(w);
}

void SetLocked(QWidget* w, bool locked, const QString& reason)
{
    const QString stored = locked ? reason : QString();
    if (LockReason(w) == stored && w->testAttribute(Qt::WA_ForceDisabled) == locked)
        return;
    w->setProperty(kLockReason, stored);
    if (const PageTab tab = TabOf(w); tab.tabs) {
        WatchTabs(*tab.tabs);
        SyncTabs(*tab.tabs);
    }
    w->setEnabled(!locked);
    ShowTip(w, ToolTipFor(w->objectName()));
    for (QWidget* inner : w->findChildren<QWidget*>())
        ShowAnyTip(inner);
}

void SetTextToolTip(QWidget* w, const QString& text)
{
    w->setToolTip(text.isEmpty() ? ToolTipFor(w->objectName()) : text);
}

QString LockedWhileRunning(Activity activity)
{
    switch (activity) {
    case Activity::Load:
        return QStringLiteral("Locked while the input is on: press Stop on the Main page first.");
    case Activity::Battery:
        return QStringLiteral("Locked while the battery test runs: press Stop first.");
    case Activity::List:
        return QStringLiteral("Locked while the list test runs: press Stop first.");
    }
    return {};
}
