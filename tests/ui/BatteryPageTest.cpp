// The battery discharge test in the window: "Set up", start and stop, and what each
// reading leaves in the grid, the database and the chart.
#include "WindowFixture.h"

#include "store/ResultsQuery.h"
#include "ui/GridExport.h"

#include <QAction>
#include <QChartView>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTimer>
#include <QValueAxis>
#include <algorithm>

namespace {

const QString kModeBat = QStringLiteral("load:mode bat");

class BatteryTest : public WithPortTest
{
protected:
    // The pipeline already holds a command that "Set up" must drop.
    void PrepareSetUp(const QString& cutOff, const QString& current, double voltageMax, double currentMax)
    {
        form->BOffV->setText(cutOff);
        form->BChargeI->setText(current);
        Session().Maxima().voltage = voltageMax;
        Session().Maxima().current = currentMax;
        Session().QueueCommand(QStringLiteral("fetch?"), ReplyCode::Measurement);
    }

    // Set up and one start, as the operator does it: the first click only stops.
    void StartRun(const QString& period = QStringLiteral("2"))
    {
        PrepareSetUp(QStringLiteral("8"), QStringLiteral("0.3"), 20, 5);
        form->BSetButton->click();
        form->testInteral->setText(period);
        form->startButtonB->click();
        form->startButtonB->click();
        ASSERT_EQ(form->startButtonB->text(), u"Stop");
    }

    // A reading in the instrument's battery layout, through the measurement handling.
    void Reading(const QString& voltage, int seconds, const QString& capacity = QStringLiteral("0.010"))
    {
        Session().SetMode(TestMode::Battery);
        Guarded([&] {
            Session().HandleMeasurement(voltage + QStringLiteral(" V,0.300 A,") + QString::number(seconds)
                + QStringLiteral("s,") + capacity + QStringLiteral("Ah"));
        });
    }
};

TEST_F(BatteryTest, SetUpReplacesTheQueueThenSendsWhatItAccepts)
{
    const struct
    {
        const char* name;
        QString cutOff, current;
        double voltageMax, currentMax;
        QStringList queued;
        QStringList messages; // prefix of each message
        bool startEnabled;
        double leftAxisMax;
    } cases[] = {
        { "both accepted", "8", "0.3", 20, 5, { kModeBat, kModeBat, kModeBat, "bat:vmin 8", "bat:curr 0.3" },
            {}, true, 20 },
        { "values as typed", "08.50", "1.", 20, 5,
            { kModeBat, kModeBat, kModeBat, "bat:vmin 08.50", "bat:curr 1." }, {}, true, 20 },
        { "cut-off above maximum", "8", "0.3", 5, 5, { kModeBat, kModeBat, kModeBat, "bat:curr 0.3" },
            { "Cut Off Voltage: the input value 8.000 exceeds" }, false, 5 },
        { "current above maximum", "8", "6", 20, 5, { kModeBat, kModeBat, kModeBat, "bat:vmin 8" },
            { "Discharge Current: the input value 6.000 exceeds" }, false, 1.0 },
        { "both refused", "30", "6", 20, 5, { kModeBat, kModeBat, kModeBat },
            { "Cut Off Voltage: the input", "Discharge Current: the input" }, false, 1.0 },
        { "empty cut-off", "", "0.3", 20, 5, { kModeBat, kModeBat, kModeBat },
            { "Cut Off Voltage: input data cannot be empty!" }, false, 1.0 },
        { "empty current", "8", "", 20, 5, { kModeBat, kModeBat, kModeBat, "bat:vmin 8" },
            { "Discharge Current: input data cannot be empty!" }, false, 1.0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        PrepareSetUp(c.cutOff, c.current, c.voltageMax, c.currentMax);
        form->LeftAxis->setRange(0, 1.0);

        form->BSetButton->click();

        EXPECT_EQ(pauses, std::vector<int> { 1000 });
        ASSERT_EQ(pendingAtPause.size(), 1u);
        EXPECT_EQ(pendingAtPause[0], QStringList { "fetch?" })
            << "the pause comes before the queue is replaced";
        EXPECT_EQ(PendingTexts(*form), c.queued);
        ASSERT_EQ(boxes->messages.size(), c.messages.size()) << boxes->messages.join(u'\n').toStdString();
        for (qsizetype i = 0; i < c.messages.size(); ++i)
            EXPECT_TRUE(boxes->messages[i].startsWith(c.messages[i])) << boxes->messages[i].toStdString();
        EXPECT_EQ(form->startButtonB->isEnabled(), c.startEnabled);
        EXPECT_DOUBLE_EQ(form->LeftAxis->max(), c.leftAxisMax);
    }
}

TEST_F(BatteryTest, FirstClickOnStartOnlyStopsThenStartAndStopSwitchPolling)
{
    PrepareSetUp(QStringLiteral("8"), QStringLiteral("0.3"), 20, 5);
    form->BSetButton->click();
    ASSERT_EQ(form->startButtonB->text(), u"Start");
    form->startButtonB->click();
    EXPECT_EQ(PendingTexts(*form).first(), u"load off") << "ahead of everything";
    EXPECT_EQ(form->startButtonB->text(), u"Begin");
    EXPECT_FALSE(form->fetchTimer->isActive());

    form->testInteral->setText(QStringLiteral("2"));
    form->startButtonB->click();
    EXPECT_EQ(PendingTexts(*form).last(), u"load on");
    EXPECT_EQ(form->startButtonB->text(), u"Stop");
    EXPECT_FALSE(form->BSetButton->isEnabled());
    EXPECT_TRUE(form->fetchTimer->isActive());
    EXPECT_EQ(form->fetchTimer->interval(), 2000);
    EXPECT_EQ(form->Chart().WindowSeconds(), 80);
    EXPECT_EQ(form->BottomAxis->min(), 0);
    EXPECT_EQ(form->BottomAxis->max(), 80);

    Reading(QStringLiteral("12.10"), 2);
    form->startButtonB->click();
    EXPECT_EQ(PendingTexts(*form).first(), u"load off");
    EXPECT_EQ(form->startButtonB->text(), u"Begin");
    EXPECT_TRUE(form->BSetButton->isEnabled());
    EXPECT_FALSE(form->fetchTimer->isActive());
    EXPECT_EQ(form->fetchTimer->interval(), 300);
    EXPECT_EQ(form->Series1->count(), 0) << "stopping empties the chart";
    EXPECT_EQ(form->ADOQuery2->RowCount(), 1) << "but the rows stay";
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
}

TEST_F(BatteryTest, TestPeriodThatIsNoWholeNumberOfSecondsIsRefusedBeforeTheLoadGoesOn)
{
    for (const char* period : { "", "2.5", ".", "0", "-1", "2.", "99999999" }) {
        SCOPED_TRACE(period);
        Restart();
        Session().SetRun(Activity::Battery, RunState::Idle);
        Session().SetArmed(Activity::Battery, true);
        form->testInteral->setText(QString::fromLatin1(period));
        const int windowBefore = form->Chart().WindowSeconds();

        form->startButtonB->click();

        EXPECT_FALSE(PendingTexts(*form).contains(QStringLiteral("load on")));
        EXPECT_EQ(form->startButtonB->text(), u"Begin");
        EXPECT_FALSE(form->fetchTimer->isActive());
        EXPECT_EQ(form->fetchTimer->interval(), 300);
        EXPECT_EQ(form->Chart().WindowSeconds(), windowBefore);
        EXPECT_EQ(boxes->messages,
            QStringList { "Test Period: input data must be a whole number of seconds from 1 to 86400!" });
        EXPECT_TRUE(boxes->errors.isEmpty());
    }
}

TEST_F(BatteryTest, ReadingsBelowTheCutOffAreRecordedAtTheCutOff)
{
    StartRun();
    const struct
    {
        QString measured;
        QString stored;
        double charted;
    } cases[] = {
        { "8.500", "8.500", 8.5 },
        { "8.000", "8.000", 8.0 }, // equal: recorded as measured
        { "7.950", "8", 8.0 }, // below: the cut-off text exactly as typed
        { "0.012", "8", 8.0 },
    };
    int t = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.measured.toStdString());
        t += 2;
        Reading(c.measured, t, QStringLiteral("1.250"));
        const QAbstractItemModel& model = *form->ADOQuery2->Model();
        const QStringList row = Row(model, model.rowCount() - 1);
        ASSERT_EQ(row.size(), 6);
        EXPECT_EQ(row.mid(1, 4), (QStringList { c.stored, "0.300", QString::number(t), "1.250" }));
        EXPECT_FALSE(row[5].isEmpty()) << "measurement time";
        EXPECT_EQ(form->LabelBV->text(), c.measured + u'V');
        EXPECT_EQ(form->LabelBElapsed->text(), QStringLiteral("0:00:%1").arg(t, 2, 10, QLatin1Char('0')));
        EXPECT_EQ(form->Chart().Points().back(), QPointF(t, c.charted));
        EXPECT_EQ(form->Series1->points().last(), QPointF(t, c.charted));
        EXPECT_EQ(form->DBGrid2->currentIndex().row(), model.rowCount() - 1) << "the newest row is selected";
    }
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
    const QImage marker = form->Series1->lightMarker();
    EXPECT_EQ(marker.pixelColor(marker.rect().center()), QColor(224, 104, 3)) << "the points' colour";
    EXPECT_EQ(form->Series1->color(), QColor(Qt::red)) << "the line's colour";

    // Every row is committed as it arrives: another reader of the file sees all four.
    const std::vector<QStringList> stored = StoredRows(QStringLiteral("battery"));
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored[2].mid(0, 4), (QStringList { "8", "0.300", "6", "1.250" }));
}

TEST_F(BatteryTest, AxisScrollsOnceTheRunOutlastsTheChartWindow)
{
    StartRun(QStringLiteral("2"));
    for (int t = 0; t <= 80; t += 2)
        Reading(QStringLiteral("12.00"), t);
    EXPECT_EQ(form->BottomAxis->min(), 0);
    EXPECT_EQ(form->BottomAxis->max(), 80);

    Reading(QStringLiteral("11.99"), 81);
    EXPECT_EQ(form->BottomAxis->min(), 1);
    EXPECT_EQ(form->BottomAxis->max(), 81);

    for (int t = 82; t <= 2000; t += 2)
        Reading(QStringLiteral("11.50"), t);
    EXPECT_EQ(form->BottomAxis->min(), 2000 - 80);
    EXPECT_EQ(form->BottomAxis->max(), 2000);
    EXPECT_EQ(form->Chart().Points().size(), 1002u) << "the chart keeps every point";
    // The series holds only what the window shows (1920 to 2000 in steps of 2).
    const QList<QPointF> shown = form->Series1->points();
    ASSERT_EQ(shown.size(), 41);
    EXPECT_EQ(shown.first(), QPointF(1920, 11.5));
    EXPECT_EQ(shown.last(), QPointF(2000, 11.5));
    EXPECT_EQ(form->ADOQuery2->RowCount(), 1002);
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
}

TEST_F(BatteryTest, AnUnreadableReadingAddsNoPointARefusedOneIsShownAndKept)
{
    StartRun();
    Reading(QStringLiteral("12.00"), 2);
    ASSERT_EQ(form->Series1->count(), 1);

    // A time that is no whole number: nothing of the reading is kept.
    Session().SetMode(TestMode::Battery);
    Guarded([&] { Session().HandleMeasurement(QStringLiteral("11.90 V,0.300 A,4.5s,0.020Ah")); });
    EXPECT_EQ(boxes->errors.size(), 1);
    EXPECT_EQ(form->Chart().Points().back().x(), 2);

    // The database refuses the row (its table dropped by another program): the reading is
    // shown all the same, the error told, and the status line says it waits and why.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("saboteur"));
        db.setDatabaseName(QStringLiteral("db.sqlite"));
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(QSqlQuery(db).exec(QStringLiteral("drop table battery")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("saboteur"));
    Reading(QStringLiteral("11.80"), 6);
    EXPECT_EQ(boxes->errors.size(), 2);
    EXPECT_EQ(form->Chart().Points().size(), 2u);
    EXPECT_EQ(form->ADOQuery2->RowCount(), 2);
    EXPECT_TRUE(form->StatusStore->text().startsWith(u"1 readings not stored: ")
        && form->StatusStore->text().contains(u"no such table"))
        << form->StatusStore->text().toStdString();
}

QByteArray FileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Each grid's file is what the grid shows: its columns in its order under its titles, and
// beside the list's verdict digit the verdict in words.
TEST_F(BatteryTest, GridsExportWhatTheyShowAsCsv)
{
    // The battery grid also writes its run as Battery Data Format.
    const std::pair<QTableView*, QStringList> menus[] = { { form->DBGrid1, { "Export to CSV…" } },
        { form->DBGrid2, { "Export to CSV…", "Export to BDF…" } } };
    for (const auto& [grid, entries] : menus) {
        QStringList texts;
        for (const QAction* action : grid->actions())
            texts << action->text();
        EXPECT_EQ(texts, entries);
        EXPECT_EQ(grid->contextMenuPolicy(), Qt::ActionsContextMenu);
    }
    StartRun();
    Reading(QStringLiteral("12.00"), 2, QStringLiteral("0.001"));
    Reading(QStringLiteral("11.90"), 4, QStringLiteral("0.002"));
    for (const char* verdict : { "1", "2", "0" })
        form->ADOQuery1->Insert({ "3", "CC", "0.2", "12.000", "0.200", "0.1", "0.3", "14:07:09", verdict });

    const std::pair<QTableView*, QByteArray> cases[] = {
        { form->DBGrid2,
            "#,Input Voltage,Input Current,Capacity,Discharge Time\r\n"
            "1,12.00,0.300,0.001,2\r\n"
            "2,11.90,0.300,0.002,4\r\n" },
        { form->DBGrid1,
            "Step,Voltage,Current,Time,Result,Verdict\r\n"
            "3,12.000,0.200,14:07:09,1,PASS\r\n"
            "3,12.000,0.200,14:07:09,2,FAIL\r\n"
            "3,12.000,0.200,14:07:09,0,\r\n" },
    };
    for (const auto& [grid, csv] : cases) {
        SCOPED_TRACE(grid->objectName().toStdString());
        ASSERT_TRUE(ExportGridCsv(grid, QStringLiteral("grid.csv"), *boxes));
        EXPECT_EQ(FileBytes(QStringLiteral("grid.csv")), csv);
    }
    EXPECT_TRUE(boxes->messages.isEmpty());

    // A place that cannot be written: the operator is told, nothing is thrown.
    EXPECT_FALSE(ExportGridCsv(form->DBGrid2, QStringLiteral("no/such/dir/b.csv"), *boxes));
    ASSERT_EQ(boxes->messages.size(), 1);
    EXPECT_TRUE(boxes->messages[0].contains(QStringLiteral("b.csv"))) << boxes->messages[0].toStdString();
}

TEST_F(BatteryTest, ChartMenuSwitchesViewsSavesPicturesAndExportsTheBatteryGrid)
{
    QStringList entries;
    for (const QAction* action : form->Chart1->actions())
        entries << action->text();
    ASSERT_EQ(
        entries, (QStringList { "Whole run", "Live view", "", "Save chart as", "Export readings to CSV…" }));
    EXPECT_EQ(form->Chart1->contextMenuPolicy(), Qt::ActionsContextMenu);
    QMenu* save = form->Chart1->actions()[3]->menu();
    ASSERT_NE(save, nullptr);
    ASSERT_EQ(save->actions().size(), 2);
    StartRun();
    Reading(QStringLiteral("12.00"), 2, QStringLiteral("0.001"));
    Reading(QStringLiteral("11.90"), 4, QStringLiteral("0.002"));

    // Each span is saved where the operator says, in the picture the name asks for.
    const struct
    {
        QAction* entry;
        QString name;
        QByteArray head;
    } cases[] = {
        { save->actions()[0], "whole-run.png", "\x89PNG\r\n" },
        { save->actions()[1], "visible-span.svg", "<?xml" },
    };
    EXPECT_EQ(cases[0].entry->text(), u"Whole run…");
    EXPECT_EQ(cases[1].entry->text(), u"Visible span…");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        const QString path = QDir::current().absoluteFilePath(c.name);
        QTimer::singleShot(0, form.get(), [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            dialog->selectFile(path);
            QMetaObject::invokeMethod(dialog, &QDialog::accept);
        });
        c.entry->trigger();
        EXPECT_TRUE(FileBytes(path).startsWith(c.head));
    }
    EXPECT_TRUE(boxes->messages.isEmpty()) << boxes->messages.join(u'\n').toStdString();

    // "Export readings to CSV…" is the battery grid's own export, answered in its dialog.
    const QString fromChart = QDir::current().absoluteFilePath(QStringLiteral("from-chart.csv"));
    QTimer::singleShot(0, form.get(), [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->selectFile(fromChart);
        QMetaObject::invokeMethod(dialog, &QDialog::accept);
    });
    form->Chart1->actions()[4]->trigger();
    ASSERT_TRUE(ExportGridCsv(form->DBGrid2, QStringLiteral("from-grid.csv"), *boxes));
    EXPECT_EQ(FileBytes(fromChart), FileBytes(QStringLiteral("from-grid.csv")));
    EXPECT_TRUE(FileBytes(fromChart).startsWith("#,Input Voltage,"));
}

// Dragging or panning reaches every reading of a long run; the series never holds more
// than the window's worth, and the voltage axis never moves.
TEST_F(BatteryTest, PanningReachesTheWholeRunWithASmallSeries)
{
    form->ShowPage(1);
    QChart* chart = form->Chart1->chart();
    ASSERT_TRUE(WaitUntil([&] { return chart->plotArea().width() > 0; }));
    BatteryChart& battery = form->Chart();
    const auto volts = [](double t) { return 12.6 - 0.0001 * t; };
    battery.Restart(1); // 40 s wide
    form->LeftAxis->setRange(0, 15);
    for (int t = 1; t <= 5000; ++t)
        battery.Add(QPointF(t, volts(t)));

    // A drag moves the axis by the pixels dragged at the plot's width of that moment (the
    // axis' labels, and so the plot's width, change as the axis moves).
    double dragged = 0;
    const auto drag = [&](double dx) {
        dragged = form->BottomAxis->min() - dx * 40 / chart->plotArea().width();
        QWidget* viewport = form->Chart1->viewport();
        const QPointF from(200, 100), to(200 + dx, 100);
        QMouseEvent press(QEvent::MouseButtonPress, from, from, Qt::LeftButton, Qt::LeftButton, {});
        QMouseEvent move(QEvent::MouseMove, to, to, Qt::NoButton, Qt::LeftButton, {});
        QMouseEvent release(QEvent::MouseButtonRelease, to, to, Qt::LeftButton, Qt::NoButton, {});
        for (QMouseEvent* e : { &press, &move, &release })
            QApplication::sendEvent(viewport, e);
    };
    const struct
    {
        const char* name;
        std::function<void()> act;
        std::function<double()> min;
        bool follows;
    } steps[] = {
        { "the newest readings", [] {}, [] { return 4960; }, true },
        { "panned to the start", [&] { battery.Pan(-1e9); }, [] { return 0; }, false },
        { "a reading meanwhile", [&] { battery.Add(QPointF(5001, volts(5001))); }, [] { return 0; }, false },
        { "dragged to the left", [&] { drag(-100); }, [&] { return dragged; }, false },
        { "dragged to the right", [&] { drag(30); }, [&] { return dragged; }, false },
        { "panned to the end", [&] { battery.Pan(1e9); }, [] { return 4961; }, true },
        { "following again", [&] { battery.Add(QPointF(5002, volts(5002))); }, [] { return 4962; }, true },
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        EXPECT_NEAR(form->BottomAxis->min(), step.min(), 1e-9);
        EXPECT_NEAR(form->BottomAxis->max(), step.min() + 40, 1e-9);
        EXPECT_EQ(battery.FollowsNewest(), step.follows);
        // The window's readings from the last one at or before its start, where the line
        // enters it.
        const QList<QPointF> shown = form->Series1->points();
        ASSERT_FALSE(shown.isEmpty());
        EXPECT_LE(shown.size(), 42);
        const auto after = std::upper_bound(battery.Points().begin(), battery.Points().end(),
            form->BottomAxis->min(), [](double x, const QPointF& p) { return x < p.x(); });
        EXPECT_EQ(shown.first(), after == battery.Points().begin() ? *after : *(after - 1));
        EXPECT_DOUBLE_EQ(form->LeftAxis->min(), 0);
        EXPECT_DOUBLE_EQ(form->LeftAxis->max(), 15);
    }
    EXPECT_EQ(battery.Points().size(), 5002u);
}

} // namespace
