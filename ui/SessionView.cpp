// What the session reports, shown in the controls and the status bar, and the general
// error display.
#include "ui/main.h"

#include "comm/SerialComm.h"
#include "link/Guarded.h"
#include "publish/LivePublisher.h"
#include "store/ResultsFile.h"
#include "store/ResultsQuery.h"
#include "ui/AnalysisView.h"
#include "ui/BatteryChart.h"
#include "ui/FileDialogs.h"
#include "ui/GridExport.h"
#include "ui/ProfileWindow.h"
#include "ui/ResultLamp.h"
#include "ui/ResultsLockDialog.h"
#include "ui/ToolTips.h"
#include "ui/TrafficConsole.h"
#include "ui/WindowSettings.h"
#include "workflows/BatteryDischarge.h"
#include "workflows/Connection.h"
#include "workflows/InputRules.h"
#include "workflows/LoadControl.h"
#include "workflows/ProgramInfo.h"
#include "workflows/RunNotes.h"
#include "workflows/RunRecorder.h"
#include "workflows/RunRecords.h"
#include "workflows/SettingMemories.h"

#include <QDateTime>
#include <QGroupBox>
#include <QInputDialog>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTimer>
#include <cmath>
#include <tuple>

namespace {

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

void ShowNewestRow(QTableView* grid)
{
    const QAbstractItemModel* model = grid->model();
    if (!model || model->rowCount() == 0)
        return;
    const int last = model->rowCount() - 1;
    grid->selectRow(last);
    grid->scrollTo(model->index(last, 0));
}

} // namespace

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
        SetLocked(
            BSetButton, s.Run(Activity::Battery) == RunState::Running, LockedWhileRunning(Activity::Battery));
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
    EnsurePage(activity == Activity::Battery ? TabSheet3
            : activity == Activity::List     ? TabSheet4
                                             : TabSheet2);
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
        ResultLamp::Light(ListR1, QColor(0, 0, 255));
        break;
    case 1:
        ResultLamp::Light(ListR2, QColor(128, 255, 128));
        break;
    case 2:
        ResultLamp::Light(ListR3, QColor(255, 0, 0));
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
