// The battery discharge test in the window: "Set up", start and stop, and what each
// reading leaves in the grid, the database and the chart.
#include "WindowFixture.h"

#include "store/ResultsQuery.h"
#include "ui/GridExport.h"

#include <QAction>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QValueAxis>

namespace {

const QString kModeBat = QStringLiteral("load:mode bat");
const QString kEmpty = QStringLiteral("Input data cannot be empty!");

class BatteryTest : public WindowTest
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
            { "The input value 8.000 exceeds" }, true, 5 },
        { "current above maximum", "8", "6", 20, 5, { kModeBat, kModeBat, kModeBat, "bat:vmin 8" },
            { "The input value 6.000 exceeds" }, true, 1.0 },
        { "both refused", "30", "6", 20, 5, { kModeBat, kModeBat, kModeBat }, { "The input", "The input" },
            true, 1.0 },
        { "empty cut-off", "", "0.3", 20, 5, { kModeBat, kModeBat, kModeBat }, { kEmpty }, false, 1.0 },
        { "empty current", "8", "", 20, 5, { kModeBat, kModeBat, kModeBat, "bat:vmin 8" }, { kEmpty }, false,
            1.0 },
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
    EXPECT_EQ(PendingTexts(*form).last(), u"load off");
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
    EXPECT_EQ(PendingTexts(*form).last(), u"load off");
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
            QStringList { "The test period must be a whole number of seconds (1 to 86400)!" });
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

TEST_F(BatteryTest, ReadingThatCannotBeStoredAddsNoPoint)
{
    StartRun();
    Reading(QStringLiteral("12.00"), 2);
    ASSERT_EQ(form->Series1->count(), 1);

    // A time that is no whole number: nothing of the reading is kept.
    Session().SetMode(TestMode::Battery);
    Guarded([&] { Session().HandleMeasurement(QStringLiteral("11.90 V,0.300 A,4.5s,0.020Ah")); });
    EXPECT_EQ(boxes->errors.size(), 1);
    EXPECT_EQ(form->Chart().Points().back().x(), 2);

    // The database refuses the row: the error is shown and the chart stays as it was.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("saboteur"));
        db.setDatabaseName(QStringLiteral("db.sqlite"));
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(QSqlQuery(db).exec(QStringLiteral("drop table battery")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("saboteur"));
    Reading(QStringLiteral("11.80"), 6);
    EXPECT_EQ(boxes->errors.size(), 2);
    EXPECT_EQ(form->Series1->count(), 1);
    EXPECT_EQ(form->Chart().Points().size(), 1u);
    EXPECT_EQ(form->ADOQuery2->RowCount(), 1);
}

TEST_F(BatteryTest, GridsExportTheirTablesAsCsv)
{
    for (QTableView* grid : { form->DBGrid1, form->DBGrid2 }) {
        const QList<QAction*> actions = grid->actions();
        ASSERT_EQ(actions.size(), 1);
        EXPECT_EQ(actions[0]->text(), QStringLiteral("Export to CSV…"));
        EXPECT_EQ(grid->contextMenuPolicy(), Qt::ActionsContextMenu);
    }
    StartRun();
    Reading(QStringLiteral("12.00"), 2, QStringLiteral("0.001"));
    Reading(QStringLiteral("11.90"), 4, QStringLiteral("0.002"));

    ASSERT_TRUE(ExportResultsCsv(form.get(), *form->ADOQuery2, QStringLiteral("battery.csv"), *boxes));
    QFile file(QStringLiteral("battery.csv"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    ASSERT_EQ(lines.size(), 4); // header, two rows, the empty rest after the last CRLF
    EXPECT_TRUE(lines[1].startsWith("1,12.00,0.300,2,0.001,")) << lines[1].constData();
    EXPECT_TRUE(lines[2].startsWith("2,11.90,0.300,4,0.002,")) << lines[2].constData();
    EXPECT_TRUE(boxes->messages.isEmpty());

    // A place that cannot be written: the operator is told, nothing is thrown.
    EXPECT_FALSE(ExportResultsCsv(form.get(), *form->ADOQuery2, QStringLiteral("no/such/dir/b.csv"), *boxes));
    ASSERT_EQ(boxes->messages.size(), 1);
    EXPECT_TRUE(boxes->messages[0].contains(QStringLiteral("b.csv"))) << boxes->messages[0].toStdString();
}

} // namespace
