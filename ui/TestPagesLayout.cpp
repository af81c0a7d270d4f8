// The Battery Test and List Test pages: readings, chart, grids, parameters and the step editor.
#include "ui/ControlMakers.h"
#include "ui/main.h"
#include "workflows/TestRules.h"

#include <QChart>
#include <QChartView>
#include <QGroupBox>
#include <QLabel>
#include <QLineSeries>
#include <QScrollArea>
#include <QValueAxis>

namespace layout {

void BuildBatteryPage(TForm1& w, QWidget* page)
{
    w.Panel1 = MakePanel(page, "Panel1", { 8, 16, 553, 97 });
    w.LabelBV = MakeDisplay(w.Panel1, "LabelBV", 48, 10, 250);
    w.LabelBI = MakeDisplay(w.Panel1, "LabelBI", 312, 10, 236);
    w.LabelBC = MakeDisplay(w.Panel1, "LabelBC", 48, 51, 250);
    w.LabelBT = MakeDisplay(w.Panel1, "LabelBT", 311, 51, 237);
    // The run's elapsed time as h:mm:ss, small beside the seconds the instrument counts.
    w.LabelBElapsed = new QLabel(w.Panel1);
    w.LabelBElapsed->setObjectName(QStringLiteral("LabelBElapsed"));
    w.LabelBElapsed->setFont(SizedFont(w.Panel1->font(), 13, true));
    w.LabelBElapsed->setAlignment(Qt::AlignRight | Qt::AlignBottom);
    w.LabelBElapsed->setGeometry(196, 66, 100, 22);
    w.startButtonB = MakeButton(page, "startButtonB", "Start", { 567, 16, 88, 97 }, kBigButton);

    auto* chart = new QChart;
    chart->setObjectName("Chart1Chart");
    chart->setTitle("Battery Test Graph");
    chart->setTitleFont(SizedFont(page->font(), 12, true));
    chart->setMargins(QMargins(2, 2, 6, 2));
    chart->legend()->setAlignment(Qt::AlignTop);
    chart->legend()->setFont(page->font());
    w.Series1 = new QLineSeries(chart);
    w.Series1->setObjectName("Series1");
    w.Series1->setName("V");
    w.Series1->setColor(Qt::red);
    w.BottomAxis = new QValueAxis(chart);
    w.BottomAxis->setObjectName("BottomAxis");
    w.BottomAxis->setTitleText("s");
    w.BottomAxis->setRange(0, 25);
    w.LeftAxis = new QValueAxis(chart);
    w.LeftAxis->setObjectName("LeftAxis");
    w.LeftAxis->setTitleText("V");
    w.LeftAxis->setRange(0, 1.0);
    for (QValueAxis* axis : { w.BottomAxis, w.LeftAxis }) {
        axis->setLabelsFont(page->font());
        axis->setTitleFont(page->font());
    }
    chart->addSeries(w.Series1);
    chart->addAxis(w.BottomAxis, Qt::AlignBottom);
    chart->addAxis(w.LeftAxis, Qt::AlignLeft);
    w.Series1->attachAxis(w.BottomAxis);
    w.Series1->attachAxis(w.LeftAxis);
    w.Chart1 = new QChartView(chart, page);
    w.Chart1->setObjectName("Chart1");
    // The scene owns the chart as an item; as a QObject child of the view as well, the
    // chart and its series are found by name from the window like every other part.
    // Either owner's destruction detaches it from the other.
    chart->setParent(w.Chart1);
    w.Chart1->setGeometry(8, 120, 321, 249);
    w.Chart1->setRenderHint(QPainter::Antialiasing);

    w.DBGrid2 = MakeGrid(page, "DBGrid2", { 336, 120, 320, 249 }, w.ADOQuery2,
        { { "Id", "#", 29 }, { "InputVoltage", "Input Voltage", 70 }, { "InputCurrent", "Input Current", 70 },
            { "BatteryCapacity", "Capacity", 49 }, { "DischargeTime", "Discharge Time", 80 } });

    w.GroupBox13 = MakeGroup(page, "GroupBox13", "Parameters", { 8, 376, 649, 57 });
    QWidget* g = w.GroupBox13;
    const int row = 24;
    MakeRowLabel(g, "Discharge Current:", 10, row);
    w.BChargeI = MakeEdit(g, "BChargeI", "0.3", 106, row, 60);
    MakeRowLabel(g, "A", 170, row);
    MakeRowLabel(g, "Cut Off Voltage:", 196, row);
    w.BOffV = MakeEdit(g, "BOffV", "8", 280, row, 60);
    MakeRowLabel(g, "V", 344, row);
    w.BSetButton = MakeButton(g, "BSetButton", "Set up", { 370, row - 2, 80, 25 }, kBoldButton);
    MakeRowLabel(g, "Test Period:", 480, row);
    w.testInteral = MakeEdit(g, "testInteral", "2", 546, row, 60);
    MakeRowLabel(g, "s", 610, row);
}

void BuildStepEditor(TForm1& w, QWidget* page)
{
    w.ScrollBox1 = new QScrollArea(page);
    w.ScrollBox1->setObjectName("ScrollBox1");
    w.ScrollBox1->setGeometry(8, 256, 657, 177);
    w.ScrollBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    w.ScrollBox1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    w.ScrollBox1->setWidgetResizable(false);
    // In place before its rows are made: a box filled first and moved into the window
    // afterwards would hand every row the window's font as a change, which makes each
    // combo box build its drop-down list at once.
    w.GroupBox8 = new QGroupBox("Create Sequence");
    w.GroupBox8->setObjectName("GroupBox8");
    w.GroupBox8->resize(626, 398);
    w.ScrollBox1->setWidget(w.GroupBox8);
    QWidget* g = w.GroupBox8;

    const struct
    {
        int x;
        const char* caption;
    } headers[] = { { 15, "Step" }, { 44, "Mode" }, { 119, "Value" }, { 195, "Delay Time" },
        { 272, "Compare" }, { 346, "Limit Low" }, { 422, "Limit High" }, { 498, "Set" }, { 574, "Result" } };
    for (const auto& h : headers)
        MakeLabel(g, h.caption, h.x, 16);

    for (int n = 0; n < kListSteps; ++n) {
        const QString nr = QString::number(n);
        const int y = n == 0 ? 30 : n == 1 ? 57 : 81 + (n - 2) * 24;
        MakeRowLabel(g, nr, 15, y);
        w.ModeStep[n]
            = MakeCombo(g, "ModeStep" + nr, { "CC", "CV", "CP", "CR", "SHORT", "OPEN" }, "CC", 44, y, 57);
        w.ValStep[n] = MakeEdit(g, "ValStep" + nr, "0.2", 119, y, 53);
        w.DelayStep[n] = MakeEdit(g, "DelayStep" + nr, "5", 195, y, 55);
        w.ListC[n]
            = MakeCombo(g, "ListC" + nr, { "Current", "Voltage", "Power", "Off" }, "Current", 272, y, 57);
        w.LmtLStep[n] = MakeEdit(g, "LmtLStep" + nr, "0.1", 346, y, 46);
        w.LmtHStep[n] = MakeEdit(g, "LmtHStep" + nr, "0.3", 422, y, 46);
        w.StepButton[n] = MakeButton(g, "StepButton" + nr, "Step" + nr, { 498, y, 60, 21 });
        w.cRes[n] = MakeRowLabel(g, " ", 574, y);
        w.cRes[n]->setObjectName("cRes" + nr);
        w.cRes[n]->resize(48, 21);
    }
}

void BuildListPage(TForm1& w, QWidget* page)
{
    w.Panel3 = MakePanel(page, "Panel3", { 8, 8, 329, 113 });
    w.ListS = MakeDisplay(w.Panel3, "ListS", 11, 40, 63);
    w.ListV = MakeDisplay(w.Panel3, "ListV", 76, 40, 117);
    w.ListI = MakeDisplay(w.Panel3, "ListI", 195, 40, 130);
    w.ListR1 = MakeResultPanel(page, "ListR1", "N/C", 8, 136);
    w.ListR2 = MakeResultPanel(page, "ListR2", "Passed", 136, 136);
    w.ListR3 = MakeResultPanel(page, "ListR3", "Failed", 264, 136);

    w.DBGrid1 = MakeGrid(page, "DBGrid1", { 368, 8, 289, 177 }, w.ADOQuery1,
        { { "Nr", "Step", 30 }, { "mValueV", "Voltage", 60 }, { "mValueI", "Current", 60 },
            { "sTime", "Time", 65 }, { "Result", "Result", 53 } });

    w.GroupBox6 = MakeGroup(page, "GroupBox6", "Step Mode", { 8, 195, 118, 51 });
    w.StepTrig = MakeRadio(w.GroupBox6, "StepTrig", "Trig", 12, 24, 46, false);
    w.StepAuto = MakeRadio(w.GroupBox6, "StepAuto", "Auto", 62, 24, 50, true);
    w.GroupBox7 = MakeGroup(page, "GroupBox7", "Repeat?", { 134, 195, 110, 51 });
    w.StepRepeatY = MakeRadio(w.GroupBox7, "StepRepeatY", "Yes", 12, 24, 44, false);
    w.StepRepeatN = MakeRadio(w.GroupBox7, "StepRepeatN", "No", 60, 24, 44, true);
    w.GroupBox12 = MakeGroup(page, "GroupBox12", "List Nr.", { 252, 195, 85, 51 });
    w.ListSetNum = MakeCombo(w.GroupBox12, "ListSetNum",
        { "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14" }, "2", 12, 21, 60);
    w.LSetButton = MakeButton(page, "LSetButton", "Set", { 368, 203, 89, 35 }, kBoldButton);
    w.startButtonL = MakeButton(page, "startButtonL", "Start", { 468, 203, 89, 35 }, kBoldButton);
    w.TrigButton = MakeButton(page, "TrigButton", "Trig", { 568, 203, 89, 35 }, kBoldButton);

    BuildStepEditor(w, page);
}

} // namespace layout
