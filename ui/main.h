#pragma once
// The main window: the view of one instrument session. It builds the Main page and the
// status bar at once and each other page when it is first shown (or first needed), forwards each operator
// action to the rules in workflows/ and applies what the session reports to the controls. Every control,
// timer and component carries its name as objectName; the captions of the start buttons and of "Select" /
// "Connect" / "Disconnect" follow the session's state and are never read back.
#include "comm/PortEnumeration.h"
#include "link/InstrumentSession.h"
#include "publish/LiveFeed.h"
#include "store/ResultsBackend.h"
#include "ui/MessageBoxes.h"
#include "ui/WindowSettings.h"
#include "workflows/ListSequence.h"
#include "workflows/RunAnalysis.h"

#include <QDateTime>
#include <QEvent>
#include <QHash>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QInputDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QStatusBar;
class QTabWidget;
class QTableView;
class QTimer;
class QChartView;
class QLineSeries;
class QValueAxis;
class TComm;
class TResultsQuery;
class ResultsFile;
class RunRecorder;
class BatteryChart;
class TrafficConsole;
class AnalysisView;
class ProfileWindow;
class LivePublisher;
class IOperatorMessages;

class TForm1 : public QMainWindow
{
    Q_OBJECT
public:
    // Results go to `results` when given (a shared database), otherwise to db.sqlite in
    // the working folder.
    explicit TForm1(QWidget* parent = nullptr, std::unique_ptr<ResultsBackend> results = nullptr);
    ~TForm1() override;

    // Replaces the message boxes (tests record instead of showing). Takes ownership.
    void SetMessageBoxes(std::unique_ptr<IMessageBoxes> boxes);
    IMessageBoxes& MessageBoxes() { return *FMessageBoxes; }

    // Offers the port "SIM", which opens what `make` makes (the built-in simulator).
    void EnableSimulatorPort(VirtualPortMaker make);

    // Runs one handler: an exception it throws ends it and goes to the general error display.
    void RunGuarded(const std::function<void()>& handler);
    // The general error display (non-modal box plus a status-bar line).
    void ShowGeneralError(const QString& text);
    // The results database wants a password: asked for in a box that does not hold up
    // the window (readings wait meanwhile); never shown or kept beyond the store.
    void AskResultsPassword(const QString& reason);

    // Builds every page not built yet: a page other than Main has no controls until it is
    // first shown. Tests and anything that looks controls up by name call this first.
    void BuildAllPages();

    InstrumentSession& Session() { return *FSession; }
    ListSequence& List() { return FList; }
    BatteryChart& Chart();
    ResultsFile& Results() { return *FResults; }
    // The runs table's records of the window's battery, list and profile runs.
    RunRecorder& Recorder() { return *FRecorder; }
    // The traffic console (Ctrl+T, or the status bar's menu), made when first asked for.
    TrafficConsole* Traffic();
    // Shows what the last window remembered, and remembers what this one shows when it
    // closes. Without this call the window starts as built and remembers nothing.
    void RememberSettings();
    // Opens the traffic console, or brings it to the front.
    void ShowTrafficConsole();

    // The station exported runs are marked with: this computer's name unless set.
    QString Station() const { return FStation; }
    void setStation(const QString& station);
    // Where the analysis views find earlier runs to compare with: the results store's
    // battery and profile runs (StoredAnalysisRuns) unless set.
    void setEarlierRuns(std::function<std::vector<AnalysisRun>()> earlierRuns);
    const std::function<std::vector<AnalysisRun>()>& EarlierRuns() const { return FEarlierRuns; }

    // Publishes the live readings and runs of the window (--publish) through `publisher`, which
    // has been started; its changes go to the status line.
    void setPublisher(std::unique_ptr<LivePublisher> publisher);
    // Where readings and runs go live; publishes nothing without a publisher.
    LiveFeed& Live() { return FLive; }
    // A run as LiveFeed::RunStarted takes it (call after the results' BeginRun): the results
    // store's run id when it gives one.
    RunRecord LiveRunRecord(ResultsTable table, const QString& kind, const QJsonObject& parameters) const;

    // ---- the Battery menu
    // The Profile window (Battery > Profile…), made when first asked for.
    ProfileWindow* Profile();
    // Opens the Profile window, or brings it to the front.
    void ShowProfileWindow();
    // The battery page's latest run (the rows since its last Begin, all rows of the grid
    // when none began here), as the analysis view and the BDF export take it.
    AnalysisRun BatteryRun() const;
    // Battery > "Analysis of the battery run…": a new analysis view of BatteryRun, or
    // nothing (and a message) when the grid holds no readings.
    AnalysisView* ShowBatteryAnalysis();
    // Writes BatteryRun to `path` as Battery Data Format with its sidecar. A failure, or
    // no readings, is shown through the message boxes naming the file. Returns whether
    // both files were written.
    bool ExportBatteryBdf(const QString& path);
    // Battery > "Battery run report…": BatteryRun as a PDF report at `path`. A failure, or no
    // readings, is shown through the message boxes naming the file.
    bool SaveBatteryReport(const QString& path);
    // The battery table's rows of BatteryRun, in table order.
    std::vector<QStringList> BatteryRows() const;

    // ---- non-visual parts (the serial component and the timers belong to the session)
    TComm* Comm1 = nullptr;
    QTimer* CoTimer = nullptr;
    QTimer* fetchTimer = nullptr;
    TResultsQuery* ADOQuery1 = nullptr; // listS
    TResultsQuery* ADOQuery2 = nullptr; // battery

    // ---- window frame
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet2 = nullptr; // "Main"
    QWidget* TabSheet3 = nullptr; // "Battery Test"
    QWidget* TabSheet4 = nullptr; // "List Test"
    QWidget* TabSheet1 = nullptr; // "Instructions"
    QWidget* TabSheet5 = nullptr; // "About"
    QStatusBar* StatusBar1 = nullptr;
    QLabel* StatusPanel0 = nullptr; // the status bar's one text panel
    QLabel* StatusNote = nullptr; // notes of the instrument and its runs
    QLabel* StatusLink = nullptr; // what the link missed or dropped since the port opened
    QLabel* StatusStore = nullptr; // what keeps readings from the results file
    QLabel* StatusError = nullptr; // the general error display's line in the status bar

    // ---- page "Main"
    QFrame* Panel2 = nullptr;
    QLabel *VLable = nullptr, *ILable = nullptr, *PLabel = nullptr;
    QPushButton* startButton = nullptr;
    QGroupBox* GroupBox10 = nullptr;
    QRadioButton *MeasureMode0 = nullptr, *MeasureMode1 = nullptr;
    QLabel* Label60 = nullptr;
    QComboBox* FileNo = nullptr;
    QPushButton *BitBtn1 = nullptr, *LoadFile = nullptr, *BitBtn2 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLineEdit *MaxV = nullptr, *MaxI = nullptr, *MaxP = nullptr, *MinVOn = nullptr, *MinVOff = nullptr,
              *AutoOff = nullptr;
    QCheckBox* CheckBox29 = nullptr;
    QPushButton* fuZaiButton = nullptr;
    QGroupBox* GroupBox9 = nullptr;
    QComboBox *Combo = nullptr, *BaudRate = nullptr;
    QLineEdit* AdrValue = nullptr;
    QPushButton* combutton = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QRadioButton *loadI = nullptr, *loadV = nullptr, *loadP = nullptr, *loadR = nullptr, *loadS = nullptr,
                 *loadD = nullptr;
    QLineEdit *ISet = nullptr, *VSet = nullptr, *PSet = nullptr, *RSet = nullptr;
    QPushButton* modeButton = nullptr;
    QGroupBox *GroupBox3 = nullptr, *GroupBox4 = nullptr, *GroupBox5 = nullptr;
    QRadioButton *TranType = nullptr, *TranType1 = nullptr;
    QRadioButton *TranMode0 = nullptr, *TranMode1 = nullptr, *TranMode2 = nullptr;
    QLineEdit *TranA0 = nullptr, *TranA1 = nullptr, *TranB0 = nullptr, *TranB1 = nullptr;
    QPushButton* DButton = nullptr;

    // ---- page "Battery Test"
    QFrame* Panel1 = nullptr;
    QLabel *LabelBV = nullptr, *LabelBI = nullptr, *LabelBC = nullptr, *LabelBT = nullptr;
    QLabel* LabelBElapsed = nullptr;
    QPushButton* startButtonB = nullptr;
    QChartView* Chart1 = nullptr;
    QLineSeries* Series1 = nullptr;
    QValueAxis* BottomAxis = nullptr; // time, "s"
    QValueAxis* LeftAxis = nullptr; // voltage, "V"
    QTableView* DBGrid2 = nullptr;
    QGroupBox* GroupBox13 = nullptr;
    QLineEdit *BChargeI = nullptr, *BOffV = nullptr, *testInteral = nullptr;
    QPushButton* BSetButton = nullptr;

    // ---- page "List Test"
    QFrame* Panel3 = nullptr;
    QLabel *ListS = nullptr, *ListV = nullptr, *ListI = nullptr;
    QLabel *ListR1 = nullptr, *ListR2 = nullptr, *ListR3 = nullptr; // result panels
    QTableView* DBGrid1 = nullptr;
    QGroupBox *GroupBox6 = nullptr, *GroupBox7 = nullptr, *GroupBox12 = nullptr, *GroupBox8 = nullptr;
    QRadioButton *StepTrig = nullptr, *StepAuto = nullptr, *StepRepeatY = nullptr, *StepRepeatN = nullptr;
    QComboBox* ListSetNum = nullptr;
    QPushButton *LSetButton = nullptr, *startButtonL = nullptr, *TrigButton = nullptr;
    QScrollArea* ScrollBox1 = nullptr;
    // The step editor, one entry per step 0 to 14.
    std::array<QComboBox*, kListSteps> ModeStep {};
    std::array<QLineEdit*, kListSteps> ValStep {};
    std::array<QLineEdit*, kListSteps> DelayStep {};
    std::array<QComboBox*, kListSteps> ListC {};
    std::array<QLineEdit*, kListSteps> LmtLStep {};
    std::array<QLineEdit*, kListSteps> LmtHStep {};
    std::array<QPushButton*, kListSteps> StepButton {};
    std::array<QLabel*, kListSteps> cRes {};

    // ---- page "About"
    QLabel* Image1 = nullptr;
    QLabel* Label73 = nullptr;

    // ---- the instrument link, forwarded to the session
    void CoTimerTimer(QObject* Sender);
    void fetchTimerTimer(QObject* Sender);
    void Comm1ReceiveData(TComm* Sender, const char* Buffer, uint16_t BufferLength);
    void dealReturn(const QString& reply);

    // ---- the operator's actions
    // Posted by the window to itself after the port list closes up; event() runs ShowChosenPort.
    static constexpr QEvent::Type PortChoiceMessage = static_cast<QEvent::Type>(QEvent::User + 1);
    void FormCreate(QObject* Sender);
    void FormClose(QObject* Sender);
    void combuttonClick(QObject* Sender);
    void ComboDropDown(QObject* Sender);
    void ComboCloseUp(QObject* Sender);
    void ShowChosenPort();
    // Local (false) or Remote (true) chosen by the operator.
    void SenseChosen(bool remote);
    int dataRuleCheck(float value, float maximum);
    void fuZaiButtonClick(QObject* Sender);
    void modeButtonClick(QObject* Sender);
    void startButtonClick(QObject* Sender);
    void DButtonClick(QObject* Sender);
    void MeasureMode0Click(QObject* Sender);
    void MeasureMode1Click(QObject* Sender);
    void PageControl1Change(QObject* Sender);
    // Shows a page as the program's own choice: PageControl1Change does not run for it.
    void ShowPage(int index);
    void BSetButtonClick(QObject* Sender);
    void StartButtonBClick(QObject* Sender);
    void LSetButtonClick(QObject* Sender);
    void startButtonLClick(QObject* Sender);
    void TrigButtonClick(QObject* Sender);
    // Step button and mode box of one row; the step as text ("0" … "14"), refused otherwise.
    void ListSet(const QString& step);
    void ValueSet(const QString& step);
    void BitBtn1Click(QObject* Sender);
    void LoadFileClick(QObject* Sender);
    void BitBtn2Click(QObject* Sender);
    void Label73Click(QObject* Sender);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    class Messages;
    void BuildLayout();
    // Builds one page's controls (MainLayout.cpp); EnsurePage adds what hangs on them.
    void BuildPage(QWidget* page);
    void EnsurePage(QWidget* page);
    void WireHandlers();
    void WireBatteryPage();
    void WireListPage();
    void WireSession();
    // Captions and enabled buttons as the session's state says.
    void ShowState();
    void ShowPortClosed(const QString& status);
    void ShowReadBack(const ReadBackResult& result);
    void ShowBatteryReading(const BatteryReading& reading);
    void ShowListReport(const ListReport& report);
    // The runs table: a battery or list run begins; the window closes mid-run.
    void RecordBatteryStart(int periodSeconds);
    void RecordListStart(const std::array<StepEntries, kListSteps>& editor);
    void RecordProgramEnded();
    StepEntries EditorRow(int step) const;
    // The system's port list is read on a thread of its own at start-up (it can take
    // longer than drawing the window); the box gets it once it is there.
    void ListPortsInBackground();
    // The port list, read once the window has been painted.
    void StartAfterFirstPaint();
    void ShowPortList();
    void ShowStatusError(const QString& text);
    // A note in the status bar, the whole of it also as the tip.
    void ShowNote(const QString& text);
    // Greys an activity's reading labels (stale: their run stopped) or shows them live.
    void ShowStale(Activity activity, bool stale);
    QString BatteryRunLabel() const;

    InstrumentSession* FSession = nullptr;
    ResultsFile* FResults = nullptr; // db.sqlite or the shared store, for ADOQuery1 and ADOQuery2
    std::unique_ptr<RunRecorder> FRecorder;
    ListSequence FList;
    std::unique_ptr<BatteryChart> FChart;
    std::unique_ptr<IMessageBoxes> FMessageBoxes;
    std::unique_ptr<IOperatorMessages> FMessages; // the operator's refusals, through FMessageBoxes
    QHash<QString, QWidget*> FReadBackFields; // the controls the read-back writes, by name
    bool FApplyingReadBack = false; // a read-back selection is not the operator's choice
    std::array<bool, 3> FRan {}; // per activity: was running at the last state change
    bool FRemembers = false; // saves what it shows at close (RememberSettings)
    bool FPageShownByProgram = false; // set while ShowPage switches pages
    bool FSilenceShown = false; // the note says the instrument is silent
    // The port list being read at start-up; its destructor waits for the thread.
    std::future<std::vector<PresentPort>> FListedPorts;
    QTimer* FPortListWatch = nullptr; // looks for the list until it is there
    TrafficConsole* FTraffic = nullptr;
    QPointer<QInputDialog> FPasswordBox; // the results database's password, while asked for
    bool FLossAccepted = false; // closing was refused once for readings not yet stored
    // The cut-off of the battery set-up the instrument took: its runs' records are held at
    // it, whatever the field says meanwhile.
    QString FBatteryCutOff;
    bool FCloseWhenSwitchedOff = false; // the window closes once its "load off" has left
    QString FStation;
    std::unique_ptr<LivePublisher> FPublisher; // with --publish
    LiveFeed FLive; // the readings and runs FPublisher publishes
    ProfileWindow* FProfile = nullptr;
    QString FRememberedProfile; // the editor's text at the last close (RememberSettings)
    // What the last window's controls showed, for the pages not built yet.
    RememberedControls FRememberedControls;
    QList<QWidget*> FBuiltPages; // the pages whose controls exist
    bool FPageMenusAdded = false;
    bool FStartedAfterPaint = false;
    std::function<std::vector<AnalysisRun>()> FEarlierRuns;
    // The battery page's latest run: its first row in the grid, its start (UTC) and what
    // it was set up with, for the BDF sidecar.
    int FBatteryFirstRow = 0;
    QDateTime FBatteryStarted;
    QString FBatteryCurrent;
    int FBatteryPeriod = 0;
};
