// Save, recall with read-back, and Control Panel.
#include "WindowFixture.h"

#include <QLabel>
#include <QRadioButton>

namespace {

const Command kPending { "load:curr?", ReplyCode::CurrentSetPoint };

using Memories = WithPortTest;

TEST_F(Memories, SaveOnlyWhileConnectedWithTheInputOff)
{
    form->FileNo->setEditText("3");
    for (const RunState state : { RunState::Idle, RunState::Running, RunState::Initial }) {
        SCOPED_TRACE(static_cast<int>(state));
        Session().SetRun(Activity::Load, state);
        Session().ClearQueues();
        Session().QueueCommand(kPending.text, kPending.code);
        form->BitBtn1->click();
        if (state == RunState::Idle)
            EXPECT_EQ(Pending(*form), (std::vector<Command> { { "mmem:save 3" } }));
        else
            EXPECT_EQ(Pending(*form), std::vector<Command> { kPending });
        EXPECT_TRUE(boxes->messages.isEmpty());
    }
}

TEST_F(Memories, LoadRecallsThenQueuesTheWholeReadBack)
{
    form->FileNo->setEditText("7");
    Session().SetRun(Activity::Load, RunState::Running);
    form->fetchTimer->start();
    Session().QueueCommand(kPending.text, kPending.code);
    std::vector<Command> atPause;
    int pausedFor = 0;
    Session().Pause = [&](int ms) {
        pausedFor = ms;
        atPause = Pending(*form);
    };

    form->LoadFile->click();

    EXPECT_EQ(pausedFor, 500);
    EXPECT_EQ(atPause, (std::vector<Command> { { "mmem:load 7" } }));
    std::vector<Command> expected { { "mmem:load 7" } };
    for (const ReadBackQuery& q : ReadBackQueries())
        expected.push_back({ q.command, q.code });
    EXPECT_EQ(Pending(*form), expected);
    EXPECT_TRUE(form->fetchTimer->isActive());
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Stop"));
}

TEST_F(Memories, ControlPanelStopsPollingAndLeavesTheLoadAsItIs)
{
    Session().SetRun(Activity::Load, RunState::Running);
    form->fetchTimer->start();
    Session().QueueCommand(kPending.text, kPending.code);

    form->BitBtn2->click();

    EXPECT_EQ(Pending(*form), (std::vector<Command> { kPending, { "*rtl" } }));
    EXPECT_FALSE(form->fetchTimer->isActive());
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Stop"));
}

TEST_F(Memories, RecalledSettingsComeBackIntoTheWindow)
{
    ConnectTo();

    // Memory 2 gets a current limit of 5 A and remote sensing.
    form->MaxI->setText("5");
    form->fuZaiButton->click();
    ASSERT_TRUE(DrainQueue()); // sensing replaces whatever is pending
    form->MeasureMode1->click();
    ASSERT_TRUE(DrainQueue());
    form->FileNo->setEditText("2");
    form->BitBtn1->click();
    ASSERT_TRUE(DrainQueue());
    EXPECT_EQ(form->StatusNote->text(), u"Settings saved in memory 2");
    // Then the instrument is changed again.
    form->MaxI->setText("7");
    form->fuZaiButton->click();
    ASSERT_TRUE(DrainQueue());
    form->MeasureMode0->click();
    ASSERT_TRUE(DrainQueue());
    ASSERT_EQ(Session().Maxima().current, 7);

    // What the status line says while the read-back goes on, and when it is done.
    QStringList notes;
    const auto windowHandler = Session().OnReadBackProgress;
    Session().OnReadBackProgress = [&, windowHandler](InstrumentSession* s, int asked, int total, bool done) {
        windowHandler(s, asked, total, done);
        notes << form->StatusNote->text();
    };
    form->LoadFile->click();
    ASSERT_TRUE(DrainQueue());
    const int queries = static_cast<int>(ReadBackQueries().size());
    ASSERT_TRUE(WaitUntil([&] { return notes.size() == queries + 1; })) << notes.join(u'|').toStdString();
    EXPECT_EQ(notes[11], QStringLiteral("Reading settings back: 12 of %1").arg(queries));
    EXPECT_EQ(notes.last(), u"Settings read back");

    QStringList expected { "mmem:load 2" };
    for (const ReadBackQuery& q : ReadBackQueries())
        expected.append(q.command);
    // Selecting "Remote" from the read-back must not cut the queries behind it short.
    // Counted from the recall itself: the last sensing command may reach the instrument
    // only after the queue looked empty.
    const QStringList wire = WireLines(*host);
    EXPECT_EQ(wire.mid(wire.lastIndexOf(QStringLiteral("mmem:load 2"))), expected);
    EXPECT_EQ(Session().Maxima().current, 5);
    EXPECT_TRUE(form->MaxI->text().startsWith(u'5'));
    EXPECT_TRUE(form->MeasureMode1->isChecked());
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(' ').toStdString();
}

// "Load" pressed while the answer to a poll is on its way: the answer is read as the
// measurement it is, and the recall with its whole read-back reaches the instrument, each
// answer in its own field.
TEST_F(Memories, LoadWhilePollingRecallsAndReadsEverySettingBack)
{
    SimOptions options;
    options.replyDelayMs = 120; // an answer arrives some 220 ms after its query
    ConnectTo(options);
    form->loadS->click();
    form->modeButton->click();
    form->startButton->click();
    std::vector<QLineEdit*> fields { form->MaxI, form->MaxV, form->ISet, form->BOffV, form->TranA1 };
    for (int n : { 0, 14 })
        fields.insert(
            fields.end(), { form->ValStep[n], form->DelayStep[n], form->LmtLStep[n], form->LmtHStep[n] });
    for (QLineEdit* field : fields)
        field->setText("x");
    Session().Maxima().current.reset();
    form->VLable->clear();
    ASSERT_TRUE(WaitUntil([this] {
        const auto& onTheWire = Session().Pipeline().OnTheWire();
        return onTheWire && onTheWire->command.code == ReplyCode::Measurement;
    }));
    const qsizetype before = WireLines(*host).size();

    form->LoadFile->click();

    ASSERT_TRUE(WaitUntil([this] { return !form->VLable->text().isEmpty(); }))
        << "the answer in flight is shown as a reading";
    ASSERT_TRUE(WaitUntil(
        [this] {
            return WireLines(*host).contains("list:step14:comp?") && !Session().Pipeline().OnTheWire();
        },
        std::chrono::seconds(60)));
    QStringList expected { "mmem:load 0" };
    for (const ReadBackQuery& q : ReadBackQueries())
        expected.append(q.command);
    const QStringList wire = WireLines(*host).mid(before);
    ASSERT_GE(wire.size(), expected.size());
    EXPECT_EQ(wire.mid(wire.indexOf("mmem:load 0"), expected.size()), expected)
        << wire.join(' ').toStdString();
    // Memory 0 holds the power-up settings.
    EXPECT_EQ(Session().Maxima().current, 30);
    const std::pair<QLineEdit*, const char*> recalled[] = { { form->MaxI, "30.00" }, { form->MaxV, "150.0" },
        { form->ISet, "10.00" }, { form->TranA1, "10" }, { form->ValStep[14], "0.200" },
        { form->DelayStep[0], "5" }, { form->LmtLStep[14], "0.100" }, { form->LmtHStep[0], "0.300" } };
    for (const auto& [field, text] : recalled)
        EXPECT_EQ(field->text(), QString::fromLatin1(text)) << field->objectName().toStdString();
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(' ').toStdString();
}

// What the instrument cannot take as a memory number never reaches it; the list number read
// back is the number of steps, without the instrument's line terminator.
TEST_F(Memories, OnlyMemoryNumbersReachTheInstrumentAndTheListNumberReadsBackAsSteps)
{
    SimOptions options;
    options.terminator = "\n";
    ConnectTo(options);
    for (const char* typed : { "5;load on", "10", "-1", "" }) {
        SCOPED_TRACE(typed);
        boxes->Clear();
        form->FileNo->setEditText(QString::fromLatin1(typed));
        form->BitBtn1->click();
        form->LoadFile->click();
        EXPECT_EQ(boxes->messages.size(), 2) << boxes->messages.join(u'\n').toStdString();
        EXPECT_TRUE(Session().Pipeline().Pending().empty());
    }
    form->FileNo->setEditText("0");
    form->LoadFile->click();
    ASSERT_TRUE(DrainQueue());
    EXPECT_EQ(form->ListSetNum->currentText(), u"2") << "the simulator's list runs steps 0 and 1";
    for (const QString& line : WireLines(*host))
        EXPECT_FALSE(line.contains(u';') || line == u"load on") << line.toStdString();
}

} // namespace
