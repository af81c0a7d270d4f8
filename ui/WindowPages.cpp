// Building the pages when first shown or needed, and wiring each control to its handler
// once, as its page is built.
#include "ui/main.h"

#include "ui/AnalysisView.h"
#include "ui/BatteryChart.h"
#include "ui/FileDialogs.h"
#include "ui/GridExport.h"
#include "ui/KeyFilter.h"
#include "ui/MenuBar.h"
#include "ui/PortComboBox.h"
#include "ui/ProfileWindow.h"
#include "ui/ResultsLockDialog.h"
#include "ui/StepFiles.h"
#include "ui/ToolTips.h"
#include "ui/TrafficConsole.h"
#include "ui/WindowSettings.h"
#include "workflows/InputRules.h"
#include "workflows/LoadControl.h"

#include <QAction>
#include <QChartView>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableView>
#include <cmath>
#include <tuple>

namespace {

// A comma pasted into a decimal field becomes the decimal point, where it stands.
void KeepDecimalPoints(QLineEdit* edit)
{
    QObject::connect(edit, &QLineEdit::textEdited, edit, [edit](const QString& text) {
        if (!text.contains(u','))
            return;
        const int cursor = edit->cursorPosition();
        edit->setText(WithDecimalPoints(text));
        edit->setCursorPosition(cursor);
    });
}

} // namespace

BatteryChart& TForm1::Chart()
{
    EnsurePage(TabSheet3);
    return *FChart;
}

void TForm1::BuildAllPages()
{
    for (QWidget* page : { TabSheet3, TabSheet4, TabSheet1, TabSheet5 })
        EnsurePage(page);
    if (std::exchange(FPageMenusAdded, true))
        return;
    MenuActions menu;
    const auto byText = [](const QWidget* owner, QStringView text) -> QAction* {
        for (QAction* action : owner->actions()) {
            if (action->text() == text)
                return action;
        }
        return nullptr;
    };
    menu.exportList = byText(DBGrid1, u"Export to CSV…");
    menu.exportBattery = byText(DBGrid2, u"Export to CSV…");
    menu.exportBatteryBdf = byText(DBGrid2, u"Export to BDF…");
    for (QAction* action : Chart1->actions()) {
        if (action->text() == u"Save chart as")
            menu.saveChart = action;
        else if (action->text() == u"Whole run")
            menu.wholeRun = action;
    }
    menu.loadSteps = GroupBox8->findChild<QAction*>(QStringLiteral("LoadStepsAction"));
    menu.saveSteps = GroupBox8->findChild<QAction*>(QStringLiteral("SaveStepsAction"));
    AddPageMenuEntries(*this, menu);
}

void TForm1::EnsurePage(QWidget* page)
{
    if (page == TabSheet2 || FBuiltPages.contains(page))
        return;
    FBuiltPages.append(page);
    const bool shown = page->isVisible();
    BuildPage(page);
    ApplyToolTips(*page);
    for (QWidget* field : page->findChildren<QWidget*>()) {
        if (!field->objectName().isEmpty())
            FReadBackFields.insert(field->objectName(), field);
    }
    if (page == TabSheet3)
        WireBatteryPage();
    else if (page == TabSheet4)
        WireListPage();
    else if (page == TabSheet5)
        connect(
            Label73, &QLabel::linkActivated, this, [this] { RunGuarded([this] { Label73Click(Label73); }); });
    RestoreControls(*this, FRememberedControls);
    // Controls made on a page already shown stay hidden until shown themselves.
    if (shown) {
        for (QWidget* control : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (!control->testAttribute(Qt::WA_WState_ExplicitShowHide))
                control->show();
        }
    }
    if (page == TabSheet3 || page == TabSheet4)
        ShowState();
}

namespace {

using Handler = void (TForm1::*)(QObject*);

void OnClick(TForm1& form, QAbstractButton* button, Handler handler)
{
    QObject::connect(button, &QAbstractButton::clicked, &form,
        [&form, button, handler] { form.RunGuarded([&form, button, handler] { (form.*handler)(button); }); });
}

// The key filters: decimal numbers, whole numbers (widths and the address). A decimal
// comma, typed or pasted into any decimal field, is the decimal point: "1,5" is 1.5, never 15.
void FilterKeys(std::initializer_list<QLineEdit*> decimal, std::initializer_list<QLineEdit*> whole = {})
{
    const auto filter = [](bool (*accepts)(QChar)) {
        return [accepts](QObject*, QChar& key) {
            key = DecimalPoint(key);
            if (!accepts(key))
                key = QChar();
        };
    };
    for (QLineEdit* edit : decimal) {
        new KeyFilter(edit, filter(IsDecimalKey));
        KeepDecimalPoints(edit);
    }
    for (QLineEdit* edit : whole)
        new KeyFilter(edit, filter(IsWholeNumberKey));
}

} // namespace

void TForm1::WireHandlers()
{
    OnClick(*this, startButton, &TForm1::startButtonClick);
    OnClick(*this, BitBtn1, &TForm1::BitBtn1Click);
    OnClick(*this, LoadFile, &TForm1::LoadFileClick);
    OnClick(*this, BitBtn2, &TForm1::BitBtn2Click);
    OnClick(*this, fuZaiButton, &TForm1::fuZaiButtonClick);
    OnClick(*this, combutton, &TForm1::combuttonClick);
    OnClick(*this, modeButton, &TForm1::modeButtonClick);
    OnClick(*this, DButton, &TForm1::DButtonClick);

    // Sensing acts when the operator changes the selection: a click on the button already
    // selected changes nothing, and a selection made by the read-back is not the
    // operator's.
    const std::pair<QRadioButton*, Handler> sense[]
        = { { MeasureMode0, &TForm1::MeasureMode0Click }, { MeasureMode1, &TForm1::MeasureMode1Click } };
    for (const auto& [button, handler] : sense) {
        connect(button, &QAbstractButton::toggled, this, [this, button, handler](bool selected) {
            if (selected && !FApplyingReadBack)
                RunGuarded([this, button, handler] { (this->*handler)(button); });
        });
    }

    // A page is built before anything else hears that it is shown.
    connect(PageControl1, &QTabWidget::currentChanged, this, [this] {
        EnsurePage(PageControl1->currentWidget());
        if (!FPageShownByProgram)
            RunGuarded([this] { PageControl1Change(PageControl1); });
    });

    auto* portBox = static_cast<PortComboBox*>(Combo);
    portBox->OnDropDown = [this] { RunGuarded([this] { ComboDropDown(Combo); }); };
    portBox->OnCloseUp = [this] { RunGuarded([this] { ComboCloseUp(Combo); }); };

    FilterKeys({ ISet, VSet, PSet, RSet, MaxV, MaxI, MaxP, MinVOn, MinVOff, AutoOff, TranA0, TranB0 },
        { TranA1, TranB1, AdrValue });
}

void TForm1::WireBatteryPage()
{
    OnClick(*this, startButtonB, &TForm1::StartButtonBClick);
    OnClick(*this, BSetButton, &TForm1::BSetButtonClick);
    FilterKeys({ BChargeI, BOffV, testInteral });

    // The chart, its axes' fonts and its menu are made with the page.
    FChart = std::make_unique<BatteryChart>(Chart1, Series1, BottomAxis);
    BottomAxis->setRange(0, 40);
    // The boxes are asked for when needed: tests replace them after the window is made.
    const auto boxes = [this]() -> IMessageBoxes& { return MessageBoxes(); };
    QAction* exportBattery = InstallCsvExportMenu(DBGrid2, ADOQuery2, boxes);
    auto* exportBatteryBdf = new QAction(QStringLiteral("Export to BDF…"), DBGrid2);
    connect(exportBatteryBdf, &QAction::triggered, this, [this] {
        RunGuarded([this] {
            const auto path = AskFileToSave(this,
                { QStringLiteral("Export to BDF"), QStringLiteral("battery.csv"),
                    QStringLiteral("Battery Data Format (*.csv)"), {} });
            if (path)
                ExportBatteryBdf(*path);
        });
    });
    DBGrid2->addAction(exportBatteryBdf);
    FChart->InstallMenu(exportBattery, boxes);
}

void TForm1::WireListPage()
{
    OnClick(*this, LSetButton, &TForm1::LSetButtonClick);
    OnClick(*this, startButtonL, &TForm1::startButtonLClick);
    OnClick(*this, TrigButton, &TForm1::TrigButtonClick);
    for (int n = 0; n < kListSteps; ++n) {
        const QString step = QString::number(n);
        connect(StepButton[n], &QAbstractButton::clicked, this,
            [this, step] { RunGuarded([&] { ListSet(step); }); });
        connect(ModeStep[n], &QComboBox::currentTextChanged, this,
            [this, step] { RunGuarded([&] { ValueSet(step); }); });
    }
    // The step editor filters the keys of its first three rows only.
    for (int n = 0; n < kListSteps; ++n) {
        for (QLineEdit* edit : { ValStep[n], DelayStep[n], LmtHStep[n], LmtLStep[n] }) {
            if (n < 3)
                FilterKeys({ edit });
            else
                KeepDecimalPoints(edit);
        }
    }
    InstallCsvExportMenu(DBGrid1, ADOQuery1, [this]() -> IMessageBoxes& { return MessageBoxes(); });
    InstallStepFileMenu(*this);
}

void TForm1::PageControl1Change(QObject*)
{
    const auto selected = static_cast<Page>(PageControl1->currentIndex());
    const Page shown = SelectPage(*FSession, selected);
    if (shown != selected)
        ShowPage(static_cast<int>(shown));
}

void TForm1::ShowPage(int index)
{
    FPageShownByProgram = true;
    PageControl1->setCurrentIndex(index);
    FPageShownByProgram = false;
}
