// The window as the operator first sees it: every named control with its kind, caption
// or default, item list and place; the static captions; and that every caption fits.
#include "WindowFixture.h"

#include "comm/SerialComm.h"
#include "store/ResultsQuery.h"
#include "ui/ResultLamp.h"
#include "workflows/ConnectionRules.h"

#include <QAbstractItemModel>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QValueAxis>
#include <optional>
#include <vector>

namespace {

struct ExpectedControl
{
    QString name;
    const char* kind;
    std::optional<QString> text; // caption, default text or title; unset: not checked
    QStringList items = {};
    std::optional<QPoint> pos = {}; // relative to `origin` (its page when empty)
    std::optional<QSize> size = {};
    QString origin = {};
    int slack = 0; // pixels a position may differ
};

QWidget* PageOf(QWidget* w)
{
    for (QWidget* p = w->parentWidget(); p; p = p->parentWidget())
        if (p->objectName().startsWith("TabSheet"))
            return p;
    return nullptr;
}

QString TextOf(QWidget* w)
{
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* c = qobject_cast<QComboBox*>(w))
        return c->currentText();
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return g->title();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    return {};
}

QStringList ItemsOf(QComboBox* c)
{
    QStringList items;
    for (int i = 0; i < c->count(); ++i)
        items << c->itemText(i);
    return items;
}

std::vector<ExpectedControl> WindowControls()
{
    const QStringList digits = { "0", "1", "2", "3", "4", "5", "6", "7", "8", "9" };
    std::vector<ExpectedControl> c = {
        // page "Main"
        { "Panel2", "QFrame", {}, {}, QPoint(16, 8), QSize(401, 114) },
        { "VLable", "QLabel", " ", {}, QPoint(16, 35), {}, "Panel2" },
        { "ILable", "QLabel", " ", {}, QPoint(152, 35), {}, "Panel2" },
        { "PLabel", "QLabel", " ", {}, QPoint(272, 35), {}, "Panel2" },
        { "startButton", "QPushButton", "Start", {}, QPoint(423, 8), QSize(75, 114) },
        { "GroupBox10", "QGroupBox", "Test Mode", {}, QPoint(504, 8), QSize(150, 49) },
        { "MeasureMode0", "QRadioButton", "Local" },
        { "MeasureMode1", "QRadioButton", "Remote" },
        { "Label60", "QLabel", "File Nr:" },
        { "FileNo", "QComboBox", "0", digits },
        { "BitBtn1", "QPushButton", "Save" },
        { "LoadFile", "QPushButton", "Load" },
        { "GroupBox1", "QGroupBox", "Load Setup", {}, QPoint(16, 128), QSize(401, 113) },
        { "MaxV", "QLineEdit", "10" },
        { "MaxI", "QLineEdit", "10" },
        { "MaxP", "QLineEdit", "10" },
        { "MinVOn", "QLineEdit", "0" },
        { "MinVOff", "QLineEdit", "0" },
        { "AutoOff", "QLineEdit", "0" },
        { "CheckBox29", "QCheckBox", "" },
        { "fuZaiButton", "QPushButton", "Set", {}, {}, QSize(41, 33) },
        { "GroupBox9", "QGroupBox", "Communication and Control", {}, QPoint(437, 129), QSize(225, 113) },
        // Start-up replaces the port list and selects "9600"; the layout's texts are gone.
        { "Combo", "QComboBox", {} },
        { "BaudRate", "QComboBox", {},
            { "4800", "9600", "11520", "12800", "14400", "19200", "28800", "38400" } },
        { "combutton", "QPushButton", "Select" },
        { "AdrValue", "QLineEdit", "8" },
        { "BitBtn2", "QPushButton", "Control Panel", {}, QPoint(572, 197), QSize(82, 25) },
        { "GroupBox2", "QGroupBox", "Load Pattern", {}, QPoint(16, 248), QSize(274, 185) },
        { "loadI", "QRadioButton", "I-SET" },
        { "loadV", "QRadioButton", "V-SET" },
        { "loadP", "QRadioButton", "P-SET" },
        { "loadR", "QRadioButton", "R-SET" },
        { "loadS", "QRadioButton", "SHORT" },
        { "loadD", "QRadioButton", "TRANSIENT" },
        { "ISet", "QLineEdit", "10" },
        { "VSet", "QLineEdit", "10" },
        { "PSet", "QLineEdit", "10" },
        { "RSet", "QLineEdit", "10" },
        { "modeButton", "QPushButton", "Set", {}, {}, QSize(73, 41) },
        { "GroupBox3", "QGroupBox", "Transient Test Parameters", {}, QPoint(333, 248), QSize(329, 185) },
        { "GroupBox4", "QGroupBox", "Transient Load" },
        { "TranType", "QRadioButton", "CV" },
        { "TranType1", "QRadioButton", "CC" },
        { "GroupBox5", "QGroupBox", "Transient Mode" },
        { "TranMode0", "QRadioButton", "Cont." },
        { "TranMode1", "QRadioButton", "Pulse" },
        { "TranMode2", "QRadioButton", "Trig." },
        { "TranA0", "QLineEdit", "10" },
        { "TranA1", "QLineEdit", "10" },
        { "TranB0", "QLineEdit", "10" },
        { "TranB1", "QLineEdit", "10" },
        { "DButton", "QPushButton", "Trigger", {}, QPoint(382, 390), QSize(75, 25) },
        // page "Battery Test"
        { "Panel1", "QFrame", {}, {}, QPoint(8, 16), QSize(553, 97) },
        { "LabelBV", "QLabel", " ", {}, QPoint(48, 10), {}, "Panel1" },
        { "LabelBI", "QLabel", " ", {}, QPoint(312, 10), {}, "Panel1" },
        { "LabelBC", "QLabel", " ", {}, QPoint(48, 51), {}, "Panel1" },
        { "LabelBT", "QLabel", " ", {}, QPoint(311, 51), {}, "Panel1" },
        { "startButtonB", "QPushButton", "Start", {}, QPoint(567, 16), QSize(88, 97) },
        { "Chart1", "QChartView", {}, {}, QPoint(8, 120), QSize(321, 249) },
        { "DBGrid2", "QTableView", {}, {}, QPoint(336, 120), QSize(320, 249) },
        { "GroupBox13", "QGroupBox", "Parameters", {}, QPoint(8, 376), QSize(649, 57) },
        { "BChargeI", "QLineEdit", "0.3" },
        { "BOffV", "QLineEdit", "8" },
        { "BSetButton", "QPushButton", "Set up" },
        { "testInteral", "QLineEdit", "2" },
        // page "List Test"
        { "Panel3", "QFrame", {}, {}, QPoint(8, 8), QSize(329, 113) },
        { "ListS", "QLabel", " ", {}, QPoint(11, 40), {}, "Panel3" },
        { "ListV", "QLabel", " ", {}, QPoint(76, 40), {}, "Panel3" },
        { "ListI", "QLabel", " ", {}, QPoint(195, 40), {}, "Panel3" },
        { "ListR1", "QLabel", "N/C", {}, QPoint(8, 136), QSize(73, 41) },
        { "ListR2", "QLabel", "Passed", {}, QPoint(136, 136), QSize(73, 41) },
        { "ListR3", "QLabel", "Failed", {}, QPoint(264, 136), QSize(73, 41) },
        { "DBGrid1", "QTableView", {}, {}, QPoint(368, 8), QSize(289, 177) },
        { "GroupBox6", "QGroupBox", "Step Mode" },
        { "StepTrig", "QRadioButton", "Trig" },
        { "StepAuto", "QRadioButton", "Auto" },
        { "GroupBox7", "QGroupBox", "Repeat?" },
        { "StepRepeatY", "QRadioButton", "Yes" },
        { "StepRepeatN", "QRadioButton", "No" },
        { "GroupBox12", "QGroupBox", "List Nr." },
        { "ListSetNum", "QComboBox", "2",
            { "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14" } },
        { "LSetButton", "QPushButton", "Set" },
        { "startButtonL", "QPushButton", "Start" },
        { "TrigButton", "QPushButton", "Trig" },
        { "ScrollBox1", "QScrollArea", {}, {}, QPoint(8, 256), QSize(657, 177) },
        { "GroupBox8", "QGroupBox", "Create Sequence", {}, {}, QSize(626, 398) },
        // page "About"
        { "Image1", "QLabel", {}, {}, QPoint(16, 16), QSize(633, 148) },
    };
    for (int n = 0; n < kListSteps; ++n) {
        const QString nr = QString::number(n);
        const int y = n == 0 ? 30 : n == 1 ? 57 : 81 + (n - 2) * 24;
        auto row = [&](const char* prefix, const char* kind, const QString& text, const QStringList& items,
                       int x, std::optional<QSize> size) {
            c.push_back({ prefix + nr, kind, text, items, QPoint(x, y), size, "GroupBox8", 4 });
        };
        row("ModeStep", "QComboBox", "CC", { "CC", "CV", "CP", "CR", "SHORT", "OPEN" }, 44, QSize(57, 21));
        row("ValStep", "QLineEdit", "0.2", {}, 119, QSize(53, 21));
        row("DelayStep", "QLineEdit", "5", {}, 195, QSize(55, 21));
        row("ListC", "QComboBox", "Current", { "Current", "Voltage", "Power", "Off" }, 272, QSize(57, 21));
        row("LmtLStep", "QLineEdit", "0.1", {}, 346, QSize(46, 21));
        row("LmtHStep", "QLineEdit", "0.3", {}, 422, QSize(46, 21));
        row("StepButton", "QPushButton", "Step" + nr, {}, 498, QSize(60, 21));
        c.push_back({ "cRes" + nr, "QLabel", " " });
    }
    return c;
}

} // namespace

TEST_F(WindowTest, EveryControlHasItsKindDefaultItemsAndPlace)
{
    for (const ExpectedControl& want : WindowControls()) {
        SCOPED_TRACE(want.name.toStdString());
        QWidget* w = Find(want.name);
        ASSERT_NE(w, nullptr);
        EXPECT_TRUE(w->inherits(want.kind)) << w->metaObject()->className();
        if (want.text) {
            EXPECT_EQ(TextOf(w), *want.text);
        }
        if (!want.items.isEmpty()) {
            auto* combo = qobject_cast<QComboBox*>(w);
            ASSERT_NE(combo, nullptr);
            EXPECT_EQ(ItemsOf(combo), want.items);
        }
        if (want.pos) {
            QWidget* origin = want.origin.isEmpty() ? PageOf(w) : Find(want.origin);
            ASSERT_NE(origin, nullptr);
            const QPoint at = w->mapTo(origin, QPoint(0, 0));
            EXPECT_LE(std::abs(at.x() - want.pos->x()), want.slack) << at.x();
            EXPECT_LE(std::abs(at.y() - want.pos->y()), want.slack) << at.y();
        }
        if (want.size) {
            EXPECT_EQ(w->size(), *want.size);
        }
    }
}

TEST_F(WindowTest, EveryComboBoxIsEditableAndKeepsTypedTextOutOfItsList)
{
    for (QComboBox* combo : form->findChildren<QComboBox*>()) {
        SCOPED_TRACE(combo->objectName().toStdString());
        EXPECT_TRUE(combo->isEditable());
        EXPECT_EQ(combo->insertPolicy(), QComboBox::NoInsert);
    }
    // Typing the start of an item completes it in place from that box's own items.
    QApplication::setActiveWindow(form.get());
    const std::tuple<QComboBox*, const char*, const char*> typed[] = { { form->ModeStep[3], "sh", "shORT" },
        { form->ListC[3], "vo", "voltage" }, { form->ModeStep[4], "o", "oPEN" } };
    for (const auto& [box, start, completed] : typed) {
        box->lineEdit()->setFocus();
        box->lineEdit()->selectAll();
        TypeKeys(box->lineEdit(), QString::fromLatin1(start));
        EXPECT_EQ(box->currentText(), completed) << box->objectName().toStdString();
    }
}

TEST_F(WindowTest, PagesAreInOrderWithTheirCaptions)
{
    const std::pair<const char*, const char*> pages[]
        = { { "TabSheet2", "Main" }, { "TabSheet3", "Battery Test" }, { "TabSheet4", "List Test" },
              { "TabSheet1", "Instructions" }, { "TabSheet5", "About" } };
    QTabWidget* tabs = form->PageControl1;
    ASSERT_EQ(tabs->count(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(tabs->widget(i)->objectName(), pages[i].first);
        EXPECT_EQ(tabs->tabText(i), pages[i].second);
    }
}

TEST_F(WindowTest, OpensOnMainWithTheLayoutsSelectionsAndStartUpDisablesTheLoadButtons)
{
    EXPECT_EQ(form->PageControl1->currentIndex(), 0);
    for (const char* name : { "loadI", "TranType", "TranMode0", "MeasureMode0", "StepAuto", "StepRepeatN" })
        EXPECT_TRUE(Find<QRadioButton>(name)->isChecked()) << name;
    EXPECT_TRUE(Find<QCheckBox>("CheckBox29")->isChecked());
    for (const char* name : { "fuZaiButton", "startButton", "modeButton", "startButtonB", "startButtonL" })
        EXPECT_FALSE(Find(name)->isEnabled()) << name;
    for (const char* name : { "combutton", "BSetButton", "LSetButton", "DButton" })
        EXPECT_TRUE(Find(name)->isEnabled()) << name;
}

TEST_F(WindowTest, RadioButtonsAreGroupedByTheirContainer)
{
    // Clicking one radio button clears only its own group's other buttons.
    struct Case
    {
        const char* click;
        const char* cleared;
        std::vector<const char*> untouched;
    };
    const Case cases[] = {
        { "loadV", "loadI", { "TranType", "TranMode0", "MeasureMode0", "StepAuto", "StepRepeatN" } },
        { "TranType1", "TranType", { "TranMode0", "MeasureMode0", "StepAuto", "StepRepeatN" } },
        { "TranMode2", "TranMode0", { "TranType1", "MeasureMode0" } },
        { "StepTrig", "StepAuto", { "StepRepeatN" } },
        { "StepRepeatY", "StepRepeatN", { "StepTrig" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.click);
        Find<QRadioButton>(c.click)->setChecked(true);
        EXPECT_FALSE(Find<QRadioButton>(c.cleared)->isChecked());
        for (const char* name : c.untouched)
            EXPECT_TRUE(Find<QRadioButton>(name)->isChecked()) << name;
    }
}

TEST_F(WindowTest, StaticCaptionsOfEveryPage)
{
    const std::pair<const char*, QStringList> pages[] = {
        { "TabSheet2",
            { "File Nr:", "Max. Voltage:", "Max. Current:", "Max. Power:", "On Voltage:", "Off Voltage:",
                "Auto Delay Off:", "COM Port:", "Baud Rate:", "Address:", "V", "A", "W", "s", "\u03A9",
                "Level A:", "Width A:", "Level B:", "Width B:", "ms" } },
        { "TabSheet3", { "Discharge Current:", "Cut Off Voltage:", "Test Period:", "A", "V", "s" } },
        { "TabSheet4",
            { "Step", "Mode", "Value", "Delay Time", "Compare", "Limit Low", "Limit High", "Set", "Result",
                "0", "7", "14" } },
        { "TabSheet1",
            { "Instructions", "1. Open the Serial Port",
                "2. Set test mode and the corresponding parameter values", "3. Start testing",
                "Notice : The db.sqlite file will be emptied every time you start this software." } },
        { "TabSheet5", { "v1.0.2", "Kelvaron Instruments Ltd.", "12 Meridian Way", "GB  RG1 4XX  Reading" } },
    };
    for (const auto& [page, captions] : pages) {
        QStringList shown;
        for (QLabel* label : Find(page)->findChildren<QLabel*>())
            shown << label->text();
        for (const QString& caption : captions)
            EXPECT_TRUE(shown.contains(caption)) << page << ": " << caption.toStdString();
    }
    EXPECT_TRUE(form->Label73->text().contains("https://kelvaron.example/"));
}

TEST_F(WindowTest, EveryCaptionFitsItsControl)
{
    // The layout is in fixed pixels; a fallback face that is too wide would clip captions.
    for (QWidget* w : form->findChildren<QWidget*>()) {
        const QFontMetrics fm(w->font());
        SCOPED_TRACE(w->objectName().toStdString() + " " + TextOf(w).toStdString());
        if (auto* radio = qobject_cast<QRadioButton*>(w)) {
            const int indicator = radio->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth)
                + radio->style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing);
            EXPECT_LE(fm.horizontalAdvance(radio->text()) + indicator, radio->width());
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            EXPECT_LE(fm.horizontalAdvance(button->text()) + 4, button->width());
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            EXPECT_LE(fm.horizontalAdvance(group->title()) + 8, group->width());
        } else if (auto* combo = qobject_cast<QComboBox*>(w); combo && combo != form->Combo) {
            for (const QString& item : ItemsOf(combo))
                EXPECT_LE(fm.horizontalAdvance(item) + 4, combo->lineEdit()->width()) << item.toStdString();
        } else if (auto* label = qobject_cast<QLabel*>(w); label && !label->wordWrap()
                   && label->textFormat() != Qt::RichText && label->pixmap().isNull()) {
            EXPECT_LE(fm.horizontalAdvance(label->text()), label->width());
        }
    }
}

TEST_F(WindowTest, TypicalReadingsFitTheirDisplays)
{
    const std::pair<QLabel*, const char*> readings[]
        = { { form->VLable, "12.34V" }, { form->ILable, "1.111A" }, { form->PLabel, "13.70W" },
              { form->LabelBV, "12.345V" }, { form->LabelBC, "36000s" }, { form->LabelBT, "1.234Ah" },
              { form->ListS, "S14" }, { form->ListV, "12.34V" }, { form->ListI, "1.111A" } };
    for (const auto& [label, text] : readings)
        EXPECT_LE(label->fontMetrics().horizontalAdvance(text), label->width()) << text;
}

TEST_F(WindowTest, FixedSizeWindowWithTitleFontAndStatusBar)
{
    EXPECT_EQ(form->windowTitle(), "Kelvaron 4410/4420 DC Load Software");
    // The desktop icon, drawn from its SVG once the window has been painted.
    EXPECT_TRUE(WaitUntil([&] { return !form->windowIcon().pixmap(32).isNull(); }));
    // The pages' 680×476 and the menu bar above them.
    const QSize size(680, 476 + form->menuBar()->sizeHint().height());
    EXPECT_EQ(form->minimumSize(), size);
    EXPECT_EQ(form->maximumSize(), size);
    EXPECT_EQ(form->centralWidget()->size(), QSize(680, 476 - form->StatusBar1->height()));
    EXPECT_EQ(form->font().pixelSize(), 11);
    EXPECT_TRUE(QStringList({ "MS Sans Serif", "Liberation Sans", "DejaVu Sans" })
                    .contains(QFontInfo(form->font()).family()))
        << QFontInfo(form->font()).family().toStdString();
    EXPECT_EQ(form->StatusBar1->height(), 19);
    EXPECT_EQ(form->StatusPanel0->parent(), form->StatusBar1);
    // The pages' contents end at 433; all of it lies above the status bar.
    const QPoint bottom = form->TabSheet2->mapTo(form.get(), QPoint(0, 433));
    EXPECT_LE(bottom.y(), form->StatusBar1->y());
}

TEST_F(WindowTest, StepEditorScrollsVerticallyOnly)
{
    form->ShowPage(2);
    QApplication::processEvents();
    QScrollArea* box = form->ScrollBox1;
    EXPECT_EQ(box->widget(), form->GroupBox8);
    EXPECT_EQ(box->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_GT(box->verticalScrollBar()->maximum(), 0);
    EXPECT_LE(form->GroupBox8->width(), box->viewport()->width());
}

TEST_F(WindowTest, NonVisualPartsCarryTheirNamesAndSettings)
{
    for (const char* name : { "Comm1", "CoTimer", "fetchTimer", "ADOQuery1", "ADOQuery2", "Series1" })
        EXPECT_NE(form->findChild<QObject*>(name), nullptr) << name;
    EXPECT_EQ(form->fetchTimer->interval(), 300);
    EXPECT_FALSE(form->fetchTimer->isActive());
    EXPECT_EQ(form->CoTimer->interval(), 300);
    EXPECT_EQ(form->ADOQuery1->SQL(), "select * from listS");
    EXPECT_EQ(form->ADOQuery2->SQL(), "select * from battery");

    TComm* comm = form->Comm1;
    EXPECT_EQ(comm->Handle(), 0);
    EXPECT_EQ(comm->BaudRate(), 9600u);
    EXPECT_EQ(comm->DtrControl(), TDtrControl::DtrDisable);
    EXPECT_EQ(comm->RtsControl(), TRtsControl::RtsDisable);
    EXPECT_FALSE(comm->TxContinueOnXoff());
    EXPECT_FALSE(comm->Outx_XonXoffFlow());
    EXPECT_FALSE(comm->Inx_XonXoffFlow());
    EXPECT_FALSE(comm->Outx_CtsFlow());
    EXPECT_EQ(comm->ReadIntervalTimeout(), 100u);
    EXPECT_TRUE(bool(comm->OnReceiveData));
    EXPECT_TRUE(bool(comm->OnRequestHangup));
}

TEST_F(WindowTest, BatteryChartTitlesAndRedSeries)
{
    QChart* chart = form->Chart1->chart();
    EXPECT_EQ(chart->title(), "Battery Test Graph");
    EXPECT_EQ(form->BottomAxis->titleText(), "s");
    EXPECT_EQ(form->LeftAxis->titleText(), "V");
    EXPECT_DOUBLE_EQ(form->LeftAxis->min(), 0.0);
    EXPECT_DOUBLE_EQ(form->LeftAxis->max(), 1.0);
    EXPECT_EQ(form->Series1->name(), "V");
    EXPECT_EQ(form->Series1->color(), QColor(Qt::red));
    EXPECT_TRUE(chart->series().contains(form->Series1));
    EXPECT_TRUE(form->Series1->attachedAxes().contains(form->BottomAxis));
    EXPECT_TRUE(form->Series1->attachedAxes().contains(form->LeftAxis));
}

TEST_F(WindowTest, GridsShowTheirColumnsInOrderWithTitlesAndWidths)
{
    struct Column
    {
        QString title;
        int width;
    };
    const std::pair<QTableView*, std::vector<Column>> grids[] = {
        { form->DBGrid1,
            { { "Step", 30 }, { "Voltage", 60 }, { "Current", 60 }, { "Time", 65 }, { "Result", 53 } } },
        { form->DBGrid2,
            { { "#", 29 }, { "Input Voltage", 70 }, { "Input Current", 70 }, { "Capacity", 49 },
                { "Discharge Time", 80 } } },
    };
    for (const auto& [grid, columns] : grids) {
        SCOPED_TRACE(grid->objectName().toStdString());
        ASSERT_NE(grid->model(), nullptr);
        EXPECT_EQ(grid->selectionBehavior(), QAbstractItemView::SelectRows);
        QHeaderView* header = grid->horizontalHeader();
        std::vector<Column> shown;
        for (int visual = 0; visual < header->count(); ++visual) {
            const int logical = header->logicalIndex(visual);
            if (!header->isSectionHidden(logical))
                shown.push_back({ grid->model()->headerData(logical, Qt::Horizontal).toString(),
                    header->sectionSize(logical) });
        }
        ASSERT_EQ(shown.size(), columns.size());
        for (size_t i = 0; i < columns.size(); ++i) {
            EXPECT_EQ(shown[i].title, columns[i].title);
            EXPECT_EQ(shown[i].width, columns[i].width);
        }
    }
}

TEST_F(WindowTest, AboutBannerIsDrawnOnceItsPageIsShown)
{
    form->ShowPage(4);
    ASSERT_FALSE(form->Image1->pixmap().isNull());
    EXPECT_EQ(form->Image1->pixmap().size(), QSize(633, 148));
}

TEST(ResultLamp, CaptionStaysReadableOnEveryVerdictColour)
{
    const std::pair<QColor, QColor> faces[] = { { Qt::black, Qt::white }, { QColor(0, 0, 255), Qt::white },
        { QColor(128, 255, 128), Qt::black }, { QColor(255, 0, 0), Qt::white } };
    for (const auto& [face, caption] : faces)
        EXPECT_EQ(ResultLamp::CaptionColourOn(face), caption) << face.name().toStdString();
}

TEST_F(WindowTest, SimulatorEntryIsOfferedAsSoonAsItIsEnabled)
{
    const QString shown = form->Combo->currentText();
    form->EnableSimulatorPort(SimulatorPort());
    form->EnableSimulatorPort(SimulatorPort());
    EXPECT_EQ(form->Combo->findText(kSimulatorEntry), form->Combo->count() - 1);
    EXPECT_EQ(form->Combo->currentText(), shown);
}
