// The Battery menu's windows: the Profile window (its editor, and a short profile run on
// the simulator through the window's own timers), the battery run written as Battery
// Data Format from the grid, and the analysis view of a run with earlier runs drawn over
// it.
#include "WindowFixture.h"

#include "sim/BatteryCell.h"
#include "store/BdfExport.h"
#include "store/ResultsQuery.h"
#include "ui/AnalysisView.h"
#include "ui/ProfileWindow.h"
#include "workflows/Profile.h"
#include "workflows/ProfileRun.h"

#include <QAction>
#include <QChart>
#include <QChartView>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScatterSeries>
#include <QSpinBox>
#include <QTableView>
#include <QTableWidget>
#include <QTextBlock>
#include <QTextDocument>

namespace {

// What pdftotext reads in a PDF file.
QString PdfText(const QString& path)
{
    QProcess text;
    text.start(QStringLiteral("pdftotext"), { "-layout", path, "-" });
    EXPECT_TRUE(text.waitForFinished(30000));
    return QString::fromUtf8(text.readAllStandardOutput());
}

// A discharge of `readings` readings a second apart at 1 A, falling linearly from 4.2 V
// to 3.0 V, with a plateau at 3.7 V over its middle third.
std::vector<AnalysisPoint> Cell(int readings)
{
    std::vector<AnalysisPoint> points;
    for (int i = 0; i < readings; ++i) {
        const double share = double(i) / (readings - 1);
        const double v = share < 1.0 / 3 ? 4.2 - 1.5 * share
            : share < 2.0 / 3            ? 3.7 - 0.03 * (share - 1.0 / 3)
                                         : 3.69 - 2.07 * (share - 2.0 / 3);
        points.push_back({ double(i), v, 1.0, i / 3600.0 });
    }
    return points;
}

QAction* EntryNamed(QWidget* owner, const QString& text)
{
    for (QAction* action : owner->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

QAction* MenuEntry(TForm1& form, const char* name)
{
    return form.menuBar()->findChild<QAction*>(QString::fromLatin1(name));
}

// The named controls of `window` the operator sees without a tooltip.
QStringList Untipped(QWidget& window)
{
    QStringList without;
    for (QWidget* w : window.findChildren<QWidget*>()) {
        const QString name = w->objectName();
        if (!name.isEmpty() && !name.startsWith(QLatin1String("qt_")) && w->isVisible()
            && w->toolTip().isEmpty())
            without << name;
    }
    return without;
}

using BatteryMenu = WindowTest;

TEST_F(BatteryMenu, TheEditorMarksTheLineThatIsNoStepAndRunWaitsForItsCorrection)
{
    form->menuBar()->findChild<QAction*>(QStringLiteral("ProfileMenu"))->trigger();
    ProfileWindow* w = form->Profile();
    ASSERT_TRUE(w->isVisible());
    EXPECT_TRUE(Untipped(*w).isEmpty()) << Untipped(*w).join(u' ').toStdString();
    const struct
    {
        const char* text;
        int line;
    } cases[] = {
        { "Discharge at 2 A until 3.0 V\nDischarge at fast\n", 2 },
        { "# a zero says nothing\n\nRest for 0 s\n", 3 },
        { "Rest for 10 s\nHold 3.6 V until 3.0 V\n", 2 },
        { "{\n  \"steps\": [\n    { \"kind\": \"rest\", \"until\": { \"secs\": 5 } }\n  ]\n}\n", 3 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        w->ProfileEditor->setPlainText(QString::fromUtf8(c.text));
        EXPECT_FALSE(w->ProfileRunButton->isEnabled());
        EXPECT_TRUE(w->ProfileRunButton->toolTip().startsWith(QStringLiteral("The profile has an error")));
        EXPECT_TRUE(w->ProfileError->text().startsWith(QStringLiteral("Line %1: expected ").arg(c.line)))
            << w->ProfileError->text().toStdString();
        const auto marks = w->ProfileEditor->extraSelections();
        ASSERT_EQ(marks.size(), 1);
        EXPECT_EQ(marks[0].cursor.block().blockNumber(), c.line - 1);
    }
    w->ProfileEditor->setPlainText(QStringLiteral("Discharge at 2 A until 3.0 V\nRest for 10 s\n"));
    EXPECT_TRUE(w->ProfileRunButton->isEnabled());
    EXPECT_TRUE(w->ProfileError->text().isEmpty());
    EXPECT_TRUE(w->ProfileEditor->extraSelections().isEmpty());
    // Without a port the run is refused the way the window's other actions are.
    w->ProfileRunButton->click();
    EXPECT_EQ(boxes->messages, QStringList { "Connect to the instrument first." });
    EXPECT_EQ(w->Run(), nullptr);
}

// A short profile on the simulator's cell through the window's own timers: the steps
// advance, the Ah grow, the readings reach the chart and the measurement its table; the
// close question guards the running input; afterwards the run goes to BDF and analysis.
TEST_F(BatteryMenu, AProfileRunShowsItsStepsChargeReadingsAndMeasurements)
{
    SimOptions options;
    const CellVolts volts = ChemistryVolts(CellChemistry::LiIon);
    options.batteryChemistry = CellChemistry::LiIon;
    options.batteryFullVolts = volts.full;
    options.batteryEmptyVolts = volts.empty;
    options.batteryCapacityAh = 0.25;
    options.batteryInternalOhm = 0.05;
    options.cellInEveryMode = true;
    options.timeScale = 50;
    ConnectTo(options);
    ProfileWindow* w = form->Profile();
    w->show();
    // A pulse above the discharge it follows reads the resistance; one below it cannot.
    w->ProfileEditor->setPlainText(QStringLiteral("Discharge at 2 A for 2 s\n"
                                                  "Measure resistance with a 3 A pulse for 0.5 s\n"
                                                  "Discharge at 2 A for 1 s\n"
                                                  "Measure resistance with a 1 A pulse for 0.5 s\n"
                                                  "Rest for 1 s\n"));
    w->ProfileRunButton->click();
    ASSERT_NE(w->Run(), nullptr) << boxes->messages.join(u'\n').toStdString();
    w->Run()->SetPollMs(100);
    EXPECT_FALSE(w->ProfileRunButton->isEnabled());
    EXPECT_TRUE(w->ProfileStopButton->isEnabled());
    EXPECT_FALSE(w->ProfileExportBdf->isEnabled());

    ASSERT_TRUE(WaitUntil([&] { return w->ProfileVoltage->count() >= 3; }))
        << w->ProfileStatus->text().toStdString();
    EXPECT_TRUE(w->ProfileStep->text().startsWith(QStringLiteral("1 (line 1): Discharge at 2 A")))
        << w->ProfileStep->text().toStdString();
    EXPECT_EQ(w->ProfileEnd->text(), QStringLiteral("for 2 s"));
    const double early = w->ProfileAh->text().section(u' ', 0, 0).toDouble();
    EXPECT_GT(early, 0.0);
    // The runner holds the input: closing the main window asks first; "Cancel" keeps it.
    boxes->answers = { QStringLiteral("Cancel") };
    form->close();
    ASSERT_EQ(boxes->questions.size(), 1);
    EXPECT_TRUE(boxes->questions[0].startsWith(QStringLiteral("The load's input is on.")));
    EXPECT_TRUE(form->isVisible());

    ASSERT_TRUE(WaitUntil([&] { return w->ProfileStep->text().startsWith(QStringLiteral("2 (line 2)")); }))
        << w->ProfileStep->text().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return w->ProfileStep->text().startsWith(QStringLiteral("5 (line 5)")); }))
        << w->ProfileStep->text().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return !w->Run()->Running(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(w->ProfileStatus->text().startsWith(QStringLiteral("Profile finished")))
        << w->ProfileStatus->text().toStdString();
    EXPECT_GT(w->ProfileAh->text().section(u' ', 0, 0).toDouble(), early);
    EXPECT_EQ(w->ProfileVoltage->count(), static_cast<int>(w->Run()->Samples().size()));
    EXPECT_EQ(w->ProfileVoltage->points().last().y(), w->Run()->Samples().back().voltage);
    // Every reading and measurement is stored under the run's label.
    const std::vector<QStringList> stored = StoredRows(QStringLiteral("profile"));
    ASSERT_EQ(stored.size(), w->Run()->Samples().size());
    EXPECT_EQ(stored.front().first(), w->Run()->RunLabel());
    EXPECT_EQ(StoredRows(QStringLiteral("resistance")).size(), 2u);
    // The good measurement on the chart's resistance axis, the failed one marked with its reason.
    const std::vector<ResistanceMeasurement>& measured = w->Run()->Resistances();
    ASSERT_EQ(measured.size(), 2u);
    ASSERT_EQ(w->ProfileResistances->rowCount(), 2);
    ASSERT_TRUE(measured[0].milliOhm.has_value()) << measured[0].failure.toStdString();
    EXPECT_EQ(w->ProfileResistances->item(0, 6)->text(), QStringLiteral("good"));
    ASSERT_EQ(w->ProfileResistance->count(), 1);
    EXPECT_EQ(w->ProfileResistance->at(0).y(), *measured[0].milliOhm);
    ASSERT_FALSE(measured[1].milliOhm.has_value());
    EXPECT_FALSE(measured[1].failure.isEmpty());
    EXPECT_EQ(w->ProfileResistances->item(1, 6)->text(), QStringLiteral("failed: ") + measured[1].failure);
    EXPECT_EQ(w->ProfileResistances->item(1, 5)->text(), QStringLiteral("—"));
    EXPECT_TRUE(w->ProfileRunButton->isEnabled());
    EXPECT_FALSE(w->ProfileStopButton->isEnabled());

    // After the run: its readings as BDF, and its analysis.
    const QString path = QDir::current().filePath(QStringLiteral("profile.csv"));
    EXPECT_TRUE(w->ProfileExportBdf->isEnabled());
    EXPECT_TRUE(w->ExportBdf(path));
    EXPECT_TRUE(QFile::exists(BdfMetadataPath(path)));
    const QString report = QDir::current().filePath(QStringLiteral("profile.pdf"));
    EXPECT_TRUE(w->SaveReport(report)) << boxes->messages.join(u'\n').toStdString();
    EXPECT_TRUE(PdfText(report).contains(QStringLiteral("failed"))) << "the failed measurement's row";
    AnalysisView* view = w->ShowAnalysis();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->Run().points.size(), w->Run()->Samples().size());
    view->close();

    const size_t firstReadings = w->Run()->Samples().size();
    const QString firstLabel = w->Run()->RunLabel();

    // A second run stopped by the operator: the input goes off.
    w->ProfileEditor->setPlainText(QStringLiteral("Discharge at 1 A for 1 hour\n"));
    w->ProfileRunButton->click();
    ASSERT_TRUE(WaitUntil([&] { return w->ProfileVoltage->count() >= 1; }));
    w->ProfileStopButton->click();
    ASSERT_TRUE(WaitUntil([&] { return !w->Run()->Running(); }));
    EXPECT_TRUE(WaitForLastLine(QStringLiteral("load off")) || WireLines(*host).contains("load off"));
    EXPECT_EQ(w->ProfileResistances->rowCount(), 0);

    // Its analysis offers the first run from the store, read when ticked.
    AnalysisView* compared = w->ShowAnalysis();
    ASSERT_NE(compared, nullptr);
    ASSERT_EQ(compared->AnalysisEarlierRuns->count(), 1);
    compared->AnalysisEarlierRuns->item(0)->setCheckState(Qt::Checked);
    ASSERT_EQ(compared->Drawn().size(), 2u);
    EXPECT_EQ(compared->Drawn()[1]->label, firstLabel);
    EXPECT_EQ(compared->Drawn()[1]->points.size(), firstReadings);
    compared->close();
}

TEST_F(BatteryMenu, ProfilesAreSavedInTheFormTheFileNameAsksForAndOpenedBack)
{
    ProfileWindow* w = form->Profile();
    const QString text = QStringLiteral("# capacity check\nDischarge at 2 A until 3.0 V\n");
    const struct
    {
        const char* file;
        bool json;
    } cases[] = { { "check.txt", false }, { "check.json", true } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        w->ProfileEditor->setPlainText(text);
        const QString path = QDir::current().filePath(QString::fromLatin1(c.file));
        ASSERT_TRUE(w->SaveFile(path));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray saved = file.readAll();
        EXPECT_EQ(saved.trimmed().startsWith('{'), c.json);
        if (!c.json) {
            EXPECT_EQ(saved, text.toUtf8()); // the operator's own text, comment and all
        }
        EXPECT_EQ(ReadProfile(saved), ReadProfile(text.toUtf8()));
        w->ProfileEditor->clear();
        ASSERT_TRUE(w->OpenFile(path));
        EXPECT_TRUE(w->Readable());
        EXPECT_FALSE(w->ProfileEditor->document()->isModified());
    }
    const QString missing = QDir::current().filePath(QStringLiteral("missing/check.txt"));
    EXPECT_FALSE(w->SaveFile(missing));
    EXPECT_FALSE(w->OpenFile(missing));
    ASSERT_EQ(boxes->messages.size(), 2);
    for (const QString& message : boxes->messages)
        EXPECT_TRUE(message.contains(missing)) << message.toStdString();
}

TEST_F(BatteryMenu, TheProfileInTheEditorIsThereAtTheNextStart)
{
    const QString text = QStringLiteral("Rest for 5 s  # never saved to a file\n");
    form->RememberSettings();
    form->Profile()->ProfileEditor->setPlainText(text);
    ASSERT_TRUE(form->close());
    Restart();
    form->RememberSettings();
    EXPECT_EQ(form->Profile()->ProfileEditor->toPlainText(), text);
}

TEST_F(BatteryMenu, BatteryGridExportsToBdfWithItsSidecarOrSaysWhyNot)
{
    // The grid's context menu and the Battery menu hold the same export.
    ASSERT_NE(EntryNamed(form->DBGrid2, QStringLiteral("Export to BDF…")), nullptr);
    ASSERT_NE(MenuEntry(*form, "ExportBatteryBdfMenu"), nullptr);
    const QString emptyPath = QDir::current().filePath(QStringLiteral("empty.csv"));
    EXPECT_FALSE(form->ExportBatteryBdf(emptyPath));
    EXPECT_EQ(
        boxes->messages, QStringList { emptyPath + " was not written: the battery grid holds no readings." });
    EXPECT_FALSE(QFile::exists(emptyPath));
    boxes->Clear();

    const QString when = MeasurementTimestamp(QDateTime::currentDateTime());
    for (const auto& [v, i, t, c] :
        { std::tuple { "12.60", "2.000", "0", "0.000" }, std::tuple { "12.41", "2.000", "60", "0.033" },
            std::tuple { "12.20", "2.000", "120", "0.067" } })
        form->ADOQuery2->Insert({ v, i, t, c, when });

    const struct
    {
        const char* name;
        QString path;
        bool written;
    } cases[] = {
        { "a writable folder", QDir::current().filePath(QStringLiteral("run.csv")), true },
        { "a folder that is not there", QDir::current().filePath(QStringLiteral("missing/run.csv")), false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes->Clear();
        EXPECT_EQ(form->ExportBatteryBdf(c.path), c.written);
        EXPECT_EQ(QFile::exists(c.path), c.written);
        EXPECT_EQ(QFile::exists(BdfMetadataPath(c.path)), c.written);
        if (!c.written) {
            ASSERT_EQ(boxes->messages.size(), 1);
            EXPECT_TRUE(boxes->messages[0].contains(c.path)) << boxes->messages[0].toStdString();
            continue;
        }
        EXPECT_TRUE(boxes->messages.isEmpty()) << boxes->messages.join(u'\n').toStdString();
        QFile csv(c.path);
        ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().split('\n');
        ASSERT_EQ(lines.size(), 5); // header, three readings, the empty rest after the last CRLF
        EXPECT_TRUE(lines[0].startsWith("Test Time / s,Voltage / V,Current / A"));
        EXPECT_TRUE(lines[2].startsWith("60,12.41,-2,")) << lines[2].toStdString();
        QFile sidecar(BdfMetadataPath(c.path));
        ASSERT_TRUE(sidecar.open(QIODevice::ReadOnly));
        EXPECT_FALSE(QJsonDocument::fromJson(sidecar.readAll()).isNull());
        EXPECT_TRUE(form->StatusNote->text().contains(c.path));
    }
}

// The battery run's report from the Battery menu: a PDF with the run's figures, or a
// message naming the file.
TEST_F(BatteryMenu, BatteryRunReportIsAPdfOrSaysWhyNot)
{
    ASSERT_NE(MenuEntry(*form, "BatteryReportMenu"), nullptr);
    const QString when = MeasurementTimestamp(QDateTime::currentDateTime());
    const struct
    {
        const char* name;
        int readings;
        QString path;
        QString said; // in the message; empty when written
    } cases[] = {
        { "no readings", 0, QDir::current().filePath(QStringLiteral("empty.pdf")),
            "the battery grid holds no readings" },
        { "a folder that is not there", 3, QDir::current().filePath(QStringLiteral("missing/run.pdf")),
            "missing/run.pdf" },
        { "a writable folder", 3, QDir::current().filePath(QStringLiteral("run.pdf")), {} },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes->Clear();
        while (form->ADOQuery2->Model()->rowCount() < c.readings) {
            const int n = form->ADOQuery2->Model()->rowCount();
            form->ADOQuery2->Insert({ QString::number(12.6 - 0.2 * n, 'f', 2), "2.000",
                QString::number(60 * n), QString::number(n / 30.0, 'f', 3), when });
        }
        EXPECT_EQ(form->SaveBatteryReport(c.path), c.said.isEmpty());
        EXPECT_EQ(QFile::exists(c.path), c.said.isEmpty());
        if (!c.said.isEmpty()) {
            ASSERT_EQ(boxes->messages.size(), 1);
            EXPECT_TRUE(boxes->messages[0].contains(c.said)) << boxes->messages[0].toStdString();
            continue;
        }
        const QString text = PdfText(c.path);
        EXPECT_TRUE(text.contains(QStringLiteral("12.2"))) << text.toStdString();
    }
}

TEST_F(BatteryMenu, AnalysisViewDrawsTheRunWithTheEarlierRunsTicked)
{
    // From the Battery menu, nothing to analyse yet: a message, no window.
    EXPECT_EQ(form->ShowBatteryAnalysis(), nullptr);
    EXPECT_EQ(boxes->messages, QStringList { "The battery grid holds no readings to analyse." });

    AnalysisRun run { QStringLiteral("2026-12-10T10:00:00.000Z"), QStringLiteral("bench-1"),
        QDateTime(QDate(2026, 12, 10), QTime(10, 0), Qt::UTC), QStringLiteral("Discharge at 1 A until 3.0 V"),
        Cell(100000), {} };
    const auto earlier = [&] {
        AnalysisRun older = run;
        older.label = QStringLiteral("2026-12-01T09:00:00.000Z");
        older.started = older.started.addDays(-9);
        older.points = Cell(500);
        // The store lists the run itself too: it is not offered against itself.
        return std::vector<AnalysisRun> { older, run };
    };
    auto* view = new AnalysisView(run, earlier, form.get());
    view->show();
    EXPECT_TRUE(Untipped(*view).isEmpty()) << Untipped(*view).join(u' ').toStdString();
    QListWidget* list = view->AnalysisEarlierRuns;
    ASSERT_EQ(list->count(), 1);
    EXPECT_TRUE(list->item(0)->text().startsWith(QStringLiteral("bench-1, ")));
    EXPECT_TRUE(list->item(0)->text().endsWith(QStringLiteral("Discharge at 1 A until 3.0 V")));

    const auto curves = [](QChartView* chart) { return chart->chart()->series(); };
    ASSERT_EQ(curves(view->AnalysisCapacityChart).size(), 1);
    // A hundred thousand readings are drawn thinned, the envelope kept.
    const auto* vq = static_cast<QLineSeries*>(curves(view->AnalysisCapacityChart)[0]);
    EXPECT_LE(vq->count(), 4000);
    EXPECT_GT(vq->count(), 1000);
    // The plateau at 3.7 V is dQ/dV's peak.
    const auto* ica = static_cast<QLineSeries*>(curves(view->AnalysisIcaChart)[0]);
    const QList<QPointF> icaPoints = ica->points();
    const QPointF peak = *std::max_element(
        icaPoints.begin(), icaPoints.end(), [](const QPointF& a, const QPointF& b) { return a.y() < b.y(); });
    EXPECT_NEAR(peak.x(), 3.695, 0.02);

    list->item(0)->setCheckState(Qt::Checked);
    EXPECT_EQ(view->Drawn().size(), 2u);
    EXPECT_EQ(curves(view->AnalysisCapacityChart).size(), 2);
    EXPECT_EQ(curves(view->AnalysisIcaChart).size(), 2);
    // A wider smoothing flattens the peak; the curves stay.
    const double sharp = peak.y();
    view->AnalysisSmoothing->setValue(200);
    const auto* smoothed = static_cast<QLineSeries*>(curves(view->AnalysisIcaChart)[0]);
    const QList<QPointF> smoothedPoints = smoothed->points();
    double highest = 0;
    for (const QPointF& p : smoothedPoints)
        highest = std::max(highest, p.y());
    EXPECT_LT(highest, sharp);
    EXPECT_EQ(curves(view->AnalysisIcaChart).size(), 2);
    view->close();
}

} // namespace
