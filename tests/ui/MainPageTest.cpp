// Load setup, load pattern, input on/off, trigger, sensing and the page guard, checked on
// the commands they leave in the pipeline.
#include "WindowFixture.h"

#include "workflows/InputRules.h"

#include <QCheckBox>
#include <QLabel>
#include <QRadioButton>
#include <QTabWidget>

namespace {

using Edit = QLineEdit* TForm1::*;
using Radio = QRadioButton* TForm1::*;

const Command kPending { "mset:imax?", ReplyCode::CurrentLimit }; // something queued earlier

using LoadSetup = WithPortTest;

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
            { { "mset:vmax 10" }, { "mset:imax 10" }, { "mset:pmax 10" }, { "mset:von 0" }, { "mset:voff 0" },
                { "mset:aoff 0" } },
            10, 10, 10, 0, 0 },
        { "auto-off cleared: its field is never read",
            { { &TForm1::MaxV, "60" }, { &TForm1::MaxI, "5" }, { &TForm1::MaxP, "200.5" },
                { &TForm1::AutoOff, "1..2" } },
            false,
            { { "mset:vmax 60" }, { "mset:imax 5" }, { "mset:pmax 200.5" }, { "mset:von 0" },
                { "mset:voff 0" } },
            60, 5, 200.5, 0, 0 },
        { "auto-off ticked and empty: refused like the others", { { &TForm1::AutoOff, "" } }, true, {}, kOld,
            kOld, kOld, 1, 0 },
        { "an empty field queues nothing, although the maxima before it were filled",
            { { &TForm1::MinVOff, "" } }, true, {}, kOld, kOld, kOld, 1, 0 },
        // Checked before anything is sent: not even the commands of the fields before it.
        { "a field that is no plain number", { { &TForm1::MaxI, "1.2.3" } }, true, {}, kOld, kOld, kOld, 1,
            0 },
        { "a pasted second command", { { &TForm1::MinVOn, "0;load on" } }, true, {}, kOld, kOld, kOld, 1, 0 },
        { "a negative or exponent value", { { &TForm1::MaxP, "-1e2" } }, true, {}, kOld, kOld, kOld, 1, 0 },
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
        Session().Maxima().voltage = Session().Maxima().current = Session().Maxima().power = kOld;
        Session().ClearQueues();
        Session().QueueCommand(kPending.text, kPending.code);
        form->fetchTimer->start();
        boxes->messages.clear();
        boxes->errors.clear();

        form->fuZaiButton->setEnabled(true);
        form->fuZaiButton->click();

        std::vector<Command> expected { kPending };
        expected.insert(expected.end(), c.queued.begin(), c.queued.end());
        EXPECT_EQ(Pending(*form), expected);
        EXPECT_EQ(Session().Maxima().voltage, c.voltageMax);
        EXPECT_EQ(Session().Maxima().current, c.currentMax);
        EXPECT_EQ(Session().Maxima().power, c.powerMax);
        EXPECT_EQ(boxes->messages.size(), c.messages) << boxes->messages.join(u'\n').toStdString();
        EXPECT_EQ(boxes->errors.size(), c.errors);
        EXPECT_FALSE(form->fetchTimer->isActive());
    }
}

using LoadPattern = WithPortTest;

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
        std::optional<double> currentMax = 10;
    };
    const std::vector<Command> transientDefaults { { "load:mode tran" }, { "tran:lmod cv" },
        { "tran:tmod cont" }, { "tran:leva 10,10" }, { "tran:levb 10,10" } };
    const Case cases[] = {
        { "I-SET", &TForm1::loadI, { { &TForm1::ISet, "5" } }, {},
            { { { "load:mode cc" }, { "load:curr 5" } } }, "", 0, true },
        { "I-SET equal to its maximum", &TForm1::loadI, { { &TForm1::ISet, "10" } }, {},
            { { { "load:mode cc" }, { "load:curr 10" } } }, "", 0, true },
        { "I-SET above its maximum: refused, and Begin stays locked", &TForm1::loadI,
            { { &TForm1::ISet, "10.5" } }, {}, std::nullopt,
            "I-SET: the input value 10.500 exceeds the maximum of 10.000!", 0, false },
        { "no maximum known: the limits were not read back", &TForm1::loadI, { { &TForm1::ISet, "0" } }, {},
            std::nullopt,
            "I-SET: the instrument's limits could not be read back: connect again, or send them with \"Set\" "
            "in Load Setup.",
            0, false, std::nullopt },
        { "a maximum of 0: only 0 passes", &TForm1::loadI, { { &TForm1::ISet, "0" } }, {},
            { { { "load:mode cc" }, { "load:curr 0" } } }, "", 0, true, 0 },
        { "V-SET", &TForm1::loadV, { { &TForm1::VSet, "150" } }, {},
            { { { "load:mode cv" }, { "load:volt 150" } } }, "", 0, true },
        { "P-SET", &TForm1::loadP, { { &TForm1::PSet, "12.5" } }, {},
            { { { "load:mode cp" }, { "load:pow 12.5" } } }, "", 0, true },
        { "R-SET up to 4000 whatever the instrument", &TForm1::loadR, { { &TForm1::RSet, "4000" } }, {},
            { { { "load:mode cr" }, { "load:res 4000" } } }, "", 0, true, std::nullopt },
        { "R-SET above 4000 is refused", &TForm1::loadR, { { &TForm1::RSet, "4000.5" } }, {}, std::nullopt,
            "R-SET: the input value 4001.000 exceeds the maximum of 4000.000!", 0, false },
        { "SHORT reads no field", &TForm1::loadS, { { &TForm1::ISet, "" } }, {}, { { { "load:mode sh" } } },
            "", 0, true },
        { "empty set-point: nothing queued, Begin stays locked", &TForm1::loadI, { { &TForm1::ISet, "" } },
            {}, std::nullopt, "I-SET: input data cannot be empty!", 0, false },
        { "set-point that is no plain number", &TForm1::loadV, { { &TForm1::VSet, "1..2" } }, {},
            std::nullopt, "V-SET: input data must be a number such as 12.5!", 0, false },
        { "set-point with a sign and an exponent", &TForm1::loadI, { { &TForm1::ISet, "-1e2" } }, {},
            std::nullopt, "I-SET: input data must be a number such as 12.5!", 0, false },
        { "TRANSIENT with the layout's values", &TForm1::loadD, {}, {}, transientDefaults, "", 0, true },
        { "TRANSIENT, CC, pulse, level and width joined by a comma", &TForm1::loadD,
            { { &TForm1::TranA0, "1.5" }, { &TForm1::TranA1, "20" }, { &TForm1::TranB0, "0.5" },
                { &TForm1::TranB1, "300" } },
            { &TForm1::TranType1, &TForm1::TranMode1 },
            { { { "load:mode tran" }, { "tran:lmod cc" }, { "tran:tmod puls" }, { "tran:leva 1.5,20" },
                { "tran:levb 0.5,300" } } },
            "", 0, true },
        { "TRANSIENT with an empty field: nothing replaced", &TForm1::loadD, { { &TForm1::TranB0, "" } }, {},
            std::nullopt, "Level B: input data cannot be empty!", 0, false },
        { "TRANSIENT with a width that is no whole number", &TForm1::loadD, { { &TForm1::TranA1, "2.5" } },
            {}, std::nullopt, "Width A: input data must be a whole number from 0 to 60000!", 0, false },
        { "TRANSIENT triggered", &TForm1::loadD, {}, { &TForm1::TranMode2 },
            { { { "load:mode tran" }, { "tran:lmod cv" }, { "tran:tmod trig" }, { "tran:leva 10,10" },
                { "tran:levb 10,10" } } },
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
        Session().Maxima().current = c.currentMax;
        Session().Maxima().voltage = 150;
        Session().Maxima().power = 300;
        Session().ClearQueues();
        Session().QueueCommand(kPending.text, kPending.code);
        Session().SetArmed(Activity::Load, false);
        form->fetchTimer->start();
        boxes->messages.clear();
        boxes->errors.clear();

        form->modeButton->setEnabled(true);
        form->modeButton->click();

        EXPECT_EQ(Pending(*form), c.queue.value_or(std::vector<Command> { kPending }));
        EXPECT_EQ(boxes->messages, c.message.isEmpty() ? QStringList {} : QStringList { c.message });
        EXPECT_EQ(boxes->errors.size(), c.errors);
        EXPECT_EQ(Session().Armed(Activity::Load), c.beginEnabled);
        EXPECT_FALSE(form->fetchTimer->isActive());
    }
}

using LoadInput = WindowTest;

TEST_F(LoadInput, BeginAndStopSwitchInputAndPolling)
{
    ConnectTo();
    form->loadS->click();
    form->modeButton->click();
    ASSERT_TRUE(form->startButton->isEnabled());
    Session().ClearQueues();
    Session().QueueCommand(kPending.text, kPending.code);

    form->startButton->click();
    EXPECT_EQ(Pending(*form), (std::vector<Command> { kPending, { "load on" } }));
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Stop"));
    EXPECT_FALSE(form->fuZaiButton->isEnabled());
    EXPECT_FALSE(form->modeButton->isEnabled());
    EXPECT_TRUE(form->fetchTimer->isActive());

    form->startButton->click();
    // Pressed before "load on" went out: only the newest switch is sent, ahead of the rest.
    EXPECT_EQ(Pending(*form), (std::vector<Command> { { "load off" }, kPending }));
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Begin"));
    EXPECT_TRUE(form->fuZaiButton->isEnabled());
    EXPECT_TRUE(form->modeButton->isEnabled());
    EXPECT_FALSE(form->fetchTimer->isActive());

    // Trigger changes no state.
    form->DButton->click();
    EXPECT_EQ(Pending(*form).back(), Command { "trig" });
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Begin"));

    // However often the input is switched between two ticks, it stays off and one
    // "load off" waits to go out.
    for (int i = 0; i < 200; ++i) {
        form->startButton->click();
        form->startButton->click();
    }
    EXPECT_EQ(Pending(*form), (std::vector<Command> { { "load off" }, kPending, { "trig" } }));
}

TEST_F(LoadInput, LiveReadingsWhileOnAndPollingEndsWhenOff)
{
    ConnectTo();
    form->ISet->setText("2");
    form->modeButton->click();
    ASSERT_TRUE(form->startButton->isEnabled());
    form->startButton->click();
    ASSERT_TRUE(WaitUntil([this] { return form->VLable->text().trimmed().endsWith(u'V'); }));
    EXPECT_TRUE(form->ILable->text().endsWith(u'A'));
    EXPECT_TRUE(form->PLabel->text().endsWith(u'W'));
    EXPECT_TRUE(WireLines(*host).contains("load:curr 2"));

    const auto colour = [](QLabel* label) { return label->palette().color(QPalette::WindowText); };
    EXPECT_EQ(colour(form->VLable), QColor(Qt::blue));
    const QString lastVoltage = form->VLable->text();
    form->startButton->click();
    EXPECT_FALSE(form->fetchTimer->isActive());
    // Stopped: the last readings stay, grey, until new ones come.
    for (QLabel* label : { form->VLable, form->ILable, form->PLabel })
        EXPECT_EQ(colour(label), QColor(Qt::gray)) << label->objectName().toStdString();
    EXPECT_EQ(form->VLable->text(), lastVoltage);
    form->startButton->click();
    EXPECT_TRUE(WaitUntil([&] { return colour(form->VLable) == QColor(Qt::blue); })) << "live again";
    form->startButton->click();
    ASSERT_TRUE(DrainQueue());
    // Drained is written, not yet read by the simulator; nothing may follow "load off".
    EXPECT_TRUE(WaitUntil([&] { return WireLines(*host).last() == u"load off"; }))
        << WireLines(*host).join(u'|').toStdString();
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(' ').toStdString();
}

// Stop pressed, and before its "load off" has gone out the operator presses another
// button: whatever that button replaces or queues, "load off" still goes out, first.
TEST_F(LoadInput, NoActionAfterStopDropsItsSwitchOff)
{
    ConnectTo();
    form->CoTimer->stop();
    form->ISet->setText(QStringLiteral("1"));
    const struct
    {
        const char* name;
        std::function<void()> press;
    } actions[] = {
        { "Load Pattern Set", [&] { form->modeButton->click(); } },
        { "Load Setup Set", [&] { form->fuZaiButton->click(); } },
        { "Save", [&] { form->BitBtn1->click(); } },
        { "Load", [&] { form->LoadFile->click(); } },
        { "battery Set up", [&] { form->BSetButton->click(); } },
        { "list Set", [&] { form->LSetButton->click(); } },
        { "Remote", [&] { form->MeasureMode1->click(); } },
        { "Local", [&] { form->MeasureMode0->click(); } },
        { "Control Panel", [&] { form->BitBtn2->click(); } },
        { "the List Test page", [&] { form->PageControl1->setCurrentIndex(2); } },
        { "Begin again", [&] { form->startButton->click(); } },
    };
    for (const auto& action : actions) {
        SCOPED_TRACE(action.name);
        form->PageControl1->setCurrentIndex(0);
        form->modeButton->click();
        Session().ClearQueues();
        form->startButton->click();
        Session().PacingTick(); // "load on" leaves
        form->startButton->click();
        ASSERT_EQ(PendingTexts(*form), QStringList { "load off" });

        action.press();

        const QStringList pending = PendingTexts(*form);
        EXPECT_EQ(pending.first(), u"load off") << pending.join(u'|').toStdString();
        EXPECT_EQ(pending.count(QStringLiteral("load off")), 1);
        if (form->startButton->text() == u"Stop")
            form->startButton->click();
    }
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
}

using Sensing = WithPortTest;

// The sense commands go out when the operator changes the selection while the input is
// off; a click on the button already selected changes nothing. While the input is on the
// buttons are locked: a click changes nothing and nothing goes out.
TEST_F(Sensing, LocalAndRemoteSendOnlyOnAChangeWhileTheInputIsOff)
{
    struct Case
    {
        RunState load;
        Radio selected, clicked;
        std::optional<QString> sent; // three times, replacing the queue
        bool kept = true; // the clicked button stays selected; false: both are locked
    };
    const Case cases[] = {
        { RunState::Idle, &TForm1::MeasureMode0, &TForm1::MeasureMode1, "mset:rsen on" },
        { RunState::Idle, &TForm1::MeasureMode1, &TForm1::MeasureMode0, "mset:rsen off" },
        { RunState::Idle, &TForm1::MeasureMode1, &TForm1::MeasureMode1, std::nullopt },
        { RunState::Idle, &TForm1::MeasureMode0, &TForm1::MeasureMode0, std::nullopt },
        { RunState::Running, &TForm1::MeasureMode0, &TForm1::MeasureMode1, std::nullopt, false },
        { RunState::Running, &TForm1::MeasureMode1, &TForm1::MeasureMode0, std::nullopt, false },
        { RunState::Initial, &TForm1::MeasureMode1, &TForm1::MeasureMode0, std::nullopt },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((form.get()->*c.selected)->objectName().toStdString() + " then "
            + (form.get()->*c.clicked)->objectName().toStdString() + " in state "
            + std::to_string(static_cast<int>(c.load)));
        Session().SetRun(Activity::Load, RunState::Initial); // selecting sends nothing now
        (form.get()->*c.selected)->click();
        Session().SetRun(Activity::Load, c.load);
        Session().ClearQueues();
        Session().QueueCommand(kPending.text, kPending.code);
        form->StatusNote->clear();

        (form.get()->*c.clicked)->click();

        EXPECT_TRUE((form.get()->*(c.kept ? c.clicked : c.selected))->isChecked());
        EXPECT_EQ((form.get()->*c.clicked)->isEnabled(), c.kept);
        EXPECT_EQ(form->StatusNote->text(), QString());
        const std::vector<Command> expected = c.sent
            ? std::vector<Command> { { *c.sent }, { *c.sent }, { *c.sent } }
            : std::vector<Command> { kPending };
        EXPECT_EQ(Pending(*form), expected);
    }
}

// A read-back that selects "Remote" is not the operator's choice: the read-back queries
// still pending stay queued.
TEST_F(Sensing, ReadBackSelectionKeepsTheQueriesStillPending)
{
    Session().SetRun(Activity::Load, RunState::Idle);
    form->MeasureMode0->setChecked(true);
    Session().QueueCommand("mset:rsen?", ReplyCode::Sense);
    Session().QueueCommand("bat:curr?", ReplyCode::BatteryCurrent);
    Session().QueueCommand("bat:vmin?", ReplyCode::BatteryCutOff);
    form->CoTimerTimer(form->CoTimer); // "mset:rsen?" leaves; its answer is awaited

    form->dealReturn("ON");

    EXPECT_TRUE(form->MeasureMode1->isChecked());
    EXPECT_EQ(Pending(*form),
        (std::vector<Command> {
            { "bat:curr?", ReplyCode::BatteryCurrent }, { "bat:vmin?", ReplyCode::BatteryCutOff } }));
}

using PageGuard = WindowTest;

TEST_F(PageGuard, RunningTestKeepsItsPageInFrontAndTheOtherTestPagesLocked)
{
    enum { Main, Battery, List, Instructions, About };
    constexpr RunState I = RunState::Idle, R = RunState::Running;
    struct Case
    {
        const char* what;
        RunState load, battery, list;
        int selected, shown;
        std::optional<TestMode> mode; // nothing: the mode stays as it was
        bool listStartEnabled, stepsEnabled; // on the List page, were it not locked
        std::vector<int> locked; // the test pages locked, greyed with their tabs
    };
    const Case cases[] = {
        { "idle: Main", I, I, I, Main, Main, TestMode::Normal, true, true, {} },
        { "idle: Battery Test", I, I, I, Battery, Battery, TestMode::Battery, true, true, {} },
        { "idle: List Test locks its start and steps", I, I, I, List, List, TestMode::List, false, false,
            {} },
        { "load on: Battery Test shows Main", R, I, I, Battery, Main, TestMode::Normal, true, true,
            { Battery, List } },
        { "load on: List Test shows Main, list still locked", R, I, I, List, Main, TestMode::Normal, false,
            false, { Battery, List } },
        { "battery runs: Main shows Battery Test", I, R, I, Main, Battery, TestMode::Battery, true, true,
            { Main, List } },
        { "battery runs: List Test shows Battery Test, list still locked", I, R, I, List, Battery,
            TestMode::Battery, false, false, { Main, List } },
        { "list runs: Main shows List Test", I, I, R, Main, List, TestMode::List, true, true,
            { Main, Battery } },
        { "list runs: Battery Test shows List Test", I, I, R, Battery, List, TestMode::List, true, true,
            { Main, Battery } },
        { "list runs: back on its page it can still be stopped", I, I, R, List, List, TestMode::List, true,
            false, { Main, Battery } },
        { "Instructions can always be opened", R, I, I, Instructions, Instructions, std::nullopt, true, true,
            { Battery, List } },
        { "About can always be opened", I, I, R, About, About, std::nullopt, true, true, { Main, Battery } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Session().SetRun(Activity::Load, c.load);
        Session().SetRun(Activity::Battery, c.battery);
        Session().SetRun(Activity::List, c.list);
        Session().SetArmed(Activity::List, true);
        form->ShowPage(c.selected == Instructions ? About : Instructions);
        // A mode the page would not choose, to see whether it changes.
        const TestMode before = c.mode == TestMode::Normal ? TestMode::List : TestMode::Normal;
        Session().SetMode(before);

        form->PageControl1->setCurrentIndex(c.selected); // the operator's choice

        EXPECT_EQ(form->PageControl1->currentIndex(), c.shown);
        EXPECT_EQ(Session().Mode(), c.mode.value_or(before));
        EXPECT_EQ(form->startButtonL->isEnabledTo(form->TabSheet4), c.listStartEnabled);
        for (QPushButton* step : form->StepButton)
            EXPECT_EQ(step->isEnabledTo(form->TabSheet4), c.stepsEnabled) << step->objectName().toStdString();
        for (int page : { Main, Battery, List }) {
            const bool locked = std::find(c.locked.begin(), c.locked.end(), page) != c.locked.end();
            EXPECT_EQ(form->PageControl1->widget(page)->isEnabled(), !locked) << page;
            EXPECT_EQ(form->PageControl1->isTabEnabled(page), !locked) << page;
        }
        EXPECT_TRUE(Session().Pipeline().Idle());
    }
}

} // namespace
