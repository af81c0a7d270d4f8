// A whole battery discharge against the instrument simulator over a pseudo-terminal: the
// window's own timers, serial component and reply handling carry every command and
// reading.
#include "WindowFixture.h"

#include "sim/SimulatorHost.h"
#include "store/ResultsQuery.h"
#include "store/RunRecord.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTabWidget>
#include <QTableView>

namespace {

class BatteryEndToEnd : public WindowTest
{
protected:
    // Sets up and starts a battery run on a fresh simulator; its record is written.
    void StartRun(const SimOptions& options)
    {
        ConnectTo(options);
        form->PageControl1->setCurrentIndex(1);
        form->BOffV->setText(QStringLiteral("11.5"));
        form->BChargeI->setText(QStringLiteral("0.3"));
        form->testInteral->setText(QStringLiteral("1"));
        form->BSetButton->click();
        ASSERT_TRUE(DrainQueue());
        form->startButtonB->click(); // "Start": only stops
        form->startButtonB->click();
        ASSERT_EQ(form->startButtonB->text(), u"Stop");
        ASSERT_TRUE(WaitUntil([&] { return form->ADOQuery2->RowCount() >= 2 && Runs().size() == 1; }))
            << boxes->errors.join(u'\n').toStdString();
    }

    // The runs table as another program reading db.sqlite sees it.
    static std::vector<RunRecord> Runs()
    {
        std::vector<RunRecord> runs;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("runs"));
            db.setDatabaseName(QStringLiteral("db.sqlite"));
            EXPECT_TRUE(db.open());
            QSqlQuery query(db);
            EXPECT_TRUE(query.exec(SelectRunsStatement(RunsDialect::Sqlite, {})));
            while (query.next())
                runs.push_back(RunRecordFromQuery(query));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("runs"));
        return runs;
    }
};

TEST_F(BatteryEndToEnd, DischargeToCutOffIsStoredChartedAndHeldAtTheWindowsCutOff)
{
    // A small battery and a fast clock: 0.3 A empties 0.02 Ah in about 250 simulated
    // seconds, some 12 s of real time at one reading per second.
    SimOptions options;
    options.timeScale = 20;
    options.batteryCapacityAh = 0.02;
    ConnectTo(options);

    form->PageControl1->setCurrentIndex(1);
    ASSERT_EQ(Session().Mode(), TestMode::Battery);
    form->BOffV->setText(QStringLiteral("11.5"));
    form->BChargeI->setText(QStringLiteral("0.3"));
    form->testInteral->setText(QStringLiteral("1"));
    form->BSetButton->click();
    ASSERT_TRUE(DrainQueue());
    form->startButtonB->click(); // "Start": only stops
    form->startButtonB->click();
    ASSERT_EQ(form->startButtonB->text(), u"Stop");
    // The operator edits the cut-off during the run, without sending it: the records keep
    // to the cut-off the instrument has.
    ASSERT_TRUE(WaitUntil([&] { return form->ADOQuery2->RowCount() >= 2; }));
    form->BOffV->setText(QStringLiteral("13.."));

    // Once the instrument has switched itself off its time stands still: the third such
    // reading ends the run as "Stop" would, but the finished curve stays on the chart.
    const QAbstractItemModel& rows = *form->ADOQuery2->Model();
    ASSERT_TRUE(WaitUntil([&] { return form->startButtonB->text() == u"Begin"; }, std::chrono::seconds(60)))
        << rows.rowCount() << " rows; " << boxes->errors.join(u'\n').toStdString();
    EXPECT_FALSE(form->fetchTimer->isActive());
    EXPECT_EQ(form->fetchTimer->interval(), 300);
    EXPECT_TRUE(form->BSetButton->isEnabled());
    // The chart holds a point per reading, none below the window's cut-off.
    ASSERT_EQ(form->Chart().Points().size(), static_cast<size_t>(rows.rowCount()));
    for (const QPointF& point : form->Chart().Points())
        EXPECT_GE(point.y(), 11.5);
    ASSERT_GT(form->Series1->count(), 0);
    EXPECT_EQ(form->Series1->points().last(), form->Chart().Points().back());
    const QString time = rows.index(rows.rowCount() - 1, 3).data().toString();
    const QString ampereHours = rows.index(rows.rowCount() - 1, 4).data().toString();
    EXPECT_TRUE(form->StatusNote->text().startsWith(
        "Battery test ended at the instrument's cut-off: " + time + " s, " + ampereHours.left(5)))
        << form->StatusNote->text().toStdString();
    // The last voltage measured while current flowed: near the instrument's 11.5 V cut-off.
    const double cutOff
        = form->StatusNote->text().section(QStringLiteral("cut off at "), 1).section(u' ', 0, 0).toDouble();
    EXPECT_GE(cutOff, 11.4) << form->StatusNote->text().toStdString();
    EXPECT_LT(cutOff, 12.6) << form->StatusNote->text().toStdString();

    ASSERT_TRUE(WaitForLastLine(QStringLiteral("load off")));
    const QStringList wire = WireLines(*host);
    // The first click's "load off" goes out too: a switch-off is never dropped. Who the
    // instrument is was asked once, when connecting.
    const QStringList setUp { "load:mode bat", "load:mode bat", "load:mode bat", "bat:vmin 11.5",
        "bat:curr 0.3", "load off", "load on" };
    qsizetype at = wire.indexOf(setUp[0]);
    ASSERT_GE(at, 0);
    EXPECT_EQ(wire.mid(at, setUp.size()), setUp);

    // Every reading is a row, and the rows are the chart's points, time ascending.
    const std::vector<QStringList> stored = StoredRows(QStringLiteral("battery"));
    ASSERT_EQ(stored.size(), static_cast<size_t>(rows.rowCount()));
    ASSERT_GE(stored.size(), 8u);
    int previousTime = -1;
    for (size_t i = 0; i < stored.size(); ++i) {
        SCOPED_TRACE(stored[i].join(u' ').toStdString());
        const QString voltage = stored[i][0];
        const int time = stored[i][2].toInt();
        EXPECT_GE(time, previousTime);
        previousTime = time;
        // Below the cut-off a reading is recorded at it: the one sent, not the one typed since.
        EXPECT_TRUE(voltage == u"11.5" || voltage.toDouble() >= 11.5);
        EXPECT_EQ(Row(rows, static_cast<int>(i)).mid(1, 4), stored[i].mid(0, 4));
    }
    // The last readings came after the instrument's own cut-off: time and charge frozen.
    const QStringList& last = stored.back();
    EXPECT_EQ(last[1], u"0.000");
    EXPECT_EQ(last[2], stored[stored.size() - 2][2]);
    EXPECT_EQ(last[3], stored[stored.size() - 2][3]);
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
    // Exactly three readings at the frozen time, and no more rows after the end.
    int frozen = 0;
    for (const QStringList& row : stored)
        frozen += row[1] == u"0.000" && row[2] == last[2];
    EXPECT_EQ(frozen, 3);
    const int polls = static_cast<int>(WireLines(*host).count(QStringLiteral("fetch?")));
    WaitUntil([] { return false; }, std::chrono::milliseconds(1500));
    EXPECT_EQ(WireLines(*host).count(QStringLiteral("fetch?")), polls);
    EXPECT_EQ(form->ADOQuery2->RowCount(), static_cast<int>(stored.size()));

    // The run's record: what it was set up with, and the instrument's own end.
    const std::vector<RunRecord> runs = Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].kind, u"battery");
    EXPECT_EQ(runs[0].outcome, u"cut-off");
    EXPECT_LT(runs[0].started, runs[0].ended);
    EXPECT_EQ(runs[0].parameters, R"({"current_A":0.3,"cutoff_V":11.5,"mode":"battery","period_s":1})");
    EXPECT_EQ(runs[0].instrument, QString::fromStdString(kTestInstrument));
    EXPECT_EQ(wire.count(QStringLiteral("*idn?")), 1);
}

// Closing the window mid-run, with the input switched off first or left on: the run's
// record ends as the program does, before the store goes with the window.
TEST_F(BatteryEndToEnd, ClosingTheWindowMidRunEndsItsRecordAsProgramEnded)
{
    SimOptions options;
    options.timeScale = 20;
    for (const QString answer : { "Switch the input off and close", "Leave the input on and close" }) {
        SCOPED_TRACE(answer.toStdString());
        Restart();
        StartRun(options);
        EXPECT_TRUE(Runs().front().outcome.isEmpty()) << "going";
        boxes->answers.push_back(answer);
        form->close();
        ASSERT_TRUE(WaitUntil([&] { return !form->isVisible(); })) << boxes->errors.join(u'\n').toStdString();
        form.reset();
        const std::vector<RunRecord> runs = Runs();
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].outcome, u"program ended");
        EXPECT_TRUE(runs[0].ended.isValid());
    }
}

// The adapter is pulled during a discharge: the run ends in the window and says how many
// readings it stored; after reconnecting it must be set up again before it starts.
TEST_F(BatteryEndToEnd, LostPortEndsTheRunAndAsksForSetUpAgain)
{
    SimOptions options;
    options.timeScale = 20;
    ConnectTo(options);
    form->PageControl1->setCurrentIndex(1);
    form->testInteral->setText(QStringLiteral("1"));
    form->BSetButton->click();
    ASSERT_TRUE(DrainQueue());
    form->startButtonB->click();
    form->startButtonB->click();
    ASSERT_TRUE(WaitUntil([&] { return form->ADOQuery2->RowCount() >= 2; }))
        << boxes->errors.join(u'\n').toStdString();

    host->Stop();
    ASSERT_TRUE(WaitUntil([&] { return form->combutton->text() == u"Connect"; }));
    EXPECT_EQ(Runs().front().outcome, u"port lost");
    const int stored = form->ADOQuery2->RowCount();
    EXPECT_EQ(form->startButtonB->text(), u"Begin");
    EXPECT_TRUE(form->BSetButton->isEnabled());
    EXPECT_EQ(form->StatusNote->text(),
        QStringLiteral("The battery test was cut short after %1 readings.").arg(stored));
    form->PageControl1->setCurrentIndex(0);
    EXPECT_EQ(form->PageControl1->currentIndex(), 0) << "the page guard lets go";

    ConnectTo();
    form->PageControl1->setCurrentIndex(1);
    form->startButtonB->click();
    EXPECT_EQ(form->startButtonB->text(), u"Begin");
    EXPECT_EQ(boxes->messages,
        QStringList { "Press \"Set up\" first: the battery test was not set up since connecting!" });
    form->BSetButton->click();
    form->startButtonB->click();
    EXPECT_EQ(form->startButtonB->text(), u"Stop");
}

} // namespace
