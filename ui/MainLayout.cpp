// The window's layout: every page, group and control with its name, caption, default and
// place, built in code so each control's objectName is its name.
#include "store/ResultsQuery.h"
#include "ui/AboutPage.h"
#include "ui/ClassicMetricsStyle.h"
#include "ui/ComboCompletion.h"
#include "ui/PortComboBox.h"
#include "ui/ResultLamp.h"
#include "ui/main.h"
#include "workflows/TestRules.h"

#include <QAbstractButton>
#include <QAbstractTableModel>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QHash>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QToolTip>
#include <QValueAxis>

namespace {

// ---- fonts and text styles

QFont SizedFont(const QFont& base, int pixels, bool bold)
{
    QFont f(base);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

// ---- control makers: each places one control in pixels, names it and gives it its
// default, so the page builders below read like the window's layout table.

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y)
{
    auto* label = new QLabel(text, parent);
    label->adjustSize();
    label->move(x, y);
    return label;
}

// A label level with the text of the 21-pixel edits of its row.
QLabel* MakeRowLabel(QWidget* parent, const QString& text, int x, int rowY)
{
    auto* label = new QLabel(text, parent);
    label->adjustSize();
    label->setGeometry(x, rowY, label->width(), 21);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

QLineEdit* MakeEdit(QWidget* parent, const QString& name, const QString& text, int x, int y, int w)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(name);
    edit->setGeometry(x, y, w, 21);
    return edit;
}

// Every combo box of the window is editable, and a typed text is never added to the list.
template <class Combo = QComboBox>
Combo* MakeCombo(
    QWidget* parent, const QString& name, const QStringList& items, const QString& text, int x, int y, int w)
{
    auto* combo = new Combo(parent);
    combo->setObjectName(name);
    combo->addItems(items);
    parent->window()->findChild<ComboCompletion*>(QString(), Qt::FindDirectChildrenOnly)->MakeEditable(combo);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setCurrentIndex(combo->findText(text, Qt::MatchExactly));
    combo->setEditText(text);
    combo->setGeometry(x, y, w, 21);
    return combo;
}

QRadioButton* MakeRadio(
    QWidget* parent, const char* name, const QString& text, int x, int y, int w, bool checked)
{
    auto* radio = new QRadioButton(text, parent);
    radio->setObjectName(QLatin1String(name));
    radio->setGeometry(x, y, w, 17);
    radio->setChecked(checked);
    return radio;
}

QPushButton* MakeButton(
    QWidget* parent, const QString& name, const QString& text, const QRect& rect, int pixels = 0)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setGeometry(rect);
    if (pixels > 0)
        button->setFont(SizedFont(button->font(), pixels, true));
    return button;
}

constexpr int kBigButton = 24;
constexpr int kBoldButton = 12;

QGroupBox* MakeGroup(QWidget* parent, const char* name, const QString& title, const QRect& rect,
    Qt::Alignment titleAlignment = Qt::AlignLeft)
{
    auto* group = new QGroupBox(title, parent);
    group->setObjectName(QLatin1String(name));
    group->setGeometry(rect);
    group->setAlignment(titleAlignment);
    return group;
}

QFrame* MakePanel(QWidget* parent, const char* name, const QRect& rect)
{
    auto* panel = new QFrame(parent);
    panel->setObjectName(QLatin1String(name));
    panel->setGeometry(rect);
    // A white, sunken reading window, like the face of a meter.
    panel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    panel->setAutoFillBackground(true);
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Base));
    panel->setPalette(pal);
    return panel;
}

// The big blue readings; blank until the first measurement arrives.
QLabel* MakeDisplay(QWidget* parent, const char* name, int x, int y, int w)
{
    auto* label = new QLabel(QStringLiteral(" "), parent);
    label->setObjectName(QLatin1String(name));
    label->setFont(SizedFont(label->font(), 33, true));
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(pal);
    label->setGeometry(x, y, w, 40);
    return label;
}

// A black result lamp of the list test; the verdict recolours its face.
QLabel* MakeResultPanel(QWidget* parent, const char* name, const QString& caption, int x, int y)
{
    auto* panel = new ResultLamp(caption, parent);
    panel->setObjectName(QLatin1String(name));
    panel->setGeometry(x, y, 73, 41);
    panel->setFont(SizedFont(panel->font(), 12, true));
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, Qt::black);
    panel->setPalette(pal);
    return panel;
}

QWidget* MakePage(QTabWidget* pages, const char* name, const QString& caption)
{
    auto* page = new QWidget;
    page->setObjectName(QLatin1String(name));
    pages->addTab(page, caption);
    return page;
}

// ---- results grids

struct GridColumn
{
    const char* field;
    const char* title;
    int width;
};

// Shows the named fields in this order, with these titles and widths, and hides the rest.
void ShowGridColumns(QTableView* grid, const std::vector<GridColumn>& columns)
{
    QAbstractItemModel* model = grid->model();
    if (!model)
        return;
    QHeaderView* header = grid->horizontalHeader();
    for (int c = 0; c < model->columnCount(); ++c)
        grid->setColumnHidden(c, true);
    int visual = 0;
    for (const GridColumn& col : columns) {
        for (int c = 0; c < model->columnCount(); ++c) {
            if (model->headerData(c, Qt::Horizontal).toString() != QLatin1String(col.field))
                continue;
            model->setHeaderData(c, Qt::Horizontal, QString::fromLatin1(col.title));
            grid->setColumnHidden(c, false);
            grid->setColumnWidth(c, col.width);
            header->moveSection(header->visualIndex(c), visual++);
            break;
        }
    }
}

// A cell too narrow for its text shows it cut short; resting the mouse on it shows the
// whole text. Elsewhere the grid's own tip shows.
class WholeTextTipDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
        const QModelIndex& index) override
    {
        if (event->type() != QEvent::ToolTip || index.data(Qt::ToolTipRole).isValid())
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        QStyleOptionViewItem item(option);
        initStyleOption(&item, index);
        const QStyle* style = view->style();
        // The style keeps this margin on either side of a cell's text.
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
        const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &item, view);
        if (item.text.isEmpty() || item.fontMetrics.horizontalAdvance(item.text) <= text.width() - 2 * margin)
            return false;
        QToolTip::showText(event->globalPos(), item.text, view->viewport(), option.rect);
        return true;
    }
};

QTableView* MakeGrid(QWidget* parent, const char* name, const QRect& rect, TResultsQuery* query,
    const std::vector<GridColumn>& columns)
{
    auto* grid = new QTableView(parent);
    grid->setObjectName(QLatin1String(name));
    grid->setGeometry(rect);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->verticalHeader()->hide();
    grid->verticalHeader()->setDefaultSectionSize(18);
    grid->horizontalHeader()->setHighlightSections(false);
    grid->setItemDelegate(new WholeTextTipDelegate(grid));
    if (QAbstractTableModel* model = query->Model()) {
        grid->setModel(model);
        ShowGridColumns(grid, columns);
    }
    return grid;
}

// ---- pages

void BuildMainPage(TForm1& w, QWidget* page)
{
    // Upper row: live readings, the load switch, sensing and the setting memories.
    w.Panel2 = MakePanel(page, "Panel2", { 16, 8, 401, 114 });
    w.VLable = MakeDisplay(w.Panel2, "VLable", 16, 35, 134);
    w.ILable = MakeDisplay(w.Panel2, "ILable", 152, 35, 118);
    w.PLabel = MakeDisplay(w.Panel2, "PLabel", 272, 35, 125);
    w.startButton = MakeButton(page, "startButton", "Start", { 423, 8, 75, 114 }, kBigButton);

    w.GroupBox10 = MakeGroup(page, "GroupBox10", "Test Mode", { 504, 8, 150, 49 });
    w.MeasureMode0 = MakeRadio(w.GroupBox10, "MeasureMode0", "Local", 12, 22, 60, true);
    w.MeasureMode1 = MakeRadio(w.GroupBox10, "MeasureMode1", "Remote", 78, 22, 66, false);
    w.Label60 = MakeRowLabel(page, "File Nr:", 506, 64);
    w.Label60->setObjectName("Label60");
    w.FileNo
        = MakeCombo(page, "FileNo", { "0", "1", "2", "3", "4", "5", "6", "7", "8", "9" }, "0", 550, 64, 48);
    w.BitBtn1 = MakeButton(page, "BitBtn1", "Save", { 504, 93, 72, 25 });
    w.LoadFile = MakeButton(page, "LoadFile", "Load", { 582, 93, 72, 25 });

    // Middle row: protection limits, and the port.
    w.GroupBox1 = MakeGroup(page, "GroupBox1", "Load Setup", { 16, 128, 401, 113 });
    QWidget* g = w.GroupBox1;
    const int rows[] = { 22, 50, 78 };
    MakeRowLabel(g, "Max. Voltage:", 10, rows[0]);
    w.MaxV = MakeEdit(g, "MaxV", "10", 82, rows[0], 56);
    MakeRowLabel(g, "V", 142, rows[0]);
    MakeRowLabel(g, "Max. Current:", 10, rows[1]);
    w.MaxI = MakeEdit(g, "MaxI", "10", 82, rows[1], 56);
    MakeRowLabel(g, "A", 142, rows[1]);
    MakeRowLabel(g, "Max. Power:", 10, rows[2]);
    w.MaxP = MakeEdit(g, "MaxP", "10", 82, rows[2], 56);
    MakeRowLabel(g, "W", 142, rows[2]);
    MakeRowLabel(g, "On Voltage:", 180, rows[0]);
    w.MinVOn = MakeEdit(g, "MinVOn", "0", 262, rows[0], 56);
    MakeRowLabel(g, "V", 322, rows[0]);
    MakeRowLabel(g, "Off Voltage:", 180, rows[1]);
    w.MinVOff = MakeEdit(g, "MinVOff", "0", 262, rows[1], 56);
    MakeRowLabel(g, "V", 322, rows[1]);
    w.CheckBox29 = new QCheckBox(g);
    w.CheckBox29->setObjectName("CheckBox29");
    w.CheckBox29->setGeometry(163, rows[2] + 2, 16, 17);
    w.CheckBox29->setChecked(true);
    MakeRowLabel(g, "Auto Delay Off:", 180, rows[2]);
    w.AutoOff = MakeEdit(g, "AutoOff", "0", 262, rows[2], 56);
    MakeRowLabel(g, "s", 322, rows[2]);
    w.fuZaiButton = MakeButton(g, "fuZaiButton", "Set", { 350, 58, 41, 33 }, kBoldButton);

    w.GroupBox9 = MakeGroup(page, "GroupBox9", "Communication and Control", { 437, 129, 225, 113 });
    g = w.GroupBox9;
    MakeRowLabel(g, "COM Port:", 10, rows[0]);
    auto* portBox = MakeCombo<PortComboBox>(g, "Combo", { "COM1", "COM2" }, "Combo", 72, rows[0], 88);
    portBox->ShowStartOfText();
    w.Combo = portBox;
    w.combutton = MakeButton(g, "combutton", "Select", { 164, rows[0] - 2, 56, 25 }, kBoldButton);
    MakeRowLabel(g, "Baud Rate:", 10, rows[1]);
    w.BaudRate
        = MakeCombo(g, "BaudRate", { "4800", "9600", "11520", "12800", "14400", "19200", "28800", "38400" },
            "BaudRate", 72, rows[1], 88);
    MakeRowLabel(g, "Address:", 10, rows[2]);
    w.AdrValue = MakeEdit(g, "AdrValue", "8", 72, rows[2], 50);
    // Lies over the group's lower right corner, as a page control of its own.
    w.BitBtn2 = MakeButton(page, "BitBtn2", "Control Panel", { 572, 197, 82, 25 });
    w.BitBtn2->raise();

    // Lower row, laid out right to left: captions at the right, each radio button's text
    // before its circle, the circles in one column just left of the edits.
    w.GroupBox2 = MakeGroup(page, "GroupBox2", "Load Pattern", { 16, 248, 274, 185 }, Qt::AlignRight);
    g = w.GroupBox2;
    struct PatternRow
    {
        QRadioButton** radio;
        const char* name;
        const char* caption;
        QLineEdit** edit;
        const char* editName;
        const char* unit;
    };
    const PatternRow patternRows[] = {
        { &w.loadI, "loadI", "I-SET", &w.ISet, "ISet", "A" },
        { &w.loadV, "loadV", "V-SET", &w.VSet, "VSet", "V" },
        { &w.loadP, "loadP", "P-SET", &w.PSet, "PSet", "W" },
        { &w.loadR, "loadR", "R-SET", &w.RSet, "RSet", "\u03A9" },
        { &w.loadS, "loadS", "SHORT", nullptr, nullptr, nullptr },
        { &w.loadD, "loadD", "TRANSIENT", nullptr, nullptr, nullptr },
    };
    int y = 24;
    for (const PatternRow& row : patternRows) {
        *row.radio = MakeRadio(g, row.name, row.caption, 16, y + 2, 110, row.radio == &w.loadI);
        (*row.radio)->setLayoutDirection(Qt::RightToLeft);
        if (row.edit) {
            *row.edit = MakeEdit(g, row.editName, "10", 134, y, 80);
            MakeRowLabel(g, row.unit, 219, y);
        }
        y += 26;
    }
    w.modeButton = MakeButton(g, "modeButton", "Set", { 141, 130, 73, 41 }, 20);

    // Transient parameters: captions at the right, contents left to right.
    w.GroupBox3
        = MakeGroup(page, "GroupBox3", "Transient Test Parameters", { 333, 248, 329, 185 }, Qt::AlignRight);
    g = w.GroupBox3;
    w.GroupBox4 = MakeGroup(g, "GroupBox4", "Transient Load", { 10, 20, 120, 46 }, Qt::AlignRight);
    w.TranType = MakeRadio(w.GroupBox4, "TranType", "CV", 10, 21, 48, true);
    w.TranType1 = MakeRadio(w.GroupBox4, "TranType1", "CC", 64, 21, 48, false);
    w.GroupBox5 = MakeGroup(g, "GroupBox5", "Transient Mode", { 140, 20, 179, 46 }, Qt::AlignRight);
    w.TranMode0 = MakeRadio(w.GroupBox5, "TranMode0", "Cont.", 10, 21, 54, true);
    w.TranMode1 = MakeRadio(w.GroupBox5, "TranMode1", "Pulse", 66, 21, 54, false);
    w.TranMode2 = MakeRadio(w.GroupBox5, "TranMode2", "Trig.", 122, 21, 52, false);
    MakeRowLabel(g, "Level A:", 12, 80);
    w.TranA0 = MakeEdit(g, "TranA0", "10", 66, 80, 70);
    MakeRowLabel(g, "Width A:", 12, 110);
    w.TranA1 = MakeEdit(g, "TranA1", "10", 66, 110, 70);
    MakeRowLabel(g, "ms", 140, 110);
    MakeRowLabel(g, "Level B:", 170, 80);
    w.TranB0 = MakeEdit(g, "TranB0", "10", 224, 80, 70);
    MakeRowLabel(g, "Width B:", 170, 110);
    w.TranB1 = MakeEdit(g, "TranB1", "10", 224, 110, 70);
    MakeRowLabel(g, "ms", 298, 110);
    w.DButton = MakeButton(g, "DButton", "Trigger", { 49, 142, 75, 25 }, kBoldButton);
}

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

void BuildInstructionsPage(QWidget* page, int pageWidth)
{
    auto* heading = new QLabel("Instructions", page);
    heading->setFont(SizedFont(page->font(), 21, true));
    heading->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    heading->setGeometry(0, 32, pageWidth, 30);

    const QFont text = SizedFont(page->font(), 13, false);
    const int x = 64;
    const int width = pageWidth - x - 48;
    int y = 0;
    auto line = [&](const QString& caption, int top) {
        auto* label = new QLabel(caption, page);
        label->setFont(text);
        label->setWordWrap(true);
        y = std::max(top, y);
        label->setGeometry(x, y, width, label->heightForWidth(width));
        y += label->height() + 1;
    };
    line("1. Open the Serial Port", 96);
    line("2. Set test mode and the corresponding parameter values", 137);
    line("3. Start testing", 179);
    // The long hint wraps onto a second line; the notice follows right below it.
    line("You can also open the db.sqlite file in an SQLite viewer, or right-click a results table to export "
         "it "
         "as CSV for a spreadsheet, after the software has completed a test.",
        239);
    line("Notice : The db.sqlite file will be emptied every time you start this software.", 256);
    line("Before that, its rows are copied into the db-archive folder beside it "
         "(db-archive/db-date-time.sqlite; the newest 50 are kept). A second window started in the "
         "same folder does not empty it: it asks, and can only open it read-only, storing none of "
         "its own readings.",
        y + 6);
}

void BuildAboutPage(TForm1& w, QWidget* page, int pageWidth)
{
    w.Image1 = new QLabel(page);
    w.Image1->setObjectName("Image1");
    w.Image1->setGeometry(16, 16, 633, 148);

    auto centred = [&](const QString& caption, int y, const QFont& font) {
        auto* label = new QLabel(caption, page);
        label->setFont(font);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setGeometry(0, y, pageWidth, QFontMetrics(font).height() + 2);
        return label;
    };
    centred(kAboutVersion, 206, SizedFont(page->font(), 13, true));
    centred(kAboutCompany, 246, page->font());
    centred(kAboutStreet, 266, page->font());
    centred(kAboutTown, 288, page->font());

    // Only the link's own text reacts, with the pointing hand, like a browser link.
    w.Label73 = centred(QString(), 307, page->font());
    w.Label73->setObjectName("Label73");
    const QColor highlight = page->palette().color(QPalette::Highlight);
    w.Label73->setText(QStringLiteral("<a href=\"%1\" style=\"color:%2; text-decoration:underline\">%1</a>")
                           .arg(kAboutWebAddress, highlight.name()));
    w.Label73->setTextFormat(Qt::RichText);
    w.Label73->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    w.Label73->setOpenExternalLinks(false);
}

// Gives every caption of a page room in the face the system has: a control whose
// caption would be clipped gets a narrower font, never another size or place.
void FitCaptions(TForm1& w, QWidget* page)
{
    // The captions the window's state gives these controls besides the one they are built
    // with; each control gets one font for all of them.
    const QStringList portCaptions = { "Select", "Connect", "Connecting…", "Disconnect" };
    const QStringList runCaptions = { "Start", "Begin", "Stop" };
    QHash<QWidget*, QStringList> captions;
    if (page == w.TabSheet2)
        captions = { { w.combutton, portCaptions }, { w.startButton, runCaptions } };
    else if (page == w.TabSheet3)
        captions = { { w.startButtonB, runCaptions } };
    else if (page == w.TabSheet4) {
        captions = { { w.startButtonL, runCaptions } };
        for (QLabel* verdict : w.cRes)
            captions.insert(
                verdict, { StepVerdictCaption("0"), StepVerdictCaption("1"), StepVerdictCaption("2") });
    }

    for (QWidget* control : page->findChildren<QWidget*>()) {
        const auto* label = qobject_cast<QLabel*>(control);
        const auto* button = qobject_cast<QAbstractButton*>(control);
        // Wrapped and rich texts are laid out by the label itself; a picture has no caption.
        if (label && (label->wordWrap() || label->textFormat() == Qt::RichText || !label->pixmap().isNull()))
            continue;
        const bool captioned = label || qobject_cast<QPushButton*>(control)
            || qobject_cast<QRadioButton*>(control) || qobject_cast<QCheckBox*>(control);
        if (captioned && !captions.contains(control))
            captions.insert(control, { label ? label->text() : button->text() });
    }
    for (auto it = captions.cbegin(); it != captions.cend(); ++it)
        ClassicMetricsStyle::FitCaptions(it.key(), it.value());
}

} // namespace

void TForm1::BuildLayout()
{
    new ComboCompletion(this);
    auto* client = new QWidget(this);
    setCentralWidget(client);
    PageControl1 = new QTabWidget(client);
    PageControl1->setObjectName("PageControl1");
    PageControl1->setGeometry(1, 1, 673, 465);
    TabSheet2 = MakePage(PageControl1, "TabSheet2", "Main");
    TabSheet3 = MakePage(PageControl1, "TabSheet3", "Battery Test");
    TabSheet4 = MakePage(PageControl1, "TabSheet4", "List Test");
    TabSheet1 = MakePage(PageControl1, "TabSheet1", "Instructions");
    TabSheet5 = MakePage(PageControl1, "TabSheet5", "About");
    // The other pages are built when first shown (BuildPage).
    BuildMainPage(*this, TabSheet2);
    FitCaptions(*this, TabSheet2);
    PageControl1->setCurrentIndex(0);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setFixedHeight(19);
    StatusPanel0 = new QLabel(StatusBar1);
    StatusPanel0->setObjectName("StatusPanel0");
    StatusBar1->addWidget(StatusPanel0);
    // What the session tells of the instrument and its runs, beside the connection.
    StatusNote = new QLabel(StatusBar1);
    StatusNote->setObjectName("StatusNote");
    StatusBar1->addWidget(StatusNote, 1);
    StatusLink = new QLabel(StatusBar1);
    StatusLink->setObjectName("StatusLink");
    StatusBar1->addWidget(StatusLink);
    StatusStore = new QLabel(StatusBar1);
    StatusStore->setObjectName("StatusStore");
    StatusBar1->addWidget(StatusStore);
    // Errors get their own place on the right, so the connection text stays readable.
    StatusError = new QLabel(StatusBar1);
    StatusError->setObjectName("StatusError");
    StatusError->setMaximumWidth(380);
    QPalette pal = StatusError->palette();
    pal.setColor(QPalette::WindowText, QColor(170, 0, 0));
    StatusError->setPalette(pal);
    StatusBar1->addPermanentWidget(StatusError);
    setStatusBar(StatusBar1);
}

void TForm1::BuildPage(QWidget* page)
{
    const int pageWidth = 673 - 4;
    if (page == TabSheet3)
        BuildBatteryPage(*this, page);
    else if (page == TabSheet4)
        BuildListPage(*this, page);
    else if (page == TabSheet1)
        BuildInstructionsPage(page, pageWidth);
    else if (page == TabSheet5) {
        BuildAboutPage(*this, page, pageWidth);
        Image1->setPixmap(DrawAboutBanner(Image1->size()));
    }
    FitCaptions(*this, page);
}
