#pragma once
// The main window: five pages, the status bar, the serial component, the two timers and
// the two result queries. Every control carries its name as objectName. The handlers
// keep the names of the controls and events they serve; each workflow's handlers are
// defined in that workflow's file under workflows/.
#include "link/CommandPipeline.h"
#include "ui/MessageBoxes.h"

#include <QEvent>
#include <QList>
#include <QMainWindow>
#include <QPointF>
#include <QString>
#include <QThread>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
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
class QChart;
class QLineSeries;
class QValueAxis;
class TComm;
class TResultsQuery;
class SimulatorHost;
struct BatteryReading;
struct StepReading;

inline constexpr int kSteps = 15;
inline const QString kAppTitle = QStringLiteral("Kelvaron 4410/4420 DC Load Software");

// One record of the list test's step table.
struct TStepRecord {
    QString Nr, LoadPattern, Setpoint, mValueV, mValueI, LowLimit, HighLimit, Result;
};

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Replaces the message boxes (tests record instead of showing). Takes ownership.
    void SetMessageBoxes(std::unique_ptr<IMessageBoxes> boxes);
    IMessageBoxes& MessageBoxes() { return *FMessageBoxes; }

    // Adds the "SIM" port entry whose connection starts the built-in simulator.
    void EnableSimulatorPort(bool enable);

    // Runs one handler: an exception it throws ends it and goes to the general error display.
    void RunGuarded(const std::function<void()>& handler);
    // The general error display (non-modal box plus a status-bar line).
    void ShowGeneralError(const QString& text);

    // ---- non-visual parts
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
    QPushButton* startButtonB = nullptr;
    QChartView* Chart1 = nullptr;
    QLineSeries* Series1 = nullptr;
    QValueAxis* BottomAxis = nullptr; // time, "s"
    QValueAxis* LeftAxis = nullptr;   // voltage, "V"
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
    std::array<QComboBox*, kSteps> ModeStep {};
    std::array<QLineEdit*, kSteps> ValStep {};
    std::array<QLineEdit*, kSteps> DelayStep {};
    std::array<QComboBox*, kSteps> ListC {};
    std::array<QLineEdit*, kSteps> LmtLStep {};
    std::array<QLineEdit*, kSteps> LmtHStep {};
    std::array<QPushButton*, kSteps> StepButton {};
    std::array<QLabel*, kSteps> cRes {};

    // ---- page "About"
    QLabel* Image1 = nullptr;
    QLabel* Label73 = nullptr;

    // ---- command pipeline (link/)
    void QueueCommand(const QString& command, int replyCode) { FPipeline.QueueCommand(command, replyCode); }
    void QueueCommands(const std::vector<CommandPipeline::Entry>& commands) { FPipeline.QueueCommands(commands); }
    void ReplaceQueue(const std::vector<CommandPipeline::Entry>& commands) { FPipeline.ReplaceQueue(commands); }
    const CommandPipeline& Pipeline() const { return FPipeline; }
    void ClearQueues() { FPipeline.Clear(); }
    void CoTimerTimer(QObject* Sender);
    void fetchTimerTimer(QObject* Sender);
    void Comm1ReceiveData(TComm* Sender, const char* Buffer, uint16_t BufferLength);

    // ---- reply dispatcher and live measurements (replies/)
    void dealReturn(const QString& reply);
    void MeasurementReply(const QString& reply);

    // ---- connection and start-up (workflows/Connection.cpp)
    // Posted by the window to itself after the port list closes up; event() runs ShowChosenPort.
    static constexpr QEvent::Type PortChoiceMessage = static_cast<QEvent::Type>(QEvent::User + 1);
    void FormCreate(QObject* Sender);
    void FormClose(QObject* Sender);
    void combuttonClick(QObject* Sender);
    void ComboDropDown(QObject* Sender);
    void ComboCloseUp(QObject* Sender);
    void ShowChosenPort();
    void SetAddress(const QString& address);
    void Comm1RequestHangup(TComm* Sender);

    // ---- input validation (workflows/InputValidation.cpp)
    int dataRuleCheck(float value, float maximum);
    // Shows "Input data cannot be empty!" and returns true when the edit is empty.
    bool RefuseEmpty(const QLineEdit* edit);
    void DecimalKeyPress(QObject* Sender, QChar& Key);
    void WholeKeyPress(QObject* Sender, QChar& Key);
    void ISetKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void VSetKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void PSetKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void RSetKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void MaxVKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void MaxIKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void MaxPKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void MinVOnKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void MinVOffKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void AutoOffKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void TranA0KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void TranB0KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void TranA1KeyPress(QObject* Sender, QChar& Key) { WholeKeyPress(Sender, Key); }
    void TranB1KeyPress(QObject* Sender, QChar& Key) { WholeKeyPress(Sender, Key); }
    void AdrValueKeyPress(QObject* Sender, QChar& Key) { WholeKeyPress(Sender, Key); }
    void BChargeIKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void BOffVKeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    // Rows 0 to 2 of the step editor; rows 3 to 14 take every key.
    void ValStep0KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void ValStep1KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void ValStep2KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void DelayStep0KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void DelayStep1KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void DelayStep2KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void LmtHStep0KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void LmtHStep1KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void LmtHStep2KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void LmtLStep0KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void LmtLStep1KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }
    void LmtLStep2KeyPress(QObject* Sender, QChar& Key) { DecimalKeyPress(Sender, Key); }

    // ---- load setup, load pattern, load control (workflows/LoadControl.cpp)
    void fuZaiButtonClick(QObject* Sender);
    void modeButtonClick(QObject* Sender);
    void startButtonClick(QObject* Sender);
    void DButtonClick(QObject* Sender);
    void MeasureMode0Click(QObject* Sender);
    void MeasureMode1Click(QObject* Sender);
    void PageControl1Change(QObject* Sender);
    // Shows a page as the program's own choice: PageControl1Change does not run for it.
    void ShowPage(int index);
    bool PageShownByProgram = false; // set while ShowPage switches pages

    // ---- battery discharge test (workflows/BatteryTest.cpp)
    void BSetButtonClick(QObject* Sender);
    void StartButtonBClick(QObject* Sender);
    void BatteryReadingArrived(const BatteryReading& reading);

    // ---- list test (workflows/ListTest.cpp)
    void LSetButtonClick(QObject* Sender);
    void startButtonLClick(QObject* Sender);
    void TrigButtonClick(QObject* Sender);
    void StepButton0Click(QObject*) { ListSet(QStringLiteral("0")); }
    void StepButton1Click(QObject*) { ListSet(QStringLiteral("1")); }
    void StepButton2Click(QObject*) { ListSet(QStringLiteral("2")); }
    void StepButton3Click(QObject*) { ListSet(QStringLiteral("3")); }
    void StepButton4Click(QObject*) { ListSet(QStringLiteral("4")); }
    void StepButton5Click(QObject*) { ListSet(QStringLiteral("5")); }
    void StepButton6Click(QObject*) { ListSet(QStringLiteral("6")); }
    void StepButton7Click(QObject*) { ListSet(QStringLiteral("7")); }
    void StepButton8Click(QObject*) { ListSet(QStringLiteral("8")); }
    void StepButton9Click(QObject*) { ListSet(QStringLiteral("9")); }
    void StepButton10Click(QObject*) { ListSet(QStringLiteral("10")); }
    void StepButton11Click(QObject*) { ListSet(QStringLiteral("11")); }
    void StepButton12Click(QObject*) { ListSet(QStringLiteral("12")); }
    void StepButton13Click(QObject*) { ListSet(QStringLiteral("13")); }
    void StepButton14Click(QObject*) { ListSet(QStringLiteral("14")); }
    void ModeStep0Change(QObject*) { ValueSet(QStringLiteral("0")); }
    void ModeStep1Change(QObject*) { ValueSet(QStringLiteral("1")); }
    void ModeStep2Change(QObject*) { ValueSet(QStringLiteral("2")); }
    void ModeStep3Change(QObject*) { ValueSet(QStringLiteral("3")); }
    void ModeStep4Change(QObject*) { ValueSet(QStringLiteral("4")); }
    void ModeStep5Change(QObject*) { ValueSet(QStringLiteral("5")); }
    void ModeStep6Change(QObject*) { ValueSet(QStringLiteral("6")); }
    void ModeStep7Change(QObject*) { ValueSet(QStringLiteral("7")); }
    void ModeStep8Change(QObject*) { ValueSet(QStringLiteral("8")); }
    void ModeStep9Change(QObject*) { ValueSet(QStringLiteral("9")); }
    void ModeStep10Change(QObject*) { ValueSet(QStringLiteral("10")); }
    void ModeStep11Change(QObject*) { ValueSet(QStringLiteral("11")); }
    void ModeStep12Change(QObject*) { ValueSet(QStringLiteral("12")); }
    void ModeStep13Change(QObject*) { ValueSet(QStringLiteral("13")); }
    void ModeStep14Change(QObject*) { ValueSet(QStringLiteral("14")); }
    void ListSet(const QString& step);
    void ValueSet(const QString& step);
    void StepReadingArrived(const StepReading& reading);
    void ListVerdictArrived(const QString& reply);

    // ---- setting memories (workflows/SettingMemories.cpp)
    void BitBtn1Click(QObject* Sender);
    void LoadFileClick(QObject* Sender);
    void BitBtn2Click(QObject* Sender);

    // ---- about page
    void Label73Click(QObject* Sender);

    // ---- state shared between the workflows
    int TestMode = 0; // 0 normal, 1 battery test, 2 list test
    double StoredCurrentMax = 0;
    double StoredVoltageMax = 0;
    double StoredPowerMax = 0;
    double ResistanceMax = 0; // 4000 from start-up on
    int ElapsedSeconds = 0;   // battery test: time of the latest accepted reading
    int ChartWindow = 0;      // battery test: visible width of the time axis, seconds
    int LastListStep = 0;     // list test: N - 1
    // Battery test: every chart point of the run in ascending time; the chart shows the
    // part of them inside its window (see ShowBatteryPoint).
    std::vector<QPointF> BatteryPoints;
    std::array<TStepRecord, kSteps> StepTable {};
    std::array<char, 2048> ReceiveArea {}; // copy of the last received chunk

    // Pauses the window's thread (connect, "Set up", "Set", "Load"). Tests may shorten it.
    std::function<void(int ms)> Pause = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); };

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    void BuildLayout();
    void WireHandlers();
    // Battery and list tests: a new chart point, and the newest row selected in its grid,
    // each at a cost independent of how many came before.
    void ShowBatteryPoint(const QPointF& point);
    void ClearBatteryChart();
    static void ShowNewestRow(QTableView* grid);

    CommandPipeline FPipeline;
    std::unique_ptr<IMessageBoxes> FMessageBoxes;
    std::unique_ptr<SimulatorHost> FSimulator; // the built-in simulator while "SIM" is connected
    bool FSimulatorPort = false;
    QList<QPointF> FShownBatteryPoints; // the points of BatteryPoints that Series1 holds
    QLabel* FStatusError = nullptr;     // the general error display's line in the status bar
};
