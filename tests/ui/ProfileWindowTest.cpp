// The Battery menu's windows: the battery run written as Battery Data Format from the
// grid, and the analysis view of a run with earlier runs drawn over it.
#include "WindowFixture.h"

#include "store/BdfExport.h"
#include "store/ResultsQuery.h"
#include "ui/AnalysisView.h"

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
#include <QSpinBox>
#include <QTableView>

namespace {

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

TEST_F(BatteryMenu, AnalysisViewDrawsTheRunWithTheEarlierRunsTicked)
{
    // From the Battery menu, nothing to analyse yet: a message, no window.
    EXPECT_EQ(form->ShowBatteryAnalysis(), nullptr);
    EXPECT_EQ(boxes->messages, QStringList { "The battery grid holds no readings to analyse." });

    AnalysisRun run { QStringLiteral("2026-12-10T10:00:00.000Z"), QStringLiteral("bench-1"),
        QDateTime(QDate(2026, 12, 10), QTime(10, 0), Qt::UTC), QStringLiteral("Discharge at 1 A until 3.0 V"),
        Cell(100000) };
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
