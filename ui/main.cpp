#include "ui/main.h"

#include "comm/SerialComm.h"
#include "publish/LivePublisher.h"
#include "store/ResultsFile.h"
#include "store/ResultsQuery.h"
#include "store/ResultsUrl.h"
#include "ui/AboutPage.h"
#include "ui/AnalysisView.h"
#include "ui/BatteryChart.h"
#include "ui/ClassicMetricsStyle.h"
#include "ui/FileDialogs.h"
#include "ui/GridExport.h"
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
#include "workflows/InputRules.h"
#include "workflows/LoadControl.h"
#include "workflows/OperatorMessages.h"
#include "workflows/ProgramInfo.h"
#include "workflows/RunRecorder.h"
#include "workflows/RunRecords.h"
#include "workflows/SettingMemories.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
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

} // namespace

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
    setFont(ClassicMetricsStyle::WindowFont());

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
    // Opened once the window has been seen; a row that comes first opens it.
    FResults->StartSessionHeld();
    // A window never shown lists the ports at once; a shown one after its first paint.
    QTimer::singleShot(0, this, [this] {
        if (!isVisible())
            StartAfterFirstPaint();
    });
}

void TForm1::StartAfterFirstPaint()
{
    if (std::exchange(FStartedAfterPaint, true))
        return;
    // Drawn once the window has been seen: drawing it is no reason to show the window later.
    setWindowIcon(ProgramIcon());
    FResults->ResumeSession();
    ListPortsInBackground();
}

void TForm1::FormClose(QObject*)
{
    FSession->Close();
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
