// The profile window while a profile runs: its buttons' states, the steps, readings,
// resistance measurements and end as the run reports them, and what is exported after.
#include "ui/ProfileWindow.h"

#include "store/BdfExport.h"
#include "store/ResultsFile.h"
#include "ui/AnalysisView.h"
#include "ui/FileDialogs.h"
#include "ui/TimeAxisLabels.h"
#include "ui/ToolTips.h"
#include "ui/main.h"
#include "workflows/Profile.h"
#include "workflows/ProfileRun.h"
#include "workflows/ProgramInfo.h"
#include "workflows/RunAnalysis.h"
#include "workflows/RunNotes.h"
#include "workflows/RunRecorder.h"
#include "workflows/RunRecords.h"
#include <QChart>
#include <QChartView>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScatterSeries>
#include <QTableWidget>
#include <QTextBlock>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// What the chart holds of each curve before it is thinned anew: a few per pixel column.
constexpr int kDrawnPoints = 2000;

const QString kRunsAlready = QStringLiteral("A profile runs: press Stop first.");
const QString kFixTheLine = QStringLiteral("The profile has an error: correct the marked line first.");

QString Failed(const ResistanceMeasurement& m)
{
    return QStringLiteral("failed: ") + m.failure;
}

} // namespace

// ---- running

void ProfileWindow::RunClick()
{
    if (!FReadable)
        return;
    if (FForm.Session().Port() != PortState::Open) {
        FForm.MessageBoxes().ShowMessage(this, QStringLiteral("Connect to the instrument first."));
        return;
    }
    const QByteArray text = ProfileEditor->toPlainText().toUtf8();
    const Profile profile = ReadProfile(text);
    if (!FRun) {
        FRun = std::make_unique<ProfileRun>(FForm.Session());
        Wire(*FRun);
    }
    try {
        FRun->Start(profile, text);
    } catch (const std::runtime_error& refused) {
        FForm.MessageBoxes().ShowMessage(this, QString::fromUtf8(refused.what()));
        ShowState();
        return;
    }
    // Readings come with later polls; the run's first step may have shown already.
    FForm.Results().BeginRun(ResultsTable::Profile);
    RecordStart(text);
    FForm.Live().RunStarted(FForm.LiveRunRecord(
        ResultsTable::Profile, QStringLiteral("profile"), { { "profile", QString::fromUtf8(text) } }));
    FRunText = text;
    FRunLabel = FRun->RunLabel();
    Clear();
    ShowStatus(QStringLiteral("Profile started"));
    ShowState();
}

void ProfileWindow::StopClick()
{
    if (FRun && FRun->Running())
        FRun->Stop();
    ShowState();
}

void ProfileWindow::Wire(ProfileRun& run)
{
    run.OnStep = [this](const ProfileStepInfo& step) { ShowStep(step); };
    // A row the store refuses is the window's general error.
    run.OnSample = [this](const ProfileSample& s) { FForm.RunGuarded([&] { ShowSample(s); }); };
    run.OnResistance
        = [this](const ResistanceMeasurement& m) { FForm.RunGuarded([&] { ShowResistance(m); }); };
    run.OnStatus = [this](const QString& status) { ShowStatus(status); };
    run.OnEnd = [this](ProfileOutcome outcome, const QString& message) { ShowEnd(outcome, message); };
}

void ProfileWindow::ShowState()
{
    const bool running = FRun && FRun->Running();
    SetLocked(ProfileRunButton, running || !FReadable, running ? kRunsAlready : kFixTheLine);
    SetLocked(ProfileStopButton, !running, QStringLiteral("No profile runs."));
    const bool ran = !running && FRun && !FRun->Samples().empty();
    const QString noRun = running ? kRunsAlready : QStringLiteral("Run a profile first.");
    SetLocked(ProfileExportBdf, !ran, noRun);
    SetLocked(ProfileAnalysis, !ran, noRun);
    SetLocked(ProfileReport, !ran, noRun);
    SetLocked(ProfileOpen, running, kRunsAlready);
}

void ProfileWindow::Clear()
{
    FVoltagePoints.clear();
    FCurrentPoints.clear();
    ProfileVoltage->clear();
    ProfileCurrent->clear();
    ProfileResistance->clear();
    ProfileResistances->setRowCount(0);
    FLowestV = FHighestV = FHighestA = FHighestR = 0;
    ProfileElapsed->setText(ElapsedText(0));
    ProfileAh->setText(QStringLiteral("0.0000 Ah"));
    ProfileWh->setText(QStringLiteral("0.0000 Wh"));
    FitAxes();
}

void ProfileWindow::ShowStep(const ProfileStepInfo& step)
{
    ProfileStep->setText(QStringLiteral("%1 (line %2%3): %4")
                             .arg(step.number)
                             .arg(step.line)
                             .arg(step.cycle > 1 ? QStringLiteral(", pass %1").arg(step.cycle) : QString())
                             .arg(step.description));
    ProfileEnd->setText(step.endCondition.isEmpty() ? QStringLiteral("when done") : step.endCondition);
    SetTextToolTip(ProfileStep, ProfileStep->text());
}

void ProfileWindow::ShowSample(const ProfileSample& s)
{
    ProfileElapsed->setText(ElapsedText(static_cast<qint64>(s.seconds)));
    ProfileAh->setText(QStringLiteral("%1 Ah").arg(s.capacityAh, 0, 'f', 4));
    ProfileWh->setText(QStringLiteral("%1 Wh").arg(s.energyWh, 0, 'f', 4));
    const bool first = FVoltagePoints.empty();
    FVoltagePoints.emplace_back(s.seconds, s.voltage);
    FCurrentPoints.emplace_back(s.seconds, s.current);
    FLowestV = first ? s.voltage : std::min(FLowestV, s.voltage);
    FHighestV = first ? s.voltage : std::max(FHighestV, s.voltage);
    FHighestA = std::max(FHighestA, s.current);
    if (ProfileVoltage->count() >= 2 * kDrawnPoints) {
        Thin();
    } else {
        ProfileVoltage->append(FVoltagePoints.back());
        ProfileCurrent->append(FCurrentPoints.back());
    }
    FitAxes();
    // Drawn whatever the store says: the run keeps every reading for the export, and a
    // row the store refuses goes to the general error display.
    FForm.Results().Insert(ResultsTable::Profile, ProfileRowValues(FRunLabel, s), {});
    LiveReading live = LiveReadingOf(s.at, s.voltage, s.current);
    live.power = s.power;
    live.seconds = s.seconds;
    live.capacityAh = s.capacityAh;
    live.energyWh = s.energyWh;
    live.step = s.stepNumber;
    FForm.Live().Reading(live);
}

void ProfileWindow::Thin()
{
    const auto replace = [](QLineSeries* series, const std::vector<QPointF>& points) {
        const std::vector<QPointF> thin = ThinForDrawing(points, kDrawnPoints);
        series->replace(QList<QPointF>(thin.begin(), thin.end()));
    };
    replace(ProfileVoltage, FVoltagePoints);
    replace(ProfileCurrent, FCurrentPoints);
}

void ProfileWindow::ShowResistance(const ResistanceMeasurement& m)
{
    const int row = ProfileResistances->rowCount();
    ProfileResistances->insertRow(row);
    const QString cells[]
        = { QString::number(m.stepNumber), ClockText(m.seconds), QString::number(m.capacityAh, 'f', 4),
              QStringLiteral("%1 / %2").arg(m.v1, 0, 'f', 3).arg(m.v2, 0, 'f', 3),
              QStringLiteral("%1 / %2").arg(m.i1, 0, 'f', 3).arg(m.i2, 0, 'f', 3),
              m.milliOhm ? QString::number(*m.milliOhm, 'f', 2) : QStringLiteral("—"),
              m.milliOhm ? QStringLiteral("good") : Failed(m) };
    for (int column = 0; column < 7; ++column) {
        auto* item = new QTableWidgetItem(cells[column]);
        if (!m.milliOhm) {
            item->setForeground(QColor(192, 0, 0));
            item->setToolTip(Failed(m));
        }
        ProfileResistances->setItem(row, column, item);
    }
    ProfileResistances->scrollToBottom();
    if (m.milliOhm) {
        ProfileResistance->append(m.seconds, *m.milliOhm);
        FHighestR = std::max(FHighestR, *m.milliOhm);
        FitAxes();
    }
    FForm.Results().Insert(ResultsTable::Resistance, ResistanceRowValues(FRunLabel, m), {});
}

void ProfileWindow::RecordStart(const QByteArray& text)
{
    FForm.Recorder().Begin(FForm.Results(), ResultsTable::Profile, QStringLiteral("profile"),
        ProfileRunParameters(QString::fromUtf8(text), QString()), FRun->Started());
}

void ProfileWindow::ShowEnd(ProfileOutcome outcome, const QString& message)
{
    FForm.Recorder().End(ResultsTable::Profile, ProfileOutcomeWord(outcome));
    ShowStatus(message);
    FForm.Live().RunEnded(ProfileOutcomeWord(outcome),
        { { "duration_s", FRun->Seconds() }, { "capacity_Ah", FRun->CapacityAh() },
            { "energy_Wh", FRun->EnergyWh() } });
    if (!FVoltagePoints.empty())
        Thin();
    ShowState();
}

void ProfileWindow::ShowStatus(const QString& status)
{
    ProfileStatus->setText(status);
    SetTextToolTip(ProfileStatus, status);
}

void ProfileWindow::FitAxes()
{
    const double end = FVoltagePoints.empty() ? 0 : FVoltagePoints.back().x();
    FTimeLabels->SetRange(0, std::max(60.0, end * 1.05));
    // Round steps for the readings' axes; the plot's height before its first layout is a guess.
    const double height = std::max(120.0, ProfileChart->chart()->plotArea().height());
    constexpr double kLabelRoom = 28;
    const double room = std::max(0.05, (FHighestV - FLowestV) * 0.1);
    if (FVoltagePoints.empty())
        SetRoundRange(FVolts, 0, 5, height, kLabelRoom);
    else
        SetRoundRange(FVolts, std::max(0.0, FLowestV - room), FHighestV + room, height, kLabelRoom);
    SetRoundRange(FAmps, 0, std::max(0.1, FHighestA * 1.15), height, kLabelRoom);
    SetRoundRange(FMilliOhm, 0, std::max(10.0, FHighestR * 1.25), height, kLabelRoom);
}

// ---- after a run

bool ProfileWindow::ExportBdf(const QString& path)
{
    if (!FRun || FRun->Samples().empty()) {
        FForm.MessageBoxes().ShowMessage(
            this, QStringLiteral("%1 was not written: no profile run has readings yet.").arg(path));
        return false;
    }
    BdfRun run;
    run.station = FForm.Station();
    run.runId = FRun->RunLabel();
    run.profile = QString::fromUtf8(FRun->Text());
    run.start = FRun->Started();
    run.programVersion = kProgramVersion;
    run.settings = { { QStringLiteral("mode"), QStringLiteral("profile") },
        { QStringLiteral("backstopV"), QString::number(LowestCutOff(ReadProfile(FRun->Text()))) } };
    try {
        WriteBdf(path, run, BdfReadingsFromProfile(FRun->Samples(), FRun->Resistances()));
    } catch (const EBdfExportError& error) {
        FForm.MessageBoxes().ShowMessage(this, QString::fromUtf8(error.what()));
        return false;
    }
    ShowStatus(QStringLiteral("%1 readings written to %2").arg(FRun->Samples().size()).arg(path));
    return true;
}

AnalysisView* ProfileWindow::ShowAnalysis()
{
    if (!FRun || FRun->Samples().empty()) {
        FForm.MessageBoxes().ShowMessage(this, QStringLiteral("No profile run has readings to analyse yet."));
        return nullptr;
    }
    AnalysisRun run { FRun->RunLabel(), FForm.Station(), FRun->Started(), QString::fromUtf8(FRun->Text()),
        AnalysisPointsFromProfile(FRun->Samples()), {} };
    auto* view = new AnalysisView(std::move(run), FForm.EarlierRuns(), this);
    view->show();
    return view;
}
