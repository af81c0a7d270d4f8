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
