// The operator's actions on the Battery Test and List Test pages and in the Battery menu,
// and the runs table's records of their runs.
#include "ui/main.h"

#include "publish/LivePublisher.h"
#include "store/BdfExport.h"
#include "store/ResultsFile.h"
#include "store/ResultsQuery.h"
#include "ui/AnalysisView.h"
#include "ui/BatteryChart.h"
#include "ui/GridExport.h"
#include "ui/PortComboBox.h"
#include "ui/ProfileWindow.h"
#include "ui/ResultLamp.h"
#include "ui/ToolTips.h"
#include "ui/TrafficConsole.h"
#include "workflows/BatteryDischarge.h"
#include "workflows/LoadControl.h"
#include "workflows/ProgramInfo.h"
#include "workflows/RunRecorder.h"
#include "workflows/RunRecords.h"

#include <QComboBox>
#include <QDateTime>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <cmath>
#include <tuple>

namespace {

// The position of the item the combo box shows; -1 when its text (typed into the
// editable box) is not that item.
int ShownItem(const QComboBox* box)
{
    const int item = box->currentIndex();
    return item >= 0 && box->itemText(item) == box->currentText() ? item : -1;
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
        ResultLamp::Light(panel, Qt::black);
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
