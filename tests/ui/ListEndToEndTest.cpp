// Lists run by the instrument simulator over a pseudo-terminal: auto stepping with mixed
// verdicts (SHORT and "Off" steps among them), trigger stepping driven by "Trig", and
// repeat. The window's own timers, serial component and reply handling carry it all.
#include "WindowFixture.h"

#include "store/ResultsQuery.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

namespace {

struct StepDefinition
{
    const char* mode;
    const char* value;
    const char* compare;
    const char* low;
    const char* high;
    const char* delay = "4";
};

// Step 0 passes and step 1 fails on current; the dwell is 4 simulated seconds.
const StepDefinition kPass { "CC", "0.2", "Current", "0.1", "0.3" };
const StepDefinition kFail { "CC", "0.5", "Current", "0.1", "0.3" };

class ListEndToEnd : public WindowTest
{
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        SimOptions options;
        options.timeScale = 2; // a 4 s dwell lasts two real seconds: a few readings per step
        ConnectTo(options);
        form->PageControl1->setCurrentIndex(2);
        ASSERT_EQ(Session().Mode(), TestMode::List);
    }

    void Define(int n, const StepDefinition& step)
    {
        const auto row = static_cast<size_t>(n);
        form->ModeStep[row]->setCurrentIndex(form->ModeStep[row]->findText(QString::fromLatin1(step.mode)));
        form->ValStep[row]->setText(QString::fromLatin1(step.value));
        form->DelayStep[row]->setText(QString::fromLatin1(step.delay));
        form->ListC[row]->setCurrentIndex(form->ListC[row]->findText(QString::fromLatin1(step.compare)));
        form->LmtLStep[row]->setText(QString::fromLatin1(step.low));
        form->LmtHStep[row]->setText(QString::fromLatin1(step.high));
    }

    // "Set", each step's button, then the start button twice (the first click only stops).
    void SendAndStart(const std::vector<StepDefinition>& steps, bool trig, bool repeat)
    {
        for (size_t n = 0; n < steps.size(); ++n)
            Define(static_cast<int>(n), steps[n]);
        form->ListSetNum->setCurrentText(QString::number(steps.size()));
        (trig ? form->StepTrig : form->StepAuto)->setChecked(true);
        (repeat ? form->StepRepeatY : form->StepRepeatN)->setChecked(true);
        form->LSetButton->click();
        for (size_t n = 0; n < steps.size(); ++n)
            form->StepButton[n]->click();
        ASSERT_TRUE(DrainQueue());
        form->startButtonL->click();
        form->startButtonL->click();
        ASSERT_EQ(form->startButtonL->text(), u"Stop");
    }

    QStringList StoredColumn(int column) const
    {
        QStringList texts;
        for (const QStringList& row : StoredRows(QStringLiteral("listS")))
            texts.append(row[column]);
        return texts;
    }

    // What the window and the wire show, for a failure message.
    std::string State() const
    {
        return (form->ListS->text() + u' ' + form->startButtonL->text() + QStringLiteral(" | wire: ")
            + WireLines(*host).mid(std::max<qsizetype>(0, WireLines(*host).size() - 12)).join(u' ')
            + QStringLiteral(" | errors: ") + boxes->errors.join(u'\n'))
            .toStdString();
    }

    QColor PanelColour(const QLabel* panel) const { return panel->palette().color(QPalette::Window); }
};

TEST_F(ListEndToEnd, AutoListWithShortAndOffStepsReportsMixedVerdicts)
{
    const StepDefinition off { "CV", "11", "Off", "0.1", "0.3" };
    const StepDefinition shortCircuit { "SHORT", "0.2", "Current", "0.1", "0.3" };
    SendAndStart({ kPass, kFail, off, shortCircuit }, false, false);

    ASSERT_TRUE(WaitUntil([&] { return form->startButtonL->text() == u"Begin"; }, std::chrono::seconds(30)))
        << boxes->errors.join(u'\n').toStdString();

    const QStringList wire = WireLines(*host);
    EXPECT_TRUE(wire.contains(QStringLiteral("list:step2:comp off")));
    EXPECT_TRUE(wire.contains(QStringLiteral("list:step3:lmod sh")));
    EXPECT_FALSE(wire.contains(QStringLiteral("list:step3:lev 0.2,4"))) << "a SHORT step sends its mode only";

    // Nr, LoadPattern, Setpoint, mValueV, mValueI, upLimit, downLimit, sTime, Result
    const std::vector<QStringList> rows = StoredRows(QStringLiteral("listS"));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(StoredColumn(0), (QStringList { "0", "1", "2", "3" })) << "every step was read while it ran";
    EXPECT_EQ(StoredColumn(1), (QStringList { "CC", "CC", "CV", "SHORT" }));
    EXPECT_EQ(StoredColumn(2), (QStringList { "0.2", "0.5", "11", "0" }));
    EXPECT_EQ(rows[0][4], u"0.200");
    EXPECT_EQ(rows[1][4], u"0.500");
    EXPECT_EQ(StoredColumn(5), (QStringList { "0.1", "0.1", "0", "0.1" }));
    EXPECT_EQ(StoredColumn(6), (QStringList { "0.3", "0.3", "0", "0.3" }));
    // The SHORT step is judged on the comparison the instrument held for it already.
    EXPECT_EQ(StoredColumn(8), (QStringList { "1", "2", "0", "2" }));
    QStringList captions;
    for (int n = 0; n < 5; ++n)
        captions.append(form->cRes[static_cast<size_t>(n)]->text());
    EXPECT_EQ(captions, (QStringList { "PASS", "FAIL", "N/C", "FAIL", "" }));
    EXPECT_EQ(PanelColour(form->ListR3), QColor(255, 0, 0));
    EXPECT_EQ(PanelColour(form->ListR2), QColor(Qt::black));

    // The list's end is the run's: the input goes off and polling stops, so the report
    // the instrument still holds is never taken again.
    EXPECT_FALSE(form->fetchTimer->isActive());
    EXPECT_TRUE(WaitForLastLine(QStringLiteral("load off")));
    EXPECT_EQ(form->ADOQuery1->RowCount(), 4);
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
}

TEST_F(ListEndToEnd, TriggerModeMovesOnOnlyWithTrig)
{
    SendAndStart({ kPass, kFail }, true, false);
    ASSERT_TRUE(WaitUntil([&] { return form->ListS->text() == u"S0"; })) << State();
    // Two dwell times pass without a trigger: the list holds its first step.
    const int polls = static_cast<int>(WireLines(*host).count(QStringLiteral("fetch?")));
    ASSERT_TRUE(WaitUntil([&] { return WireLines(*host).count(QStringLiteral("fetch?")) >= polls + 8; }));
    EXPECT_EQ(form->ListS->text(), u"S0");

    form->TrigButton->click();
    ASSERT_TRUE(WaitUntil([&] { return form->ListS->text() == u"S1"; })) << State();
    EXPECT_EQ(form->startButtonL->text(), u"Stop");
    form->TrigButton->click();
    ASSERT_TRUE(WaitUntil([&] { return form->startButtonL->text() == u"Begin"; }))
        << boxes->errors.join(u'\n').toStdString();

    EXPECT_EQ(WireLines(*host).count(QStringLiteral("trig")), 2);
    EXPECT_EQ(StoredColumn(0), (QStringList { "0", "1" }));
    EXPECT_EQ(StoredColumn(8), (QStringList { "1", "2" }));
    EXPECT_EQ(PanelColour(form->ListR3), QColor(255, 0, 0));
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
}

TEST_F(ListEndToEnd, RepeatStoresEveryPassUntilStopped)
{
    SendAndStart({ kPass, kPass }, false, true);
    ASSERT_TRUE(WaitUntil([&] { return form->ADOQuery1->RowCount() >= 4; }, std::chrono::seconds(30)))
        << boxes->errors.join(u'\n').toStdString();
    EXPECT_EQ(form->startButtonL->text(), u"Stop");
    EXPECT_EQ(PanelColour(form->ListR2), QColor(128, 255, 128));

    form->startButtonL->click();
    EXPECT_EQ(form->startButtonL->text(), u"Begin");
    EXPECT_FALSE(form->fetchTimer->isActive());
    ASSERT_TRUE(DrainQueue());
    EXPECT_TRUE(WaitForLastLine(QStringLiteral("load off")));

    const QStringList steps = StoredColumn(0);
    ASSERT_EQ(steps.size() % 2, 0) << "whole passes only";
    for (qsizetype i = 0; i < steps.size(); ++i)
        EXPECT_EQ(steps[i], QString::number(i % 2));
    EXPECT_EQ(StoredColumn(8), QStringList(steps.size(), QStringLiteral("1")));
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
}

// Run again once a list has ended: the instrument still holds the last report, and the
// new run takes only its own.
TEST_F(ListEndToEnd, ARunAfterAnEndStoresItsOwnPass)
{
    SendAndStart({ kPass, kFail }, false, false);
    ASSERT_TRUE(WaitUntil([&] { return form->startButtonL->text() == u"Begin"; }, std::chrono::seconds(30)))
        << State();
    ASSERT_EQ(form->ADOQuery1->RowCount(), 2);
    const qsizetype firstEnd = WireLines(*host).size();
    form->startButtonL->click();
    ASSERT_EQ(form->startButtonL->text(), u"Stop");
    ASSERT_TRUE(WaitUntil([&] { return form->startButtonL->text() == u"Begin"; }, std::chrono::seconds(30)))
        << State();
    EXPECT_EQ(StoredColumn(8), (QStringList { "1", "2", "1", "2" }));
    // The second pass was polled through both steps before its report was taken.
    EXPECT_GE(WireLines(*host).mid(firstEnd).count(QStringLiteral("fetch?")), 4);
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
}

// An instrument that keeps repeating a cut-short report: its rows are stored once and it
// is told once, while the run goes on.
TEST_F(ListEndToEnd, ACutShortReportEndsTheRunWithAnError)
{
    host->SetReplyFilter([](const std::string&, const std::string& reply) -> std::vector<SimReplyPiece> {
        if (reply.rfind("L3", 0) == 0)
            return { { reply.substr(0, 6), 0 } }; // the list verdict and the first step's only
        return { { reply, 0 } };
    });
    SendAndStart({ kPass, kPass, kPass }, false, false);
    ASSERT_TRUE(WaitUntil([&] { return form->startButtonL->text() == u"Begin"; }, std::chrono::seconds(30)))
        << State();
    EXPECT_EQ(form->ADOQuery1->RowCount(), 1) << "the verdict it holds is kept";
    ASSERT_EQ(boxes->errors.size(), 1) << boxes->errors.join(u'\n').toStdString();
    EXPECT_TRUE(boxes->errors[0].contains(u"verdicts for 1 of 3 steps")) << boxes->errors[0].toStdString();
    EXPECT_TRUE(WaitForLastLine(QStringLiteral("load off")));
}

// Steps 10 and up carry two digits in their readings: each is filed as its own step.
TEST_F(ListEndToEnd, ATwelveStepListIsReadAndStoredStepByStep)
{
    const StepDefinition quick { "CC", "0.2", "Current", "0.1", "0.3", "2" };
    SendAndStart(std::vector<StepDefinition>(12, quick), false, false);
    ASSERT_TRUE(WaitUntil([&] { return form->startButtonL->text() == u"Begin"; }, std::chrono::seconds(60)))
        << State();
    QStringList steps;
    for (int n = 0; n < 12; ++n)
        steps.append(QString::number(n));
    EXPECT_EQ(StoredColumn(0), steps) << "every step read while it ran, under its own number";
    for (const QString& current : StoredColumn(4))
        EXPECT_EQ(current, u"0.200");
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
}

} // namespace
