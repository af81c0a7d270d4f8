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

QLabel* MakeLabel(QWidget* parent, const char* name)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

QValueAxis* MakeAxis(QChart* chart, const QString& title, Qt::Alignment side, const QColor& colour)
{
    auto* axis = new QValueAxis(chart);
    axis->setTitleText(title);
    if (colour.isValid()) {
        axis->setLabelsColor(colour);
        axis->setTitleBrush(colour);
    }
    chart->addAxis(axis, side);
    return axis;
}

QString Failed(const ResistanceMeasurement& m)
{
    return QStringLiteral("failed: ") + m.failure;
}

} // namespace

ProfileWindow::ProfileWindow(TForm1& form)
    : QWidget(&form, Qt::Window)
    , FForm(form)
{
    setObjectName(QStringLiteral("ProfileWindow"));
    setWindowTitle(QStringLiteral("Profile - ") + kAppTitle);

    ProfileEditor = new QPlainTextEdit(this);
    ProfileEditor->setObjectName(QStringLiteral("ProfileEditor"));
    ProfileEditor->setLineWrapMode(QPlainTextEdit::NoWrap);
    ProfileEditor->setTabStopDistance(ProfileEditor->fontMetrics().horizontalAdvance(u' ') * 8);
    ProfileEditor->setPlaceholderText(QStringLiteral(
        "Discharge at 2 A until 3.0 V, measuring resistance every 5 minutes\nRest for 10 minutes"));
    ProfileError = MakeLabel(this, "ProfileError");
    ProfileError->setWordWrap(true);
    ProfileError->setStyleSheet(QStringLiteral("color: #c00000"));
    ProfileOpen = MakeButton(this, "ProfileOpen", QStringLiteral("Open…"));
    ProfileSave = MakeButton(this, "ProfileSave", QStringLiteral("Save…"));
    ProfileRunButton = MakeButton(this, "ProfileRunButton", QStringLiteral("Run"));
    ProfileStopButton = MakeButton(this, "ProfileStopButton", QStringLiteral("Stop"));
    ProfileExportBdf = MakeButton(this, "ProfileExportBdf", QStringLiteral("Export to BDF…"));
    ProfileAnalysis = MakeButton(this, "ProfileAnalysis", QStringLiteral("Analysis…"));
    ProfileReport = MakeButton(this, "ProfileReport", QStringLiteral("Report…"));
    ProfileStep = MakeLabel(this, "ProfileStep");
    ProfileEnd = MakeLabel(this, "ProfileEnd");
    ProfileElapsed = MakeLabel(this, "ProfileElapsed");
    ProfileAh = MakeLabel(this, "ProfileAh");
    ProfileWh = MakeLabel(this, "ProfileWh");
    ProfileStatus = MakeLabel(this, "ProfileStatus");
    ProfileStatus->setWordWrap(true);

    auto* chart = new QChart;
    chart->setMargins(QMargins(2, 2, 2, 2));
    chart->legend()->setAlignment(Qt::AlignBottom);
    FTime = MakeAxis(chart, QStringLiteral("s"), Qt::AlignBottom, {});
    FVolts = MakeAxis(chart, QStringLiteral("V"), Qt::AlignLeft, Qt::red);
    FAmps = MakeAxis(chart, QStringLiteral("A"), Qt::AlignLeft, Qt::blue);
    FMilliOhm = MakeAxis(chart, QStringLiteral("mΩ"), Qt::AlignRight, QColor(0, 128, 0));
    // The voltage's grid is the plot's; the others' labels say where their curves stand.
    FAmps->setGridLineVisible(false);
    FMilliOhm->setGridLineVisible(false);
    ProfileVoltage = new QLineSeries(chart);
    ProfileVoltage->setName(QStringLiteral("V"));
    ProfileVoltage->setColor(Qt::red);
    ProfileCurrent = new QLineSeries(chart);
    ProfileCurrent->setName(QStringLiteral("A"));
    ProfileCurrent->setColor(Qt::blue);
    ProfileResistance = new QScatterSeries(chart);
    ProfileResistance->setName(QStringLiteral("R (mΩ)"));
    ProfileResistance->setColor(QColor(0, 128, 0));
    ProfileResistance->setMarkerSize(7);
    const std::pair<QXYSeries*, QValueAxis*> curves[]
        = { { ProfileVoltage, FVolts }, { ProfileCurrent, FAmps }, { ProfileResistance, FMilliOhm } };
    for (const auto& [series, axis] : curves) {
        chart->addSeries(series);
        series->attachAxis(FTime);
        series->attachAxis(axis);
    }
    ProfileChart = new QChartView(chart, this);
    ProfileChart->setObjectName(QStringLiteral("ProfileChart"));
    ProfileChart->setRenderHint(QPainter::Antialiasing);
    ProfileChart->setMinimumSize(420, 260);
    FTimeLabels = new TimeAxisLabels(chart, FTime);

    ProfileResistances = new QTableWidget(0, 7, this);
    ProfileResistances->setObjectName(QStringLiteral("ProfileResistances"));
    ProfileResistances->setHorizontalHeaderLabels(
        { QStringLiteral("Step"), QStringLiteral("Time"), QStringLiteral("Ah"), QStringLiteral("V1 / V2"),
            QStringLiteral("I1 / I2"), QStringLiteral("mΩ"), QStringLiteral("Status") });
    ProfileResistances->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ProfileResistances->verticalHeader()->hide();
    ProfileResistances->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    ProfileResistances->horizontalHeader()->setStretchLastSection(true);
    ProfileResistances->setMinimumHeight(110);

    auto* files = new QHBoxLayout;
    files->addWidget(ProfileOpen);
    files->addWidget(ProfileSave);
    files->addStretch();
    files->addWidget(ProfileRunButton);
    files->addWidget(ProfileStopButton);
    auto* left = new QVBoxLayout;
    left->addLayout(files);
    left->addWidget(ProfileEditor, 1);
    left->addWidget(ProfileError);
    auto* figures = new QGridLayout;
    const std::pair<const char*, QLabel*> rows[] = { { "Step:", ProfileStep }, { "Ends:", ProfileEnd },
        { "Elapsed:", ProfileElapsed }, { "Taken:", ProfileAh }, { "Energy:", ProfileWh } };
    int row = 0;
    for (const auto& [caption, label] : rows) {
        figures->addWidget(new QLabel(QString::fromLatin1(caption), this), row, 0);
        figures->addWidget(label, row++, 1);
    }
    figures->setColumnStretch(1, 1);
    left->addLayout(figures);
    auto* after = new QHBoxLayout;
    after->addWidget(ProfileExportBdf);
    after->addWidget(ProfileAnalysis);
    after->addWidget(ProfileReport);
    after->addStretch();
    left->addLayout(after);
    auto* right = new QVBoxLayout;
    right->addWidget(ProfileChart, 2);
    right->addWidget(ProfileResistances, 1);
    auto* top = new QHBoxLayout;
    top->addLayout(left, 2);
    top->addLayout(right, 3);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(ProfileStatus);
    resize(1000, 620);

    ApplyToolTips(*this);
    const auto guarded = [this](void (ProfileWindow::*action)()) {
        return [this, action] { FForm.RunGuarded([this, action] { (this->*action)(); }); };
    };
    connect(ProfileEditor, &QPlainTextEdit::textChanged, this, &ProfileWindow::TextChanged);
    connect(ProfileRunButton, &QPushButton::clicked, this, guarded(&ProfileWindow::RunClick));
    connect(ProfileStopButton, &QPushButton::clicked, this, guarded(&ProfileWindow::StopClick));
    connect(ProfileOpen, &QPushButton::clicked, this, [this] {
        FForm.RunGuarded([this] {
            if (ProfileEditor->document()->isModified() && !ProfileEditor->toPlainText().trimmed().isEmpty()
                && FForm.MessageBoxes().Ask(this,
                       { QStringLiteral("The profile in the editor has changes that are not saved. Open "
                                        "another file in its place?"),
                           {}, { QStringLiteral("Open and lose the changes"), QStringLiteral("Cancel") }, 1,
                           true })
                    != 0)
                return;
            if (const auto path = AskFileToOpen(
                    this, { QStringLiteral("Profile"), {}, QStringLiteral("Profiles (*.txt *.json)"), {} }))
                OpenFile(*path);
        });
    });
    connect(ProfileSave, &QPushButton::clicked, this, [this] {
        FForm.RunGuarded([this] {
            if (const auto path = AskFileToSave(this,
                    { QStringLiteral("Profile"), QStringLiteral("profile.txt"),
                        QStringLiteral("Profile as text (*.txt);;Profile as JSON (*.json)"), {} }))
                SaveFile(*path);
        });
    });
    connect(ProfileExportBdf, &QPushButton::clicked, this, [this] {
        FForm.RunGuarded([this] {
            if (const auto path = AskFileToSave(this,
                    { QStringLiteral("Export to BDF"), QStringLiteral("profile.csv"),
                        QStringLiteral("Battery Data Format (*.csv)"), {} }))
                ExportBdf(*path);
        });
    });
    connect(ProfileAnalysis, &QPushButton::clicked, this,
        [this] { FForm.RunGuarded([this] { ShowAnalysis(); }); });
    connect(ProfileReport, &QPushButton::clicked, this, [this] {
        FForm.RunGuarded([this] {
            if (const auto path = AskFileToSave(this,
                    { QStringLiteral("Run report"), QStringLiteral("profile.pdf"),
                        QStringLiteral("PDF (*.pdf)"), {} }))
                SaveReport(*path);
        });
    });
    TextChanged();
    FitAxes();
}

ProfileWindow::~ProfileWindow() = default;

// ---- the editor

void ProfileWindow::TextChanged()
{
    QList<QTextEdit::ExtraSelection> marks;
    try {
        ReadProfile(ProfileEditor->toPlainText().toUtf8());
        FReadable = true;
        ProfileError->clear();
    } catch (const EProfile& error) {
        FReadable = false;
        ProfileError->setText(QString::fromUtf8(error.what()));
        const QTextBlock block = ProfileEditor->document()->findBlockByNumber(error.line() - 1);
        if (error.line() > 0 && block.isValid()) {
            QTextEdit::ExtraSelection mark;
            mark.format.setBackground(QColor(255, 224, 224));
            mark.format.setUnderlineStyle(QTextCharFormat::WaveUnderline);
            mark.format.setUnderlineColor(Qt::red);
            mark.format.setProperty(QTextFormat::FullWidthSelection, true);
            mark.cursor = QTextCursor(block);
            mark.cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
            marks.append(mark);
        }
    }
    ProfileEditor->setExtraSelections(marks);
    ShowState();
}

bool ProfileWindow::OpenFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        FForm.MessageBoxes().ShowMessage(
            this, QStringLiteral("The profile %1 cannot be read: %2").arg(path, file.errorString()));
        return false;
    }
    ProfileEditor->setPlainText(QString::fromUtf8(file.readAll()));
    ProfileEditor->document()->setModified(false);
    return true;
}

bool ProfileWindow::SaveFile(const QString& path)
{
    QByteArray text = ProfileEditor->toPlainText().toUtf8();
    // The other form when the file's name asks for it; the operator's own text (with its
    // comments) otherwise, and always when it does not read.
    const bool json = QFileInfo(path).suffix().compare(QLatin1String("json"), Qt::CaseInsensitive) == 0;
    const bool isJson = text.trimmed().startsWith('{');
    if (FReadable && json != isJson)
        text = json ? WriteProfileJson(ReadProfile(text)) : WriteProfileText(ReadProfile(text));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        FForm.MessageBoxes().ShowMessage(
            this, QStringLiteral("The profile was not saved to %1: %2").arg(path, file.errorString()));
        return false;
    }
    ProfileEditor->document()->setModified(false);
    ShowStatus(QStringLiteral("Profile saved to %1").arg(path));
    return true;
}

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
