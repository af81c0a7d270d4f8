// The list test in the window: "Set", the step buttons, start and stop, the step readings
// and the instrument's final report with its panels, captions and stored rows.
#include "WindowFixture.h"

#include "store/ResultsQuery.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTableView>

namespace {

const QString kModeList = QStringLiteral("load:mode list");

class ListTest : public WithPortTest
{
protected:
    // "Set" with N steps, then the start button twice (the first click only stops).
    void StartList(const QString& steps, bool repeat = false)
    {
        Find<QComboBox>(QStringLiteral("ListSetNum"))->setCurrentText(steps);
        (repeat ? form->StepRepeatY : form->StepRepeatN)->setChecked(true);
        form->LSetButton->click();
        form->startButtonL->click();
        form->startButtonL->click();
        ASSERT_EQ(form->startButtonL->text(), u"Stop");
    }

    void Reply(const QString& reply)
    {
        Session().SetMode(TestMode::List);
        Guarded([&] { Session().HandleMeasurement(reply); });
    }

    QColor PanelColour(const QLabel* panel) const { return panel->palette().color(QPalette::Window); }
};

TEST_F(ListTest, SetSendsModeStepModeRepeatAndTheLastStep)
{
    const struct
    {
        const char* steps;
        bool trig, repeat;
        QStringList queued;
        int lastStep;
    } cases[] = {
        { "2", false, false,
            { kModeList, kModeList, kModeList, "list:smod auto", "list:rep off", "list:snum 1" }, 1 },
        { "14", true, true,
            { kModeList, kModeList, kModeList, "list:smod trig", "list:rep on", "list:snum 13" }, 13 },
        { "15", false, true,
            { kModeList, kModeList, kModeList, "list:smod auto", "list:rep on", "list:snum 14" }, 14 },
        { "1", false, false,
            { kModeList, kModeList, kModeList, "list:smod auto", "list:rep off", "list:snum 0" }, 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        Restart();
        Session().QueueCommand(QStringLiteral("fetch?"), ReplyCode::Measurement);
        form->ListSetNum->setCurrentText(QString::fromLatin1(c.steps));
        (c.trig ? form->StepTrig : form->StepAuto)->setChecked(true);
        (c.repeat ? form->StepRepeatY : form->StepRepeatN)->setChecked(true);

        form->LSetButton->click();

        EXPECT_EQ(pauses, std::vector<int> { 200 });
        EXPECT_EQ(pendingAtPause.at(0), QStringList { "fetch?" });
        EXPECT_EQ(PendingTexts(*form), c.queued);
        EXPECT_EQ(Session().ListLastStep(), c.lastStep);
        EXPECT_TRUE(form->startButtonL->isEnabled());
        for (const QPushButton* step : form->StepButton)
            EXPECT_TRUE(step->isEnabled());
        EXPECT_TRUE(boxes->messages.isEmpty());
    }
}

TEST_F(ListTest, SetRefusesAListNumberOutsideOneToFifteenAndQueuesNothing)
{
    for (const char* steps : { "0", "16", "99", "-1", "2.5", "", "two" }) {
        SCOPED_TRACE(steps);
        Restart();
        Session().QueueCommand(QStringLiteral("fetch?"), ReplyCode::Measurement);
        Session().SetListPlan(4, false);
        form->PageControl1->setCurrentIndex(2); // selecting the page locks the list's buttons
        form->ListSetNum->setCurrentText(QString::fromLatin1(steps));

        form->LSetButton->click();

        EXPECT_EQ(PendingTexts(*form), QStringList { "fetch?" }) << "the pending queue is untouched";
        EXPECT_EQ(Session().ListLastStep(), 4);
        EXPECT_FALSE(form->startButtonL->isEnabled());
        EXPECT_FALSE(form->StepButton[0]->isEnabled());
        EXPECT_EQ(boxes->messages,
            QStringList { "List Nr.: the number of steps must be a whole number from 1 to 15!" });
        EXPECT_TRUE(boxes->errors.isEmpty());
    }
}

TEST_F(ListTest, StepButtonsSendTheirRowAndFileItInTheStepTable)
{
    const struct
    {
        int step;
        const char* mode; // item text, or a typed text that is no item
        const char *value, *delay, *compare, *low, *high;
        QStringList queued;
        TStepRecord filed; // LoadPattern, Setpoint, LowLimit, HighLimit are checked
    } cases[] = {
        { 0, "SHORT", "0.2", "5", "Current", "0.1", "0.3", { "list:step0:lmod sh" },
            { {}, "SHORT", "0", {}, {}, {}, {}, {} } },
        { 1, "OPEN", "0.2", "5", "Voltage", "1", "2", { "list:step1:lmod op" },
            { {}, "OPEN", "0", {}, {}, {}, {}, {} } },
        { 2, "CC", "0.2", "5", "Off", "0.1", "0.3",
            { "list:step2:lmod cc", "list:step2:lev 0.2,5", "list:step2:comp off" },
            { {}, "CC", "0.2", {}, {}, "0", "0", {} } },
        { 3, "CV", "12", "5", "Voltage", "11", "13",
            { "list:step3:lmod cv", "list:step3:lev 12,5", "list:step3:comp volt,11,13" },
            { {}, "CV", "12", {}, {}, "11", "13", {} } },
        { 14, "CP", "50", "0.5", "Power", "45", "55",
            { "list:step14:lmod cp", "list:step14:lev 50,0.5", "list:step14:comp pow,45,55" },
            { {}, "CP", "50", {}, {}, "45", "55", {} } },
        { 7, "cr", "100", "1", "Current", "0.05", "0.3",
            { "list:step7:lmod cc", "list:step7:lev 100,1", "list:step7:comp curr,0.05,0.3" },
            { {}, "cr", "100", {}, {}, "0.05", "0.3", {} } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        const QString n = QString::number(c.step);
        auto* mode = Find<QComboBox>(u"ModeStep"_qs + n);
        const int item = mode->findText(QString::fromLatin1(c.mode));
        if (item >= 0)
            mode->setCurrentIndex(item);
        else
            mode->setEditText(QString::fromLatin1(c.mode));
        Find<QLineEdit>(u"ValStep"_qs + n)->setText(QString::fromLatin1(c.value));
        Find<QLineEdit>(u"DelayStep"_qs + n)->setText(QString::fromLatin1(c.delay));
        auto* compare = Find<QComboBox>(u"ListC"_qs + n);
        compare->setCurrentIndex(compare->findText(QString::fromLatin1(c.compare)));
        Find<QLineEdit>(u"LmtLStep"_qs + n)->setText(QString::fromLatin1(c.low));
        Find<QLineEdit>(u"LmtHStep"_qs + n)->setText(QString::fromLatin1(c.high));
        Session().ClearQueues();

        form->ListSet(n);

        EXPECT_EQ(PendingTexts(*form), c.queued);
        const TStepRecord& filed = form->List().Steps()[static_cast<size_t>(c.step)];
        EXPECT_EQ(filed.LoadPattern, c.filed.LoadPattern);
        EXPECT_EQ(filed.Setpoint, c.filed.Setpoint);
        if (!c.filed.LowLimit.isNull()) {
            EXPECT_EQ(filed.LowLimit, c.filed.LowLimit);
            EXPECT_EQ(filed.HighLimit, c.filed.HighLimit);
        }
    }
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();

    // The button of a row sends that row.
    form->LSetButton->click();
    Session().ClearQueues();
    form->StepButton[3]->click();
    EXPECT_EQ(PendingTexts(*form).first(), u"list:step3:lmod cv");
}

TEST_F(ListTest, ShortAndOpenStepsLockTheirValueAndDelay)
{
    QComboBox* mode = form->ModeStep[5];
    for (const char* item : { "SHORT", "CV", "OPEN", "CC" }) {
        SCOPED_TRACE(item);
        mode->setCurrentIndex(mode->findText(QString::fromLatin1(item)));
        const bool takesLevel = item[0] == 'C';
        EXPECT_EQ(form->ValStep[5]->isEnabled(), takesLevel);
        EXPECT_EQ(form->DelayStep[5]->isEnabled(), takesLevel);
        EXPECT_TRUE(form->ListC[5]->isEnabled());
        EXPECT_TRUE(form->ValStep[4]->isEnabled()) << "other rows stay as they are";
    }
}

TEST_F(ListTest, StepTextsOutsideTheEditorAreRefused)
{
    const auto texts = [](const std::array<TStepRecord, kListSteps>& table) {
        QStringList all;
        for (const TStepRecord& r : table)
            all << r.Nr << r.LoadPattern << r.Setpoint << r.mValueV << r.mValueI << r.LowLimit << r.HighLimit
                << r.Result;
        return all;
    };
    const QStringList before = texts(form->List().Steps());
    for (const char* step : { "15", "-1", "x", "" }) {
        Guarded([&] { form->ListSet(QString::fromLatin1(step)); });
        Guarded([&] { form->ValueSet(QString::fromLatin1(step)); });
    }
    EXPECT_EQ(boxes->errors.size(), 8);
    EXPECT_TRUE(PendingTexts(*form).isEmpty());
    EXPECT_EQ(texts(form->List().Steps()), before);

    // An instrument report of a step beyond the editor files nothing.
    StartList(QStringLiteral("3"));
    const QStringList started = texts(form->List().Steps());
    Reply(QStringLiteral("L215,12.00 V,0.100A,"));
    EXPECT_EQ(boxes->errors.size(), 9);
    EXPECT_EQ(texts(form->List().Steps()), started);
}

TEST_F(ListTest, StartResetsTheDisplayAndRefreshesTheStepTableFromTheEditor)
{
    form->LSetButton->click();
    ASSERT_EQ(form->startButtonL->text(), u"Start");
    form->startButtonL->click();
    EXPECT_EQ(PendingTexts(*form).first(), u"load off");
    EXPECT_EQ(form->startButtonL->text(), u"Begin");
    EXPECT_FALSE(form->fetchTimer->isActive());

    // What a previous run left behind.
    form->cRes[1]->setText(QStringLiteral("FAIL"));
    QPalette green = form->ListR2->palette();
    green.setColor(QPalette::Window, QColor(128, 255, 128));
    form->ListR2->setPalette(green);
    form->List().Steps()[1].Nr = QStringLiteral("1");
    form->List().Steps()[1].mValueV = QStringLiteral("11.00");
    // The editor as the operator left it.
    form->ModeStep[0]->setCurrentIndex(4); // SHORT: its value edit is locked
    form->ListC[1]->setCurrentIndex(3); // Off
    form->ValStep[2]->setText(QStringLiteral("0.7"));

    form->startButtonL->click();
    EXPECT_EQ(PendingTexts(*form).last(), u"load on");
    EXPECT_EQ(form->startButtonL->text(), u"Stop");
    EXPECT_TRUE(form->fetchTimer->isActive());
    for (const QLabel* panel : { form->ListR1, form->ListR2, form->ListR3 })
        EXPECT_EQ(PanelColour(panel), QColor(Qt::black));
    for (const QLabel* result : form->cRes)
        EXPECT_TRUE(result->text().trimmed().isEmpty());
    EXPECT_EQ(form->List().Steps()[0].LoadPattern, u"SHORT");
    EXPECT_EQ(form->List().Steps()[0].Setpoint, u"0");
    EXPECT_EQ(form->List().Steps()[1].LowLimit, u"0");
    EXPECT_EQ(form->List().Steps()[1].HighLimit, u"0");
    EXPECT_TRUE(form->List().Steps()[1].mValueV.isEmpty()) << "a run measures afresh";
    EXPECT_EQ(form->List().Steps()[2].Setpoint, u"0.7");
    EXPECT_EQ(form->List().Steps()[2].LowLimit, u"0.1");
    EXPECT_EQ(form->List().Steps()[14].HighLimit, u"0.3");

    form->startButtonL->click();
    EXPECT_EQ(PendingTexts(*form).first(), u"load off");
    EXPECT_EQ(form->startButtonL->text(), u"Begin");
    EXPECT_FALSE(form->fetchTimer->isActive());
}

TEST_F(ListTest, ReportColoursItsPanelShowsEveryStepAndStoresOneRowEach)
{
    const struct
    {
        QString report;
        QLabel* TForm1::*lit;
        QColor colour;
        QStringList captions;
    } cases[] = {
        { "L3:2,1,2,0", &TForm1::ListR3, QColor(255, 0, 0), { "PASS", "FAIL", "N/C" } },
        { "L3:1,1,1,1", &TForm1::ListR2, QColor(128, 255, 128), { "PASS", "PASS", "PASS" } },
        { "L3:0,0,0,0", &TForm1::ListR1, QColor(0, 0, 255), { "N/C", "N/C", "N/C" } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report.toStdString());
        Restart();
        form->ValStep[1]->setText(QStringLiteral("0.25"));
        form->LmtLStep[1]->setText(QStringLiteral("0.2"));
        form->LmtHStep[1]->setText(QStringLiteral("0.4"));
        StartList(QStringLiteral("3"));
        Reply(QStringLiteral("L2:0,12.00 V,0.200A,"));
        Reply(QStringLiteral("L2:1,11.90 V,0.250A,"));
        Reply(QStringLiteral("L2:2,11.80 V,0.199A,"));
        EXPECT_EQ(form->List().Steps()[1].mValueI, u"0.250");

        Reply(c.report);

        for (QLabel* TForm1::*panel : { &TForm1::ListR1, &TForm1::ListR2, &TForm1::ListR3 })
            EXPECT_EQ(PanelColour(form.get()->*panel), panel == c.lit ? c.colour : QColor(Qt::black));
        for (int n = 0; n < 3; ++n)
            EXPECT_EQ(form->cRes[static_cast<size_t>(n)]->text(), c.captions[n]);
        EXPECT_TRUE(form->cRes[3]->text().isEmpty());

        const QAbstractItemModel& model = *form->ADOQuery1->Model();
        ASSERT_EQ(model.rowCount(), 3);
        const QStringList step1 = Row(model, 1);
        // Nr, LoadPattern, Setpoint, mValueV, mValueI, upLimit <- low, downLimit <- high
        EXPECT_EQ(step1.mid(1, 7), (QStringList { "1", "CC", "0.25", "11.90", "0.250", "0.2", "0.4" }));
        EXPECT_FALSE(step1[8].isEmpty()) << "sTime";
        for (int n = 0; n < 3; ++n)
            EXPECT_EQ(Row(model, n)[9], c.report.mid(5 + 2 * n, 1)) << "the digit is stored, not the word";
        EXPECT_EQ(form->DBGrid1->currentIndex().row(), 2);
        EXPECT_EQ(StoredRows(QStringLiteral("listS")).size(), 3u);
        EXPECT_EQ(form->startButtonL->text(), u"Begin") << "a list without repeat has ended";
        EXPECT_EQ(PendingTexts(*form).first(), u"load off") << "ended as Stop ends it";
        EXPECT_FALSE(form->fetchTimer->isActive());
        EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
    }
}

// A step shorter than a poll gets no reading of its own: its row holds its number and
// says it was not measured, never the reading of another step or pass.
TEST_F(ListTest, EveryPassStoresOnlyItsOwnReadings)
{
    StartList(QStringLiteral("2"), true);
    Reply(QStringLiteral("L3:1,1,1")); // both steps shorter than a poll
    Reply(QStringLiteral("L2:0,12.00 V,0.200A,"));
    Reply(QStringLiteral("L2:1,11.88 V,2.000A,"));
    Reply(QStringLiteral("L3:2,1,2"));
    Reply(QStringLiteral("L2:1,11.50 V,1.500A,"));
    Reply(QStringLiteral("L3:2,1,2"));
    const QAbstractItemModel& model = *form->ADOQuery1->Model();
    ASSERT_EQ(model.rowCount(), 6);
    const QStringList expected[]
        = { { "0", kNotMeasured, kNotMeasured, "1" }, { "1", kNotMeasured, kNotMeasured, "1" },
              { "0", "12.00", "0.200", "1" }, { "1", "11.88", "2.000", "2" },
              { "0", kNotMeasured, kNotMeasured, "1" }, { "1", "11.50", "1.500", "2" } };
    for (int row = 0; row < 6; ++row) {
        const QStringList r = Row(model, row);
        EXPECT_EQ((QStringList { r[1], r[4], r[5], r[9] }), expected[row]) << "row " << row;
    }
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
}

// A report that lacks verdicts or holds one the program does not know ends the run with
// an error: no wait for a report that never comes whole, and no verdict made up. What it
// judged soundly before the fault is kept.
TEST_F(ListTest, AFaultyReportEndsTheRunWithAnError)
{
    const struct
    {
        const char* reply;
        int rows;
        const char* says;
    } cases[] = {
        { "L3:2,1", 1, "verdicts for 1 of 4 steps" },
        { "L3:2,1,2,0\r\n", 3, "verdicts for 3 of 4 steps" },
        { "L3:7,1,1,1,1", 0, "the list verdict \"7\"" },
        { "L3:1,1,9,1,1", 1, "the verdict \"9\" for step 1" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        Restart();
        StartList(QStringLiteral("4"));
        Reply(QStringLiteral("L2:0,12.00 V,0.200A,"));
        Reply(QString::fromLatin1(c.reply));
        EXPECT_EQ(form->ADOQuery1->RowCount(), c.rows);
        ASSERT_EQ(boxes->errors.size(), 1) << boxes->errors.join(u'\n').toStdString();
        EXPECT_TRUE(boxes->errors[0].contains(QLatin1String(c.says))) << boxes->errors[0].toStdString();
        EXPECT_EQ(form->startButtonL->text(), u"Begin");
        EXPECT_EQ(PendingTexts(*form).first(), u"load off");
        EXPECT_FALSE(form->fetchTimer->isActive());
    }
}

TEST_F(ListTest, RepeatStoresEveryReportAndOnlyTheFirstStepsOfTheList)
{
    StartList(QStringLiteral("2"), true);
    Reply(QStringLiteral("L2:0,12.00 V,0.200A,"));
    Reply(QStringLiteral("L3:1,1,1,1,1"));
    Reply(QStringLiteral("L2:0,12.00 V,0.200A,"));
    Reply(QStringLiteral("L3:2,1,2,1,1"));
    EXPECT_EQ(form->startButtonL->text(), u"Stop");
    const QAbstractItemModel& model = *form->ADOQuery1->Model();
    ASSERT_EQ(model.rowCount(), 4) << "two steps, two passes; the extra verdicts are not steps of this list";
    EXPECT_EQ(Row(model, 3)[9], u"2");
    EXPECT_EQ(form->cRes[1]->text(), u"FAIL");
    EXPECT_TRUE(form->cRes[2]->text().isEmpty());

    // Once stopped, reports are no longer taken.
    form->startButtonL->click();
    Reply(QStringLiteral("L2:0,12.00 V,0.200A,"));
    Reply(QStringLiteral("L3:1,1,1"));
    EXPECT_EQ(model.rowCount(), 4);
}

TEST_F(ListTest, ReportNeverReachesBeyondTheLastEditorRow)
{
    StartList(QStringLiteral("15"));
    Session().SetListPlan(40, false); // whatever wrote it, the table has fifteen records
    Reply(QStringLiteral("L2:0,12.00 V,0.200A,"));
    Reply(QStringLiteral("L3:1") + QStringLiteral(",1").repeated(41));
    EXPECT_EQ(form->ADOQuery1->RowCount(), 15);
    EXPECT_EQ(form->cRes[14]->text(), u"PASS");
    EXPECT_EQ(form->startButtonL->text(), u"Begin");
}

} // namespace
TEST_F(ListTest, AStepHoldingASeparatorIsRefusedWhole)
{
    // Rows 3 to 14 take every key, so a pasted ">" can reach a limit.
    form->LmtHStep[3]->setText(QStringLiteral("0.3>load on"));
    Guarded([&] { form->ListSet(QStringLiteral("3")); });
    EXPECT_EQ(
        boxes->messages, QStringList { "Limit High of step 3: input data must be a number such as 12.5!" });
    EXPECT_TRUE(PendingTexts(*form).isEmpty()) << "not even the step's mode command";
}
