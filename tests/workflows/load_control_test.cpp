// Load setup, load pattern, input on/off, trigger, sensing and the page guard, checked on
// the commands they leave in the pipeline.
#include "conn_fixture.h"

#include <QCheckBox>
#include <QLabel>
#include <QRadioButton>
#include <QTabWidget>

namespace conn_test {
namespace {

using Edit = QLineEdit* TForm1::*;
using Radio = QRadioButton* TForm1::*;

const Command kPending { "mset:imax?", 81 }; // something queued earlier

using LoadSetup = FormTest;

TEST_F(LoadSetup, QueuesLimitsAndStoresMaxima)
{
    struct Case
    {
        const char* what;
        std::vector<std::pair<Edit, QString>> texts; // over the layout's defaults
        bool autoOffTicked;
        std::vector<Command> queued; // behind what was pending
        double voltageMax, currentMax, powerMax;
        int messages, errors;
    };
    const double kOld = -1; // the maxima before the action
    const Case cases[] = {
        { "defaults, auto-off ticked", {}, true,
            { { "mset:vmax 10", 0 }, { "mset:imax 10", 0 }, { "mset:pmax 10", 0 }, { "mset:von 0", 0 },
                { "mset:voff 0", 0 }, { "mset:aoff 0", 0 } },
            10, 10, 10, 0, 0 },
        { "auto-off cleared: its field is never read",
            { { &TForm1::MaxV, "60" }, { &TForm1::MaxI, "5" }, { &TForm1::MaxP, "200.5" },
                { &TForm1::AutoOff, "1..2" } },
            false,
            { { "mset:vmax 60", 0 }, { "mset:imax 5", 0 }, { "mset:pmax 200.5", 0 }, { "mset:von 0", 0 },
                { "mset:voff 0", 0 } },
            60, 5, 200.5, 0, 0 },
        { "auto-off ticked and empty", { { &TForm1::AutoOff, "" } }, true,
            { { "mset:vmax 10", 0 }, { "mset:imax 10", 0 }, { "mset:pmax 10", 0 }, { "mset:von 0", 0 },
                { "mset:voff 0", 0 }, { "mset:aoff ", 0 } },
            10, 10, 10, 0, 0 },
        { "an empty field queues nothing, although the maxima before it were filled",
            { { &TForm1::MinVOff, "" } }, true, {}, kOld, kOld, kOld, 1, 0 },
        { "a field that is no number ends the action after its own command", { { &TForm1::MaxI, "1.2.3" } },
            true, { { "mset:vmax 10", 0 }, { "mset:imax 1.2.3", 0 } }, 10, kOld, kOld, 0, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (Edit edit : { &TForm1::MaxV, &TForm1::MaxI, &TForm1::MaxP })
            (form.get()->*edit)->setText("10");
        for (Edit edit : { &TForm1::MinVOn, &TForm1::MinVOff, &TForm1::AutoOff })
            (form.get()->*edit)->setText("0");
        for (const auto& [edit, text] : c.texts)
            (form.get()->*edit)->setText(text);
        form->CheckBox29->setChecked(c.autoOffTicked);
        form->StoredVoltageMax = form->StoredCurrentMax = form->StoredPowerMax = kOld;
        form->ClearQueues();
        form->QueueCommand(kPending.first, kPending.second);
        form->fetchTimer->start();
        boxes->messages.clear();
        boxes->errors.clear();

        form->fuZaiButton->setEnabled(true);
        form->fuZaiButton->click();

        std::vector<Command> expected { kPending };
        expected.insert(expected.end(), c.queued.begin(), c.queued.end());
        EXPECT_EQ(Pending(*form), expected);
        EXPECT_EQ(form->StoredVoltageMax, c.voltageMax);
        EXPECT_EQ(form->StoredCurrentMax, c.currentMax);
        EXPECT_EQ(form->StoredPowerMax, c.powerMax);
        EXPECT_EQ(boxes->messages,
            c.messages ? QStringList { QStringLiteral("Input data cannot be empty!") } : QStringList {});
        EXPECT_EQ(boxes->errors.size(), c.errors);
        EXPECT_FALSE(form->fetchTimer->isActive());
    }
}

using LoadPattern = FormTest;

TEST_F(LoadPattern, ReplacesTheQueueWithThePatternsCommands)
{
    struct Case
    {
        const char* what;
        Radio pattern;
        std::vector<std::pair<Edit, QString>> texts;
        std::vector<Radio> alsoSelected;
        std::optional<std::vector<Command>> queue; // nothing: what was pending stays
        QString message;
        int errors;
        bool beginEnabled;
        double currentMax = 10;
    };
    const QString empty = "Input data cannot be empty!";
    const std::vector<Command> transientDefaults { { "load:mode tran", 0 }, { "tran:lmod cv", 0 },
        { "tran:tmod cont", 0 }, { "tran:leva 10,10", 0 }, { "tran:levb 10,10", 0 } };
    const Case cases[] = {
        { "I-SET", &TForm1::loadI, { { &TForm1::ISet, "5" } }, {},
            { { { "load:mode cc", 0 }, { "load:curr 5", 0 } } }, "", 0, true },
        { "I-SET equal to its maximum", &TForm1::loadI, { { &TForm1::ISet, "10" } }, {},
            { { { "load:mode cc", 0 }, { "load:curr 10", 0 } } }, "", 0, true },
        { "I-SET above its maximum: refused, yet Begin becomes pressable", &TForm1::loadI,
            { { &TForm1::ISet, "10.5" } }, {}, std::nullopt,
            "The input value 10.500 exceeds the maximum of 10.000!", 0, true },
        { "no maximum known yet: a positive I-SET is refused", &TForm1::loadI, { { &TForm1::ISet, "0.1" } },
            {}, std::nullopt, "The input value 0.100 exceeds the maximum of 0.000!", 0, true, 0 },
        { "no maximum known yet: I-SET 0 passes", &TForm1::loadI, { { &TForm1::ISet, "0" } }, {},
            { { { "load:mode cc", 0 }, { "load:curr 0", 0 } } }, "", 0, true, 0 },
        { "V-SET", &TForm1::loadV, { { &TForm1::VSet, "150" } }, {},
            { { { "load:mode cv", 0 }, { "load:volt 150", 0 } } }, "", 0, true },
        { "P-SET", &TForm1::loadP, { { &TForm1::PSet, "12.5" } }, {},
            { { { "load:mode cp", 0 }, { "load:pow 12.5", 0 } } }, "", 0, true },
        { "R-SET up to 4000 whatever the instrument", &TForm1::loadR, { { &TForm1::RSet, "4000" } }, {},
            { { { "load:mode cr", 0 }, { "load:res 4000", 0 } } }, "", 0, true, 0 },
        { "R-SET above 4000 is refused", &TForm1::loadR, { { &TForm1::RSet, "4000.5" } }, {}, std::nullopt,
            "The input value 4001.000 exceeds the maximum of 4000.000!", 0, true },
        { "SHORT reads no field", &TForm1::loadS, { { &TForm1::ISet, "" } }, {},
            { { { "load:mode sh", 0 } } }, "", 0, true },
        { "empty set-point: nothing queued, Begin stays locked", &TForm1::loadI, { { &TForm1::ISet, "" } },
            {}, std::nullopt, empty, 0, false },
        { "set-point that is no number", &TForm1::loadV, { { &TForm1::VSet, "1..2" } }, {}, std::nullopt, "",
            1, false },
        { "TRANSIENT with the layout's values", &TForm1::loadD, {}, {}, transientDefaults, "", 0, true },
        { "TRANSIENT, CC, pulse, level and width joined by a comma, empty fields sent empty", &TForm1::loadD,
            { { &TForm1::TranA0, "1.5" }, { &TForm1::TranA1, "20" }, { &TForm1::TranB0, "" },
                { &TForm1::TranB1, "" } },
            { &TForm1::TranType1, &TForm1::TranMode1 },
            { { { "load:mode tran", 0 }, { "tran:lmod cc", 0 }, { "tran:tmod puls", 0 },
                { "tran:leva 1.5,20", 0 }, { "tran:levb ,", 0 } } },
            "", 0, true },
        { "TRANSIENT triggered", &TForm1::loadD, {}, { &TForm1::TranMode2 },
            { { { "load:mode tran", 0 }, { "tran:lmod cv", 0 }, { "tran:tmod trig", 0 },
                { "tran:leva 10,10", 0 }, { "tran:levb 10,10", 0 } } },
            "", 0, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (Edit edit : { &TForm1::ISet, &TForm1::VSet, &TForm1::PSet, &TForm1::RSet, &TForm1::TranA0,
                 &TForm1::TranA1, &TForm1::TranB0, &TForm1::TranB1 })
            (form.get()->*edit)->setText("10");
        for (const auto& [edit, text] : c.texts)
            (form.get()->*edit)->setText(text);
        form->TranType->click();
        form->TranMode0->click();
        for (Radio radio : c.alsoSelected)
            (form.get()->*radio)->click();
        (form.get()->*c.pattern)->click();
        form->StoredCurrentMax = c.currentMax;
        form->StoredVoltageMax = 150;
        form->StoredPowerMax = 300;
        form->ClearQueues();
        form->QueueCommand(kPending.first, kPending.second);
        form->startButton->setEnabled(false);
        form->fetchTimer->start();
        boxes->messages.clear();
        boxes->errors.clear();

        form->modeButton->setEnabled(true);
        form->modeButton->click();

        EXPECT_EQ(Pending(*form), c.queue.value_or(std::vector<Command> { kPending }));
        EXPECT_EQ(boxes->messages, c.message.isEmpty() ? QStringList {} : QStringList { c.message });
        EXPECT_EQ(boxes->errors.size(), c.errors);
        EXPECT_EQ(form->startButton->isEnabled(), c.beginEnabled);
        EXPECT_FALSE(form->fetchTimer->isActive());
    }
}

using LoadInput = FormTest;

TEST_F(LoadInput, BeginAndStopSwitchInputAndPolling)
{
    form->startButton->setText("Begin");
    form->startButton->setEnabled(true);
    form->QueueCommand(kPending.first, kPending.second);

    form->startButton->click();
    EXPECT_EQ(Pending(*form), (std::vector<Command> { kPending, { "load on", 0 } }));
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Stop"));
    EXPECT_FALSE(form->fuZaiButton->isEnabled());
    EXPECT_FALSE(form->modeButton->isEnabled());
    EXPECT_TRUE(form->fetchTimer->isActive());

    form->startButton->click();
    EXPECT_EQ(Pending(*form), (std::vector<Command> { kPending, { "load on", 0 }, { "load off", 0 } }));
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Begin"));
    EXPECT_TRUE(form->fuZaiButton->isEnabled());
    EXPECT_TRUE(form->modeButton->isEnabled());
    EXPECT_FALSE(form->fetchTimer->isActive());

    // Trigger needs no connection and changes no state.
    form->DButton->click();
    EXPECT_EQ(Pending(*form).back(), Command("trig", 0));
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Begin"));
}

TEST_F(LoadInput, LiveReadingsWhileOnAndPollingEndsWhenOff)
{
    SimulatorHost host;
    host.Start();
    Connect(host.SlavePath());
    ASSERT_TRUE(DrainQueue());
    form->ISet->setText("2");
    form->modeButton->click();
    ASSERT_TRUE(form->startButton->isEnabled());
    form->startButton->click();
    ASSERT_TRUE(WaitUntil([this] { return form->VLable->text().trimmed().endsWith(u'V'); }));
    EXPECT_TRUE(form->ILable->text().endsWith(u'A'));
    EXPECT_TRUE(form->PLabel->text().endsWith(u'W'));
    EXPECT_TRUE(WireLines(host).contains("load:curr 2"));

    form->startButton->click();
    EXPECT_FALSE(form->fetchTimer->isActive());
    ASSERT_TRUE(DrainQueue());
    EXPECT_EQ(WireLines(host).last(), QStringLiteral("load off"));
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(' ').toStdString();
}

using Sensing = FormTest;

TEST_F(Sensing, LocalAndRemoteSendOnlyWhileTheInputIsOff)
{
    struct Case
    {
        QString caption;
        Radio chosen, other;
        std::optional<QString> sent; // three times, replacing the queue
    };
    const Case cases[] = {
        { "Begin", &TForm1::MeasureMode1, &TForm1::MeasureMode0, "mset:rsen on" },
        { "Begin", &TForm1::MeasureMode0, &TForm1::MeasureMode1, "mset:rsen off" },
        { "Stop", &TForm1::MeasureMode1, &TForm1::MeasureMode0, std::nullopt },
        { "Start", &TForm1::MeasureMode0, &TForm1::MeasureMode1, std::nullopt },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption.toStdString() + " " + (form.get()->*c.chosen)->objectName().toStdString());
        form->startButton->setText(c.caption);
        (form.get()->*c.other)->setChecked(true);
        form->ClearQueues();
        form->QueueCommand(kPending.first, kPending.second);

        (form.get()->*c.chosen)->click();

        EXPECT_TRUE((form.get()->*c.chosen)->isChecked());
        const std::vector<Command> expected = c.sent
            ? std::vector<Command> { { *c.sent, 0 }, { *c.sent, 0 }, { *c.sent, 0 } }
            : std::vector<Command> { kPending };
        EXPECT_EQ(Pending(*form), expected);
    }
}

TEST_F(Sensing, ReadBackSelectionKeepsTheQueriesStillPending)
{
    form->startButton->setText("Begin");
    form->MeasureMode0->setChecked(true);
    form->QueueCommand("mset:rsen?", 80);
    form->QueueCommand("bat:curr?", 91);
    form->QueueCommand("bat:vmin?", 92);
    form->CoTimerTimer(form->CoTimer); // "mset:rsen?" leaves; 80 awaits its answer

    form->dealReturn("ON");

    EXPECT_TRUE(form->MeasureMode1->isChecked());
    EXPECT_EQ(Pending(*form), (std::vector<Command> { { "bat:curr?", 91 }, { "bat:vmin?", 92 } }));
}

using PageGuard = FormTest;

TEST_F(PageGuard, RunningTestKeepsItsPageInFront)
{
    enum { Main, Battery, List, Instructions, About };
    struct Case
    {
        const char* what;
        const char* mainCaption;
        const char* batteryCaption;
        const char* listCaption;
        int selected, shown, testMode;
        bool listStartEnabled, stepsEnabled;
    };
    const int kKept = 7; // a test mode no page sets
    const Case cases[] = {
        { "idle: Main", "Begin", "Begin", "Begin", Main, Main, 0, true, true },
        { "idle: Battery Test", "Begin", "Begin", "Begin", Battery, Battery, 1, true, true },
        { "idle: List Test locks its start and steps", "Begin", "Begin", "Begin", List, List, 2, false,
            false },
        { "load on: Battery Test shows Main", "Stop", "Begin", "Begin", Battery, Main, 0, true, true },
        { "load on: List Test shows Main, list still locked", "Stop", "Begin", "Begin", List, Main, 0, false,
            false },
        { "battery runs: Main shows Battery Test", "Begin", "Stop", "Begin", Main, Battery, 1, true, true },
        { "battery runs: List Test shows Battery Test, list still locked", "Begin", "Stop", "Begin", List,
            Battery, 1, false, false },
        { "list runs: Main shows List Test", "Begin", "Begin", "Stop", Main, List, 2, true, true },
        { "list runs: Battery Test shows List Test", "Begin", "Begin", "Stop", Battery, List, 2, true, true },
        { "list runs: back on its page it can still be stopped", "Begin", "Begin", "Stop", List, List, 2,
            true, false },
        { "Instructions can always be opened", "Stop", "Begin", "Begin", Instructions, Instructions, kKept,
            true, true },
        { "About can always be opened", "Begin", "Begin", "Stop", About, About, kKept, true, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        form->startButton->setText(c.mainCaption);
        form->startButtonB->setText(c.batteryCaption);
        form->startButtonL->setText(c.listCaption);
        form->startButtonL->setEnabled(true);
        for (QPushButton* step : form->StepButton)
            step->setEnabled(true);
        form->ShowPage(c.selected == Instructions ? About : Instructions);
        form->TestMode = kKept;
        ASSERT_EQ(form->TestMode, kKept);

        form->PageControl1->setCurrentIndex(c.selected); // the operator's choice

        EXPECT_EQ(form->PageControl1->currentIndex(), c.shown);
        EXPECT_EQ(form->TestMode, c.testMode);
        EXPECT_EQ(form->startButtonL->isEnabled(), c.listStartEnabled);
        for (QPushButton* step : form->StepButton)
            EXPECT_EQ(step->isEnabled(), c.stepsEnabled) << step->objectName().toStdString();
        EXPECT_TRUE(form->Pipeline().CommandQueue().isEmpty());
    }
}

} // namespace
} // namespace conn_test
