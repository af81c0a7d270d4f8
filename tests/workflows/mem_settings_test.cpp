// Save, recall with read-back, and Control Panel.
#include "conn_fixture.h"
#include "workflows/ConnectionRules.h"

#include <QLabel>
#include <QRadioButton>

namespace conn_test {
namespace {

const Command kPending { "load:curr?", 72 };

using Memories = FormTest;

TEST_F(Memories, SaveOnlyWhileConnectedWithTheInputOff)
{
    form->FileNo->setEditText("3");
    for (const QString caption : { "Begin", "Stop", "Start" }) {
        SCOPED_TRACE(caption.toStdString());
        form->startButton->setText(caption);
        form->ClearQueues();
        form->QueueCommand(kPending.first, kPending.second);
        form->BitBtn1->click();
        if (caption == u"Begin")
            EXPECT_EQ(Pending(*form), (std::vector<Command> { { "mmem:save 3", 0 } }));
        else
            EXPECT_EQ(Pending(*form), std::vector<Command> { kPending });
        EXPECT_TRUE(boxes->messages.isEmpty());
    }
}

TEST_F(Memories, LoadRecallsThenQueuesTheWholeReadBack)
{
    form->FileNo->setEditText("7");
    form->startButton->setText("Stop");
    form->fetchTimer->start();
    form->QueueCommand(kPending.first, kPending.second);
    std::vector<Command> atPause;
    int pausedFor = 0;
    form->Pause = [&](int ms) {
        pausedFor = ms;
        atPause = Pending(*form);
    };

    form->LoadFile->click();

    EXPECT_EQ(pausedFor, 500);
    EXPECT_EQ(atPause, (std::vector<Command> { { "mmem:load 7", 0 } }));
    std::vector<Command> expected { { "mmem:load 7", 0 } };
    for (const auto& [query, code] : SettingsReadBackQueries())
        expected.emplace_back(query, code);
    EXPECT_EQ(Pending(*form), expected);
    EXPECT_TRUE(form->fetchTimer->isActive());
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Stop"));
}

TEST_F(Memories, ControlPanelStopsPollingAndLeavesTheLoadAsItIs)
{
    form->startButton->setText("Stop");
    form->fetchTimer->start();
    form->QueueCommand(kPending.first, kPending.second);

    form->BitBtn2->click();

    EXPECT_EQ(Pending(*form), (std::vector<Command> { kPending, { "*rtl", 0 } }));
    EXPECT_FALSE(form->fetchTimer->isActive());
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Stop"));
}

TEST_F(Memories, RecalledSettingsComeBackIntoTheWindow)
{
    SimulatorHost host;
    host.Start();
    Connect(host.SlavePath());
    ASSERT_TRUE(DrainQueue());

    // Memory 2 gets a current limit of 5 A and remote sensing.
    form->MaxI->setText("5");
    form->fuZaiButton->click();
    ASSERT_TRUE(DrainQueue()); // sensing replaces whatever is pending
    form->MeasureMode1->click();
    ASSERT_TRUE(DrainQueue());
    form->FileNo->setEditText("2");
    form->BitBtn1->click();
    ASSERT_TRUE(DrainQueue());
    // Then the instrument is changed again.
    form->MaxI->setText("7");
    form->fuZaiButton->click();
    ASSERT_TRUE(DrainQueue());
    form->MeasureMode0->click();
    ASSERT_TRUE(DrainQueue());
    ASSERT_EQ(form->StoredCurrentMax, 7);

    form->LoadFile->click();
    ASSERT_TRUE(DrainQueue());

    QStringList expected { "mmem:load 2" };
    for (const auto& [query, code] : SettingsReadBackQueries())
        expected.append(query);
    // Selecting "Remote" from the read-back must not cut the queries behind it short.
    // Counted from the recall itself: the last sensing command may reach the instrument
    // only after the queue looked empty.
    const QStringList wire = WireLines(host);
    EXPECT_EQ(wire.mid(wire.lastIndexOf(QStringLiteral("mmem:load 2"))), expected);
    EXPECT_EQ(form->StoredCurrentMax, 5);
    EXPECT_TRUE(form->MaxI->text().startsWith(u'5'));
    EXPECT_TRUE(form->MeasureMode1->isChecked());
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(' ').toStdString();
}

TEST_F(Memories, LoadWhilePollingLosesTheRecallButPollingGoesOn)
{
    SimulatorHost host;
    host.Start();
    Connect(host.SlavePath());
    ASSERT_TRUE(DrainQueue());
    form->loadS->click();
    form->modeButton->click();
    form->startButton->click();
    // Wait for a measurement query on its way, its code awaited.
    ASSERT_TRUE(WaitUntil([this] {
        const CommandPipeline& p = form->Pipeline();
        return p.AwaitedReplyCount() > p.QueuedCommandCount() && p.ReplyCodeQueue().startsWith(u"4>");
    }));

    form->LoadFile->click();

    // The answer to that query is read against the recall's code, so the next tick
    // starts afresh: the read-back is dropped, the measurements carry on.
    ASSERT_TRUE(WaitUntil([this] { return !form->Pipeline().CommandQueue().contains(u"mset:"); }));
    const qsizetype before = WireLines(host).size();
    form->VLable->clear();
    ASSERT_TRUE(WaitUntil([this] { return !form->VLable->text().isEmpty(); }));
    const QStringList after = WireLines(host).mid(before);
    EXPECT_TRUE(after.contains("fetch?"));
    EXPECT_FALSE(after.contains("list:step14:comp?"));
}

} // namespace
} // namespace conn_test
