// The window's frame and its Main page: every group and control with its name, caption,
// default and place, built in code so each control's objectName is its name.
#include "ui/AboutPage.h"
#include "ui/ClassicMetricsStyle.h"
#include "ui/ComboCompletion.h"
#include "ui/ControlMakers.h"
#include "ui/PortComboBox.h"
#include "ui/main.h"
#include "workflows/TestRules.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>

namespace layout {

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

} // namespace layout

using namespace layout;

namespace {

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
