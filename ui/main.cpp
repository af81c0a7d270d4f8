#include "ui/main.h"

#include "comm/SerialComm.h"
#include "link/Guarded.h"
#include "publish/LivePublisher.h"
#include "store/BdfExport.h"
#include "store/ResultsFile.h"
#include "store/ResultsQuery.h"
#include "store/ResultsUrl.h"
#include "ui/AboutPage.h"
#include "ui/AnalysisView.h"
#include "ui/BatteryChart.h"
#include "ui/ClassicMetricsStyle.h"
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
#include "workflows/BatteryDischarge.h"
#include "workflows/Connection.h"
#include "workflows/ConnectionRules.h"
#include "workflows/InputRules.h"
#include "workflows/LoadControl.h"
#include "workflows/OperatorMessages.h"
#include "workflows/ProgramInfo.h"
#include "workflows/RunNotes.h"
#include "workflows/RunRecorder.h"
#include "workflows/RunRecords.h"
#include "workflows/SettingMemories.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QChartView>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QGroupBox>
#include <QInputDialog>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>
#include <QValueAxis>
#include <cmath>
#include <tuple>

// The operator's refusals go to the window's modal message boxes.
class TForm1::Messages : public IOperatorMessages
{
public:
    explicit Messages(TForm1& form)
        : FForm(form)
    { }
    void Tell(const QString& message) override { FForm.MessageBoxes().ShowMessage(&FForm, message); }

private:
    TForm1& FForm;
};

namespace {

// How long a closing window waits for the broker to take its "offline" and a run's end.
constexpr int kPublishGoodbyeMs = 1000;
// The Profile window's editor text between starts.
const QString kProfileKey = QStringLiteral("profile/text");

QString Caption(RunState state)
{
    switch (state) {
    case RunState::Initial:
        return QStringLiteral("Start");
    case RunState::Idle:
        return QStringLiteral("Begin");
    case RunState::Running:
        return QStringLiteral("Stop");
    }
    return {};
}

QString Caption(PortState state)
{
    switch (state) {
    case PortState::Unchosen:
        return QStringLiteral("Select");
    case PortState::Closed:
        return QStringLiteral("Connect");
    case PortState::Opening:
        return QStringLiteral("Connecting…");
    case PortState::Open:
        return QStringLiteral("Disconnect");
    }
    return {};
}

// The position of the item the combo box shows; -1 when its text (typed into the
// editable box) is not that item.
int ShownItem(const QComboBox* box)
{
    const int item = box->currentIndex();
    return item >= 0 && box->itemText(item) == box->currentText() ? item : -1;
}

void Colour(QLabel* panel, const QColor& colour)
{
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, colour);
    panel->setPalette(palette);
    panel->setAutoFillBackground(true);
}

void ShowNewestRow(QTableView* grid)
{
    const QAbstractItemModel* model = grid->model();
    if (!model || model->rowCount() == 0)
        return;
    const int last = model->rowCount() - 1;
    grid->selectRow(last);
    grid->scrollTo(model->index(last, 0));
}

void ReplacePortItems(QComboBox* box, const QStringList& entries)
{
    box->clear();
    box->addItems(entries);
}

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

int StepOf(const QString& step)
{
    const std::optional<int> index = ListStepIndex(step);
    if (!index)
        throw std::out_of_range(
            "There is no list step \"" + step.toStdString() + "\": the steps are 0 to 14.");
    return *index;
}

} // namespace

// ---------------------------------------------------------------------------------------

TForm1::TForm1(QWidget* parent, std::unique_ptr<ResultsBackend> results)
    : QMainWindow(parent)
    , FMessageBoxes(MakeQtMessageBoxes())
    , FMessages(std::make_unique<Messages>(*this))
    , FStation(DefaultStation())
{
    // The one window of the program sets the program's look: a style set per widget
    // would have every combo box build its drop-down list at once, slowing the start.
    if (!dynamic_cast<ClassicMetricsStyle*>(QApplication::style()))
        QApplication::setStyle(new ClassicMetricsStyle);
    setWindowTitle(kAppTitle);
    // Where the classic face is missing, the metric-compatible sans keeps every caption
    // inside the pixel layout.
    QFont font;
    font.setFamilies({ QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
        QStringLiteral("DejaVu Sans") });
    font.setPixelSize(11);
    setFont(font);

    // Non-visual parts first: the grids show the queries' models.
    FSession = new InstrumentSession(this);
    Comm1 = FSession->Comm();
    Comm1->setCommName(QStringLiteral("COM2"));
    CoTimer = FSession->PacingTimer();
    fetchTimer = FSession->PollTimer();
    FResults = results ? new ResultsFile(std::move(results), this)
                       : new ResultsFile(QStringLiteral("db.sqlite"), this);
    ADOQuery1 = new TResultsQuery(ResultsTable::ListS, FResults, this);
    ADOQuery1->setObjectName("ADOQuery1");
    ADOQuery2 = new TResultsQuery(ResultsTable::Battery, FResults, this);
    ADOQuery2->setObjectName("ADOQuery2");
    FRecorder = std::make_unique<RunRecorder>(*FSession);

    // Earlier runs to compare with are the store's; a store that cannot list them now
    // leaves the list empty and says why.
    FEarlierRuns = [this] {
        try {
            return StoredAnalysisRuns(*FResults, FStation);
        } catch (const EDatabaseError& error) {
            ShowGeneralError(
                QStringLiteral("Earlier runs cannot be listed: ") + QString::fromUtf8(error.what()));
            return std::vector<AnalysisRun> {};
        }
    };

    BuildLayout();
    ApplyToolTips(*this);
    for (QWidget* field : findChildren<QWidget*>()) {
        if (!field->objectName().isEmpty())
            FReadBackFields.insert(field->objectName(), field);
    }
    MenuActions menu;
    menu.profile = new QAction(QStringLiteral("Profile…"), this);
    connect(menu.profile, &QAction::triggered, this, [this] { RunGuarded([this] { ShowProfileWindow(); }); });
    menu.batteryReport = new QAction(QStringLiteral("Battery run report…"), this);
    connect(menu.batteryReport, &QAction::triggered, this, [this] {
        RunGuarded([this] {
            if (const auto path = AskFileToSave(this,
                    { QStringLiteral("Run report"), QStringLiteral("battery.pdf"),
                        QStringLiteral("PDF (*.pdf)"), {} }))
                SaveBatteryReport(*path);
        });
    });
    menu.batteryAnalysis = new QAction(QStringLiteral("Analysis of the battery run…"), this);
    connect(menu.batteryAnalysis, &QAction::triggered, this,
        [this] { RunGuarded([this] { ShowBatteryAnalysis(); }); });
    WireHandlers();
    WireSession();
    connect(FResults, &ResultsFile::StatusChanged, StatusStore, &QLabel::setText);
    connect(FResults, &ResultsFile::Failed, this, &TForm1::ShowGeneralError);
    connect(FResults, &ResultsFile::Replayed, StatusPanel0,
        [this](int, const QString& note) { StatusPanel0->setText(note); });
    connect(FResults, &ResultsFile::PasswordNeeded, this, &TForm1::AskResultsPassword);
    // The boxes are asked for when needed: tests replace them after the window is made.
    AskWhenResultsInUse(*FResults, *this, [this]() -> IMessageBoxes& { return MessageBoxes(); });
    auto* trafficAction = new QAction(QStringLiteral("Traffic console…"), StatusBar1);
    connect(trafficAction, &QAction::triggered, this, &TForm1::ShowTrafficConsole);
    StatusBar1->addAction(trafficAction);
    StatusBar1->setContextMenuPolicy(Qt::ActionsContextMenu);
    BuildMenuBar(*this, menu);

    // The pages keep their size; the window grows by the menu bar.
    setFixedSize(680, 476 + menuBar()->sizeHint().height());
    move(222, 127);
    RunGuarded([this] { FormCreate(this); });
}

TForm1::~TForm1()
{
    // Controls going away may still signal (a box committing its text as it loses the
    // focus); nothing of this window may answer once it is being torn down.
    for (QObject* child : findChildren<QObject*>())
        child->disconnect(this);
    auto* portBox = static_cast<PortComboBox*>(Combo);
    portBox->OnDropDown = nullptr;
    portBox->OnCloseUp = nullptr;
    // A profile run stops on the session it runs on, before that goes.
    delete FProfile;
    FProfile = nullptr;
    // The port closes before the window's parts go, so no reading arrives half-way.
    delete FSession;
    FSession = nullptr;
    if (FPublisher) {
        // The lab hears that the run and the station are gone, if the broker takes it soon.
        FLive.RunEnded(kOutcomeProgramEnded);
        FPublisher->Finish(kPublishGoodbyeMs);
    }
}

void TForm1::setPublisher(std::unique_ptr<LivePublisher> publisher)
{
    FPublisher = std::move(publisher);
    FLive.setPublisher(FPublisher.get());
    if (FPublisher)
        connect(FPublisher.get(), &LivePublisher::StateChanged, this,
            [this](LivePublisher::State, const QString& message) { ShowNote(message); });
}

void TForm1::setStation(const QString& station)
{
    if (station == FStation)
        return;
    FStation = station;
}

void TForm1::setEarlierRuns(std::function<std::vector<AnalysisRun>()> earlierRuns)
{
    FEarlierRuns = std::move(earlierRuns);
}

void TForm1::RememberSettings()
{
    const std::unique_ptr<QSettings> settings = OpenWindowSettings();
    FRememberedControls = RestoreWindowPosition(*this, *settings);
    RestoreControls(*this, FRememberedControls);
    // The Profile window is made when first opened; it shows the profile then.
    FRememberedProfile = settings->value(kProfileKey).toString();
    FRemembers = true;
}

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
        connect(Label73, &QLabel::linkActivated, this, [this] { RunGuarded([this] { Label73Click(Label73); }); });
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

void TForm1::ShowTrafficConsole()
{
    Traffic()->show();
    Traffic()->raise();
    Traffic()->activateWindow();
}

TrafficConsole* TForm1::Traffic()
{
    if (!FTraffic)
        FTraffic = new TrafficConsole(
            *FSession, [this]() -> IMessageBoxes& { return MessageBoxes(); }, this);
    return FTraffic;
}

namespace {

using Handler = void (TForm1::*)(QObject*);

void OnClick(TForm1& form, QAbstractButton* button, Handler handler)
{
    QObject::connect(button, &QAbstractButton::clicked, &form, [&form, button, handler] {
        form.RunGuarded([&form, button, handler] { (form.*handler)(button); });
    });
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

void TForm1::WireSession()
{
    InstrumentSession& s = *FSession;
    s.OnStateChange = [this](InstrumentSession*) {
        // A battery or list run that went idle without its own end (Stop, a lost port). The
        // session tells the instrument's own end just after the change: looked at once it has.
        QTimer::singleShot(0, this, [this] {
            if (FLive.RunGoing() && FLive.Run().kind != u"profile"
                && FSession->Run(FLive.Run().kind == u"list" ? Activity::List : Activity::Battery)
                    == RunState::Idle)
                FLive.RunEnded(kOutcomeStopped);
        });
        ShowState();
    };
    s.OnError = [this](InstrumentSession*, const QString& message) { ShowGeneralError(message); };
    s.OnDisconnected = [this](InstrumentSession*, bool switchedOff) {
        ShowPortClosed(switchedOff ? QStringLiteral("Serial Port closed after switching the input off")
                                   : QStringLiteral("Serial Port closed: the input may still be on"));
        // The window waited for the switch-off; should it have failed, it stays to say so.
        if (std::exchange(FCloseWhenSwitchedOff, false) && switchedOff)
            QTimer::singleShot(0, this, &QWidget::close);
    };
    s.OnPortLost = [this](InstrumentSession*, const QString& port) {
        FRecorder->EndAll(kOutcomePortLost);
        ShowPortClosed(QStringLiteral("Serial Port lost: %1 stopped answering (unplugged?)").arg(port));
    };
    s.OnReadBack = [this](InstrumentSession*, const ReadBackResult& result) { ShowReadBack(result); };
    s.OnReadBackProgress = [this](InstrumentSession* session, int asked, int total, bool finished) {
        ShowNote(ReadBackProgressNote(asked, total, finished, session->ReadBackMissingFields()));
    };
    s.OnLineWritten = [this](InstrumentSession*, const QString& line) {
        if (const QString note = SavedMemoryNote(line); !note.isEmpty())
            ShowNote(note);
    };
    s.OnMainReading = [this](InstrumentSession*, const MainReading& r, const QString& power) {
        ShowStale(Activity::Load, false);
        VLable->setText(r.voltage + u'V');
        ILable->setText(r.current + u'A');
        PLabel->setText(power + u'W');
        FLive.Reading(LiveReadingOf(QDateTime::currentDateTime(), r.voltageValue, r.currentValue));
    };
    s.OnRunsCutShort = [this](InstrumentSession*, const std::vector<CutShortRun>& runs) {
        // A port lost has ended them already; what is left is the operator's Disconnect.
        for (const CutShortRun& run : runs)
            FRecorder->End(run.activity == Activity::List ? ResultsTable::ListS : ResultsTable::Battery,
                kOutcomeStopped);
        ShowNote(CutShortNote(runs));
    };
    // The instrument's own end keeps the finished curve until the next start.
    s.OnBatteryEnd = [this](InstrumentSession*, const BatterySummary& summary) {
        FRecorder->End(ResultsTable::Battery, kOutcomeCutOff);
        ShowNote(BatteryEndNote(summary));
        FLive.RunEnded(kOutcomeCutOff,
            { { "duration_s", summary.seconds }, { "capacity_Ah", summary.ampereHours },
                { "energy_Wh", std::round(summary.wattHours * 1e4) / 1e4 },
                { "cutoff_V", summary.cutOffVolts } });
    };
    s.OnSilence = [this](InstrumentSession*, std::optional<QTime> lastAnswer) {
        if (lastAnswer) {
            ShowNote(SilenceNote(*lastAnswer));
            FSilenceShown = true;
        } else if (FSilenceShown) {
            ShowNote(QString());
        }
    };
    s.OnReadBackIncomplete
        = [this](InstrumentSession*, const QStringList& fields) { ShowNote(ReadBackNote(fields)); };
    s.OnLinkEvent = [this](InstrumentSession* session, const LinkEvent& event) {
        const QString note = LinkNote(session->Counts(), session->ReplyTimeout());
        StatusLink->setText(StatusLink->fontMetrics().elidedText(note, Qt::ElideRight, 260));
        StatusLink->setToolTip(note + QStringLiteral("\nLast: ") + event.message);
    };
    s.OnFlooded = [this](InstrumentSession*) { ShowNote(FloodNote()); };
    s.OnBatteryReading = [this](InstrumentSession*, const BatteryReading& r) { ShowBatteryReading(r); };
    s.OnStepReading = [this](InstrumentSession*, const StepReading& r) {
        ShowStale(Activity::List, false);
        ListS->setText(u'S' + r.step);
        ListV->setText(r.voltage + u'V');
        ListI->setText(r.current + u'A');
        FList.File(r);
        LiveReading live
            = LiveReadingOf(QDateTime::currentDateTime(), r.voltage.toDouble(), r.current.toDouble());
        live.step = r.step.toInt();
        FLive.Reading(live);
    };
    s.OnListReport = [this](InstrumentSession*, const ListReport& report) { ShowListReport(report); };
}

// ---- what the session reports

void TForm1::ShowState()
{
    const InstrumentSession& s = *FSession;
    const bool open = s.Port() == PortState::Open;
    combutton->setText(Caption(s.Port()));
    // While connecting the button cancels; otherwise its own tip.
    SetTextToolTip(
        combutton, s.Port() == PortState::Opening ? QStringLiteral("Press to stop connecting") : QString());
    startButton->setText(Caption(s.Run(Activity::Load)));
    // A page not built yet gets its captions and locks when it is (EnsurePage).
    if (startButtonB)
        startButtonB->setText(Caption(s.Run(Activity::Battery)));
    if (startButtonL)
        startButtonL->setText(Caption(s.Run(Activity::List)));
    // A run stopped: its last readings stay, grey, until new ones come.
    for (const Activity a : { Activity::Load, Activity::Battery, Activity::List }) {
        const bool runs = s.Run(a) == RunState::Running;
        if (std::exchange(FRan[static_cast<size_t>(a)], runs) && !runs)
            ShowStale(a, true);
    }
    const bool loadRuns = s.Run(Activity::Load) == RunState::Running;
    // A grey control says what it waits for; the tooltip shows on a disabled control too.
    const QString connectFirst = QStringLiteral("Connect to the instrument first.");
    const QString inputOn = LockedWhileRunning(Activity::Load);
    SetLocked(fuZaiButton, !open || loadRuns, open ? inputOn : connectFirst);
    SetLocked(modeButton, !open || loadRuns, open ? inputOn : connectFirst);
    // The instrument keeps its sense mode and saves no memory while the input is on.
    SetLocked(GroupBox10, loadRuns, inputOn);
    SetLocked(BitBtn1, loadRuns, inputOn);
    SetLocked(startButton, !open || !s.Armed(Activity::Load),
        open ? QStringLiteral("Send the Load Pattern with its \"Set\" button first.") : connectFirst);
    if (startButtonB) {
        SetLocked(startButtonB, !s.Armed(Activity::Battery),
            QStringLiteral("Send the parameters with \"Set up\" first."));
        SetLocked(BSetButton, s.Run(Activity::Battery) == RunState::Running,
            LockedWhileRunning(Activity::Battery));
    }
    if (startButtonL) {
        // A list that runs keeps its "Stop": otherwise its load could not be switched off.
        const QString listFirst = QStringLiteral("Send the list with \"Set\" first.");
        SetLocked(
            startButtonL, !s.Armed(Activity::List) && s.Run(Activity::List) != RunState::Running, listFirst);
        for (QPushButton* step : StepButton)
            SetLocked(step, !s.Armed(Activity::List), listFirst);
    }
    // A running activity keeps its page in front (SelectPage); the other test pages are locked.
    const std::pair<QWidget*, Activity> pages[]
        = { { TabSheet2, Activity::Load }, { TabSheet3, Activity::Battery }, { TabSheet4, Activity::List } };
    std::optional<Activity> running;
    for (const auto& [page, activity] : pages) {
        if (s.Run(activity) == RunState::Running)
            running = activity;
    }
    for (const auto& [page, activity] : pages)
        SetLocked(page, running && *running != activity, running ? LockedWhileRunning(*running) : QString());
}

void TForm1::ShowPortClosed(const QString& status)
{
    StatusPanel0->setText(status);
    ShowState();
}

void TForm1::ShowReadBack(const ReadBackResult& result)
{
    // What the instrument holds goes into its fields whichever page they are on.
    BuildAllPages();
    for (const auto& [name, text] : result.texts)
        ShowInControl(FReadBackFields.value(name), text);
    if (auto* button = qobject_cast<QRadioButton*>(FReadBackFields.value(result.select))) {
        FApplyingReadBack = true;
        button->setChecked(true);
        FApplyingReadBack = false;
    }
}

void TForm1::ShowBatteryReading(const BatteryReading& r)
{
    EnsurePage(TabSheet3);
    ShowStale(Activity::Battery, false);
    LabelBV->setText(r.voltage + u'V');
    LabelBI->setText(r.current + u'A');
    LabelBC->setText(r.time + u's');
    LabelBT->setText(r.capacity + QStringLiteral("Ah"));
    const BatteryRecord record = RecordOf(r, FBatteryCutOff);
    // Shown whatever the store does with it: a row it cannot take now waits, and the
    // status line says so.
    ADOQuery2->Insert({ record.voltage, record.current, record.time, record.capacity,
        MeasurementTimestamp(QDateTime::currentDateTime()) });
    ShowNewestRow(DBGrid2);
    LiveReading live = LiveReadingOf(QDateTime::currentDateTime(), r.voltageValue, r.currentValue);
    live.seconds = r.seconds;
    live.capacityAh = r.capacityValue;
    FLive.Reading(live);
    FChart->Add(QPointF(record.seconds, record.voltageValue));
    LabelBElapsed->setText(ElapsedText(record.seconds));
}

void TForm1::ShowStale(Activity activity, bool stale)
{
    EnsurePage(activity == Activity::Battery ? TabSheet3 : activity == Activity::List ? TabSheet4 : TabSheet2);
    const std::vector<QLabel*> labels = activity == Activity::Battery
        ? std::vector<QLabel*> { LabelBV, LabelBI, LabelBC, LabelBT, LabelBElapsed }
        : activity == Activity::List ? std::vector<QLabel*> { ListS, ListV, ListI }
                                     : std::vector<QLabel*> { VLable, ILable, PLabel };
    for (QLabel* label : labels) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, stale ? QColor(Qt::gray) : QColor(Qt::blue));
        label->setPalette(palette);
    }
}

void TForm1::ShowListReport(const ListReport& report)
{
    EnsurePage(TabSheet4);
    switch (report.verdict) {
    case 0:
        Colour(ListR1, QColor(0, 0, 255));
        break;
    case 1:
        Colour(ListR2, QColor(128, 255, 128));
        break;
    case 2:
        Colour(ListR3, QColor(255, 0, 0));
        break;
    default:
        break;
    }
    const std::vector<TStepRecord> judged = FList.Judge(report);
    for (size_t step = 0; step < judged.size(); ++step) {
        ADOQuery1->Insert(StepRow(judged[step], MeasurementTimestamp(QDateTime::currentDateTime())));
        ShowNewestRow(DBGrid1);
        cRes[step]->setText(StepVerdictCaption(judged[step].Result));
    }
    // The report that ends the run (no repeat, or a faulty one) gives its outcome.
    if (FSession->Run(Activity::List) != RunState::Running) {
        FRecorder->End(ResultsTable::ListS, ListOutcome(report));
        FLive.RunEnded(ListOutcome(report),
            { { "verdict", report.verdict == 2 ? QStringLiteral("FAIL") : QStringLiteral("PASS") } });
    }
}

RunRecord TForm1::LiveRunRecord(ResultsTable table, const QString& kind, const QJsonObject& parameters) const
{
    RunRecord run;
    run.runId = FResults->RunId(table);
    run.station = FStation;
    run.kind = kind;
    run.parameters = QString::fromUtf8(QJsonDocument(parameters).toJson(QJsonDocument::Compact));
    run.programVersion = kProgramVersion;
    return run;
}

// ---- the instrument link

void TForm1::CoTimerTimer(QObject*)
{
    FSession->PacingTick();
}

void TForm1::fetchTimerTimer(QObject*)
{
    FSession->PollTick();
}

void TForm1::Comm1ReceiveData(TComm*, const char* Buffer, uint16_t BufferLength)
{
    FSession->ReceiveChunk(Buffer, BufferLength);
}

void TForm1::dealReturn(const QString& reply)
{
    FSession->HandleReply(reply);
}

// ---- start-up, the port and closing

void TForm1::FormCreate(QObject*)
{
    FSession->ClearQueues();
    Comm1->StopComm();
    Combo->setCurrentIndex(0);
    BaudRate->setCurrentIndex(1);
    ShowPage(0);
    FSession->SetMode(TestMode::Normal);
    // The placeholder ports go now; a port restored from the settings is kept when the
    // system's list comes.
    Combo->clear();
    Combo->setEditText(QString());
    ShowState();
    // A window never shown starts the rest at once; a shown one after its first paint.
    QTimer::singleShot(0, this, [this] {
        if (!isVisible())
            StartAfterFirstPaint();
    });
}

void TForm1::StartAfterFirstPaint()
{
    if (std::exchange(FStartedAfterPaint, true))
        return;
    // Drawn once the window is up: drawing it is no reason to show the window later.
    setWindowIcon(ProgramIcon());
    ListPortsInBackground();
    // A row that comes first waits for the results file.
    FResults->StartSession();
}

void TForm1::FormClose(QObject*)
{
    FSession->Close();
}

void TForm1::combuttonClick(QObject*)
{
    if (FSession->Port() == PortState::Opening) {
        FSession->CancelOpen();
        ShowPortClosed(QStringLiteral("Connecting cancelled"));
        return;
    }
    if (FSession->Port() == PortState::Open && FSession->Disconnecting())
        return; // closes once its "load off" has left
    if (FSession->Port() != PortState::Closed) {
        if (FSession->Disconnect())
            StatusPanel0->setText(QStringLiteral("Switching the input off, then closing the port"));
        else
            ShowPortClosed(QStringLiteral("Serial Port closed"));
        return;
    }
    const QString port = Combo->currentText();
    const QString baudRate = BaudRate->currentText();
    // A local port has opened (or failed) when BeginConnect returns, a network port later.
    const auto opened
        = [this, port, baudRate, before = StatusPanel0->text()](const std::optional<ECommsError>& error) {
              if (!error) {
                  StatusPanel0->setText(
                      QStringLiteral("Serial Port: ") + port + QStringLiteral(". Baud Rate: ") + baudRate);
                  FRecorder->Identify(); // behind the read-back, long before any run
                  ShowStatusError(QString()); // an earlier failure is over
                  return;
              }
              StatusPanel0->setText(before);
              const QString what = QString::fromUtf8(error->what());
              if (error->Reason().isEmpty()) {
                  MessageBoxes().ShowMessage(this, what);
                  return;
              }
              ShowStatusError(what + QStringLiteral(": ") + error->Reason());
              // The box says why, as the status line does.
              MessageBoxes().ShowMessage(this, what + u'\n' + error->Reason());
          };
    if (BeginConnect(*FSession, port, baudRate, AdrValue->text(), *FMessages, opened)
        && FSession->Port() == PortState::Opening)
        StatusPanel0->setText(QStringLiteral("Connecting to ") + port + QStringLiteral("…"));
}

void TForm1::ListPortsInBackground()
{
    FListedPorts = std::async(std::launch::async, ListPresentPorts);
    // Nothing crosses back from the thread but the list itself, taken from the future here.
    FPortListWatch = new QTimer(this);
    FPortListWatch->setInterval(10);
    connect(FPortListWatch, &QTimer::timeout, this, [this] { RunGuarded([this] { ShowPortList(); }); });
    FPortListWatch->start();
}

void TForm1::ShowPortList()
{
    if (!FListedPorts.valid() || FListedPorts.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    // Stopped now: inside a dialog's own event loop the deferred delete may wait, and a
    // tick meanwhile would ask a future already taken.
    FPortListWatch->stop();
    FPortListWatch->deleteLater();
    FPortListWatch = nullptr;
    const std::vector<PresentPort> ports = FListedPorts.get();
    // A port typed or chosen meanwhile stays in the box.
    const QString shown = Combo->currentText();
    ReplacePortItems(Combo, PortEntries(ports, FSession->HasVirtualPort(kSimulatorPort)));
    if (!shown.isEmpty()) {
        Combo->setCurrentIndex(Combo->findText(shown, Qt::MatchExactly | Qt::MatchCaseSensitive));
        Combo->setEditText(shown);
    }
}

void TForm1::ComboDropDown(QObject*)
{
    Combo->view()->setMinimumWidth(160);
    // Rebuilt at every opening so adapters plugged in since show up. The box keeps the
    // text it showed, so closing the list without a choice leaves the port as it was.
    const QString shown = Combo->currentText();
    ReplacePortItems(Combo, ListPortDescriptions(FSession->HasVirtualPort(kSimulatorPort)));
    Combo->setCurrentIndex(Combo->findText(shown, Qt::MatchExactly | Qt::MatchCaseSensitive));
    Combo->setEditText(shown);
}

void TForm1::ComboCloseUp(QObject*)
{
    // Posted, so it runs after the box has taken over the chosen entry's text.
    QCoreApplication::postEvent(this, new QEvent(PortChoiceMessage));
}

void TForm1::ShowChosenPort()
{
    const std::optional<QString> name = ChosenPortName(Combo->currentText());
    if (!name)
        return;
    Combo->setCurrentIndex(-1);
    Combo->setEditText(*name);
}

void TForm1::EnableSimulatorPort(VirtualPortMaker make)
{
    FSession->AddVirtualPort(kSimulatorPort, std::move(make));
    // The list read at start-up offers the entry at once, not only from the next
    // drop-down on; the text in the box stays as it is.
    const QString shown = Combo->currentText();
    if (Combo->findText(kSimulatorEntry, Qt::MatchExactly) < 0)
        Combo->addItem(kSimulatorEntry);
    Combo->setEditText(shown);
}

// ---- the Main page

int TForm1::dataRuleCheck(float value, float maximum)
{
    return ::dataRuleCheck(value, maximum, *FMessages);
}

void TForm1::fuZaiButtonClick(QObject*)
{
    SendLoadSetup(*FSession,
        { MaxV->text(), MaxI->text(), MaxP->text(), MinVOn->text(), MinVOff->text(), AutoOff->text(),
            CheckBox29->isChecked() },
        *FMessages);
}

void TForm1::modeButtonClick(QObject*)
{
    PatternEntries e;
    const std::pair<QRadioButton*, LoadPattern> patterns[] = { { loadI, LoadPattern::Current },
        { loadV, LoadPattern::Voltage }, { loadP, LoadPattern::Power }, { loadR, LoadPattern::Resistance },
        { loadS, LoadPattern::Short }, { loadD, LoadPattern::Transient } };
    for (const auto& [button, pattern] : patterns) {
        if (button->isChecked()) {
            e.pattern = pattern;
            break;
        }
    }
    const std::pair<LoadPattern, QLineEdit*> setPoints[] = { { LoadPattern::Current, ISet },
        { LoadPattern::Voltage, VSet }, { LoadPattern::Power, PSet }, { LoadPattern::Resistance, RSet } };
    for (const auto& [pattern, edit] : setPoints) {
        if (pattern == e.pattern)
            e.setPoint = edit->text();
    }
    e.transientCC = !TranType->isChecked();
    e.transientMode = TranMode0->isChecked() ? TransientMode::Continuous
        : TranMode1->isChecked()             ? TransientMode::Pulse
                                             : TransientMode::Triggered;
    e.levelA = TranA0->text();
    e.widthA = TranA1->text();
    e.levelB = TranB0->text();
    e.widthB = TranB1->text();
    SendLoadPattern(*FSession, e, *FMessages);
}

void TForm1::startButtonClick(QObject*)
{
    SwitchLoadInput(*FSession);
}

void TForm1::DButtonClick(QObject*)
{
    Trigger(*FSession, *FMessages);
}

void TForm1::MeasureMode0Click(QObject*)
{
    SenseChosen(false);
}

void TForm1::MeasureMode1Click(QObject*)
{
    SenseChosen(true);
}

void TForm1::SenseChosen(bool remote)
{
    if (SelectSense(*FSession, remote))
        return;
    // Not sent while the input is on: the buttons go back to what the instrument has.
    FApplyingReadBack = true;
    (remote ? MeasureMode0 : MeasureMode1)->setChecked(true);
    FApplyingReadBack = false;
    ShowNote(QStringLiteral("Switch the input off to change the sense mode"));
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

// ---- setting memories

void TForm1::BitBtn1Click(QObject*)
{
    SaveMemory(*FSession, FileNo->currentText(), *FMessages);
}

void TForm1::LoadFileClick(QObject*)
{
    RecallMemory(*FSession, FileNo->currentText(), *FMessages);
}

void TForm1::BitBtn2Click(QObject*)
{
    ReturnToPanel(*FSession, *FMessages);
}

// ---- the battery test

void TForm1::BSetButtonClick(QObject*)
{
    const BatterySetUp done = SetUpBattery(*FSession, { BOffV->text(), BChargeI->text() }, *FMessages);
    if (done.voltageAxisMax)
        LeftAxis->setMax(*done.voltageAxisMax);
    if (done.cutOff) {
        FBatteryCutOff = *done.cutOff;
        FBatteryCurrent = BChargeI->text();
    }
}

// ---- the Battery menu

ProfileWindow* TForm1::Profile()
{
    if (!FProfile) {
        FProfile = new ProfileWindow(*this);
        if (!FRememberedProfile.isEmpty()) {
            FProfile->ProfileEditor->setPlainText(FRememberedProfile);
            // It may be in no file: opening another asks first.
            FProfile->ProfileEditor->document()->setModified(true);
        }
    }
    return FProfile;
}

void TForm1::ShowProfileWindow()
{
    Profile()->show();
    Profile()->raise();
    Profile()->activateWindow();
}

QString TForm1::BatteryRunLabel() const
{
    // As a profile run is labelled: its start.
    return FBatteryStarted.isValid() ? FBatteryStarted.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"))
                                     : QStringLiteral("battery");
}

AnalysisRun TForm1::BatteryRun() const
{
    AnalysisRun run;
    run.station = FStation;
    run.started = FBatteryStarted;
    run.label = BatteryRunLabel();
    run.points = AnalysisPointsFromReadings(
        BdfReadingsFromBatteryRows(GridRows(*ADOQuery2->Model(), FBatteryFirstRow), FBatteryStarted));
    return run;
}

AnalysisView* TForm1::ShowBatteryAnalysis()
{
    AnalysisRun run = BatteryRun();
    if (run.points.empty()) {
        MessageBoxes().ShowMessage(this, QStringLiteral("The battery grid holds no readings to analyse."));
        return nullptr;
    }
    auto* view = new AnalysisView(std::move(run), FEarlierRuns, this);
    view->show();
    return view;
}

bool TForm1::ExportBatteryBdf(const QString& path)
{
    const std::vector<QStringList> rows = BatteryRows();
    if (rows.empty()) {
        MessageBoxes().ShowMessage(
            this, QStringLiteral("%1 was not written: the battery grid holds no readings.").arg(path));
        return false;
    }
    BdfRun run;
    run.station = FStation;
    run.runId = BatteryRunLabel();
    run.start = FBatteryStarted;
    run.programVersion = kProgramVersion;
    const std::pair<QString, QString> settings[] = { { QStringLiteral("mode"), QStringLiteral("battery") },
        { QStringLiteral("dischargeCurrentA"), FBatteryCurrent },
        { QStringLiteral("cutOffV"), FBatteryCutOff },
        { QStringLiteral("testPeriodS"), FBatteryPeriod > 0 ? QString::number(FBatteryPeriod) : QString() } };
    for (const auto& [name, value] : settings) {
        if (!value.isEmpty())
            run.settings[name] = value;
    }
    std::vector<BdfReading> readings;
    try {
        readings = BdfReadingsFromBatteryRows(rows, FBatteryStarted);
    } catch (const EBdfExportError& error) {
        MessageBoxes().ShowMessage(
            this, QStringLiteral("%1 was not written: %2").arg(path, QString::fromUtf8(error.what())));
        return false;
    }
    try {
        WriteBdf(path, run, readings);
    } catch (const EBdfExportError& error) {
        MessageBoxes().ShowMessage(this, QString::fromUtf8(error.what())); // names the file
        return false;
    }
    ShowNote(QStringLiteral("%1 readings written to %2").arg(rows.size()).arg(path));
    return true;
}

void TForm1::StartButtonBClick(QObject*)
{
    if (FSession->Run(Activity::Battery) == RunState::Idle) // "Begin" (the first "Start" only stops)
        FRecorder->Identify(); // ahead of "load on": a silent instrument's wait costs no reading
    const BatteryToggle toggled = ToggleBattery(*FSession, testInteral->text(), *FMessages);
    switch (toggled.change) {
    case BatteryToggle::Started:
        FResults->BeginRun(ResultsTable::Battery);
        FBatteryFirstRow = ADOQuery2->RowCount();
        FBatteryStarted = QDateTime::currentDateTimeUtc();
        FBatteryPeriod = toggled.periodSeconds;
        RecordBatteryStart(toggled.periodSeconds);
        FChart->Restart(toggled.periodSeconds);
        FLive.RunStarted(LiveRunRecord(ResultsTable::Battery, QStringLiteral("battery"),
            { { "period_s", toggled.periodSeconds }, { "cutoff_V", FBatteryCutOff } }));
        break;
    case BatteryToggle::Stopped:
        FRecorder->End(ResultsTable::Battery, kOutcomeStopped);
        FChart->Clear();
        break;
    case BatteryToggle::Refused:
        break;
    }
}

// ---- the list test

StepEntries TForm1::EditorRow(int step) const
{
    const auto n = static_cast<size_t>(step);
    return { ModeStep[n]->currentText(), ShownItem(ModeStep[n]), ValStep[n]->text(), DelayStep[n]->text(),
        ValStep[n]->isEnabledTo(GroupBox8), ShownItem(ListC[n]), LmtLStep[n]->text(), LmtHStep[n]->text() };
}

void TForm1::LSetButtonClick(QObject*)
{
    FList.Set(*FSession, { ListSetNum->currentText(), StepAuto->isChecked(), StepRepeatY->isChecked() },
        *FMessages);
}

void TForm1::ListSet(const QString& step)
{
    const int n = StepOf(step);
    FList.SendStep(*FSession, n, EditorRow(n), *FMessages);
}

void TForm1::ValueSet(const QString& step)
{
    const auto n = static_cast<size_t>(StepOf(step));
    const bool takesLevel = ModeTakesLevel(ListModeWord(ShownItem(ModeStep[n])));
    const QString noLevel = QStringLiteral("SHORT and OPEN steps take no value or delay.");
    SetLocked(ValStep[n], !takesLevel, noLevel);
    SetLocked(DelayStep[n], !takesLevel, noLevel);
}

void TForm1::startButtonLClick(QObject*)
{
    std::array<StepEntries, kListSteps> editor;
    for (int n = 0; n < kListSteps; ++n)
        editor[static_cast<size_t>(n)] = EditorRow(n);
    const bool wasRunning = FSession->Run(Activity::List) == RunState::Running;
    if (FSession->Run(Activity::List) == RunState::Idle) // "Begin" (the first "Start" only stops)
        FRecorder->Identify(); // ahead of "load on": a silent instrument's wait costs no reading
    if (!FList.Toggle(*FSession, editor, *FMessages)) {
        if (wasRunning)
            FRecorder->End(ResultsTable::ListS, kOutcomeStopped);
        return;
    }
    FResults->BeginRun(ResultsTable::ListS);
    FLive.RunStarted(LiveRunRecord(ResultsTable::ListS, QStringLiteral("list"),
        { { "steps", ListSetNum->currentText().toInt() }, { "auto_step", StepAuto->isChecked() },
            { "repeat", StepRepeatY->isChecked() } }));
    RecordListStart(editor);
    for (QLabel* panel : { ListR1, ListR2, ListR3 })
        Colour(panel, Qt::black);
    for (QLabel* result : cRes)
        result->clear();
}

// ---- the runs table

void TForm1::RecordBatteryStart(int periodSeconds)
{
    FRecorder->Begin(*FResults, ResultsTable::Battery, QStringLiteral("battery"),
        BatteryRunParameters(FBatteryCurrent, FBatteryCutOff, periodSeconds), FBatteryStarted);
}

void TForm1::RecordListStart(const std::array<StepEntries, kListSteps>& editor)
{
    // The steps the instrument was given with "Set", not what the box says now.
    FRecorder->Begin(*FResults, ResultsTable::ListS, QStringLiteral("list"),
        ListRunParameters(
            FSession->ListLastStep() + 1, StepAuto->isChecked(), StepRepeatY->isChecked(), editor));
}

// Before the store goes with the window: runs still going end as the program ends.
void TForm1::RecordProgramEnded()
{
    FRecorder->EndAll(kOutcomeProgramEnded);
}

void TForm1::TrigButtonClick(QObject*)
{
    Trigger(*FSession, *FMessages);
}

// ---- the frame

void TForm1::SetMessageBoxes(std::unique_ptr<IMessageBoxes> boxes)
{
    FMessageBoxes = std::move(boxes);
}

void TForm1::RunGuarded(const std::function<void()>& handler)
{
    RunReporting(handler, [this](const QString& message) { ShowGeneralError(message); });
}

void TForm1::ShowGeneralError(const QString& text)
{
    ShowStatusError(text);
    FMessageBoxes->ShowError(this, text);
}

void TForm1::AskResultsPassword(const QString& reason)
{
    if (FPasswordBox)
        return;
    FPasswordBox = new QInputDialog(this);
    FPasswordBox->setObjectName(QStringLiteral("ResultsPassword"));
    FPasswordBox->setWindowTitle(kAppTitle);
    FPasswordBox->setLabelText(reason + QStringLiteral("\nPassword:"));
    FPasswordBox->setTextEchoMode(QLineEdit::Password);
    FPasswordBox->setAttribute(Qt::WA_DeleteOnClose);
    connect(FPasswordBox, &QInputDialog::textValueSelected, FResults, &ResultsFile::SetPassword);
    connect(FPasswordBox, &QInputDialog::rejected, this, [this] {
        ShowGeneralError(QStringLiteral("No password was given for the results database: readings are kept "
                                        "in memory, and the password is asked for again in a minute."));
        QTimer::singleShot(60000, FResults, [this] { FResults->SetPassword(QString()); });
    });
    // Non-modal to the event loop: readings go on arriving and waiting while it is open.
    FPasswordBox->open();
}

void TForm1::ShowNote(const QString& text)
{
    FSilenceShown = false;
    SetTextToolTip(StatusNote, text);
    StatusNote->setText(text);
}

void TForm1::ShowStatusError(const QString& text)
{
    const QString line = text.simplified();
    StatusError->setToolTip(line);
    StatusError->setText(
        StatusError->fontMetrics().elidedText(line, Qt::ElideRight, StatusError->maximumWidth()));
}

void TForm1::Label73Click(QObject*)
{
    QDesktopServices::openUrl(QUrl(kAboutWebAddress));
}

void TForm1::closeEvent(QCloseEvent* e)
{
    // The load must not go on drawing current behind a closed window unless the operator
    // says so.
    if (FSession->Disconnecting()) {
        e->ignore(); // closes once its "load off" has left
        return;
    }
    if (FSession->Port() == PortState::Open && FSession->InputMayBeOn()) {
        const int choice = FMessageBoxes->Ask(this,
            { QStringLiteral("The load's input is on. Switch it off before the window closes?"),
                QStringLiteral("Left on, the load goes on drawing current from the source after the window "
                               "has gone."),
                { QStringLiteral("Switch the input off and close"),
                    QStringLiteral("Leave the input on and close"), QStringLiteral("Cancel") },
                0, true });
        if (choice == 0) {
            e->ignore();
            RecordProgramEnded();
            FCloseWhenSwitchedOff = true;
            FSession->Disconnect();
            StatusPanel0->setText(QStringLiteral("Switching the input off, then closing the window"));
            return;
        }
        if (choice != 1) {
            e->ignore();
            return;
        }
    }
    // Readings the results store has not taken yet go with the window: the first close
    // says so and leaves it open, a second one closes.
    if (FResults->Waiting() > 0 && !FLossAccepted) {
        FLossAccepted = true;
        const QString kept = FResults->JournalPath().isEmpty()
            ? QStringLiteral("Closing the window now loses them")
            : QStringLiteral(
                "Closing the window now leaves them in \"%1\", and the next start on this results "
                "store stores them first")
                  .arg(FResults->JournalPath());
        FMessageBoxes->ShowMessage(this,
            QStringLiteral(
                "%1 readings are not stored yet (%2). %3: close it again to do so, or wait until the "
                "status line no longer lists them.")
                .arg(FResults->Waiting())
                .arg(StatusStore->text(), kept));
        e->ignore();
        return;
    }
    if (FRemembers) {
        const std::unique_ptr<QSettings> settings = OpenWindowSettings();
        SaveWindowSettings(*this, *settings);
        // The profile in the editor, saved to a file or not, is there at the next start.
        if (FProfile)
            settings->setValue(kProfileKey, FProfile->ProfileEditor->toPlainText());
    }
    RecordProgramEnded();
    RunGuarded([this] { FormClose(this); });
    QMainWindow::closeEvent(e);
}

bool TForm1::event(QEvent* e)
{
    if (e->type() == PortChoiceMessage) {
        RunGuarded([this] { ShowChosenPort(); });
        return true;
    }
    // What the window does not need to look complete waits until it has been seen.
    if (e->type() == QEvent::Paint && !FStartedAfterPaint)
        QTimer::singleShot(0, this, [this] { RunGuarded([this] { StartAfterFirstPaint(); }); });
    return QMainWindow::event(e);
}
