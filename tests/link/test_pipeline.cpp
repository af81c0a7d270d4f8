// The command pipeline on its own: queues, counts, the pacing tick and the reply frame,
// driven as the window drives it (ticks every 300 ms, replies in between).
#include "link/CommandPipeline.h"

#include <gtest/gtest.h>

namespace {

QString Sent(const std::optional<QByteArray>& line)
{
    return line ? QString::fromLatin1(*line) : QStringLiteral("<nothing>");
}

TEST(CommandPipeline, QueueAppendsCommandsAndCodesWithSeparators)
{
    CommandPipeline p;
    p.QueueCommand("load off", 0);
    p.QueueCommand("mset:imax?", 81);
    EXPECT_EQ(p.CommandQueue(), "load off>mset:imax?>");
    EXPECT_EQ(p.ReplyCodeQueue(), "0>81>");
    EXPECT_EQ(p.QueuedCommandCount(), 2);
    EXPECT_EQ(p.AwaitedReplyCount(), 2);
}

TEST(CommandPipeline, ReplaceDiscardsPendingAndAwaited)
{
    CommandPipeline p;
    p.QueueCommand("fetch?", 4);
    EXPECT_EQ(Sent(p.Tick()), "fetch?\r"); // code 4 is now awaited
    p.QueueCommand("mset:vmax 10", 0);
    p.ReplaceQueue({ { "load:mode cc", 0 }, { "load:curr 1.5", 0 } });
    EXPECT_EQ(p.CommandQueue(), "load:mode cc>load:curr 1.5>");
    EXPECT_EQ(p.ReplyCodeQueue(), "0>0>");
    EXPECT_EQ(p.QueuedCommandCount(), 2);
    EXPECT_EQ(p.AwaitedReplyCount(), 2);
}

TEST(CommandPipeline, EmptyQueueTickSendsNothingAndChangesNothing)
{
    CommandPipeline p;
    EXPECT_FALSE(p.Tick());
    EXPECT_EQ(p.QueuedCommandCount(), 0);
    EXPECT_EQ(p.AwaitedReplyCount(), 0);
    EXPECT_TRUE(p.ReplyCodeQueue().isEmpty());
}

TEST(CommandPipeline, CodeZeroIsDroppedAtSendAndQueryCodeStaysAtHead)
{
    CommandPipeline p;
    p.QueueCommand("load off", 0);
    p.QueueCommand("fetch?", 4);
    EXPECT_EQ(Sent(p.Tick()), "load off\r");
    EXPECT_EQ(p.ReplyCodeQueue(), "4>");
    EXPECT_EQ(Sent(p.Tick()), "fetch?\r");
    EXPECT_EQ(p.ReplyCodeQueue(), "4>"); // awaited until the reply or the next tick
    EXPECT_EQ(p.AwaitedReplyCount() - p.QueuedCommandCount(), 1);
    EXPECT_FALSE(p.Tick()); // no reply came: the code is dropped
    EXPECT_TRUE(p.ReplyCodeQueue().isEmpty());
    EXPECT_EQ(p.AwaitedReplyCount(), 0);
}

TEST(CommandPipeline, ReplyInTimeConsumesItsCode)
{
    CommandPipeline p;
    p.QueueCommand("mset:imax?", 81);
    p.QueueCommand("mset:vmax?", 82);
    EXPECT_EQ(Sent(p.Tick()), "mset:imax?\r");
    EXPECT_EQ(p.TakeReplyCode(), 81);
    EXPECT_EQ(p.AwaitedReplyCount(), p.QueuedCommandCount());
    EXPECT_EQ(Sent(p.Tick()), "mset:vmax?\r");
    EXPECT_EQ(p.TakeReplyCode(), 82);
}

TEST(CommandPipeline, LateReplyIsMisreadThenTheNextTickResets)
{
    CommandPipeline p;
    p.QueueCommand("mset:imax?", 81);
    p.QueueCommand("mset:vmax?", 82);
    p.QueueCommand("mset:pmax?", 83);
    EXPECT_EQ(Sent(p.Tick()), "mset:imax?\r");
    // The current-limit reply misses the next tick: 81 is dropped, vmax goes out.
    EXPECT_EQ(Sent(p.Tick()), "mset:vmax?\r");
    EXPECT_EQ(p.TakeReplyCode(), 82); // the late current reply is read as the voltage limit
    // The voltage reply then finds the code of a command not yet sent.
    EXPECT_EQ(p.TakeReplyCode(), 83);
    EXPECT_LT(p.AwaitedReplyCount(), p.QueuedCommandCount());
    EXPECT_FALSE(p.Tick()); // both queues emptied, pmax never sent
    EXPECT_TRUE(p.CommandQueue().isEmpty());
    EXPECT_EQ(p.QueuedCommandCount(), 0);
    EXPECT_EQ(p.AwaitedReplyCount(), 0);
}

TEST(CommandPipeline, ReplaceWhileAwaitingReadsTheLateReplyWithTheNewCode)
{
    CommandPipeline p;
    p.QueueCommand("fetch?", 4);
    p.Tick();
    p.ReplaceQueue({ { "mmem:load 7", 0 } });
    EXPECT_EQ(p.TakeReplyCode(), 0); // the measurement reply meets the recall's code
    EXPECT_FALSE(p.Tick()); // and the next tick discards the replaced commands too
    EXPECT_TRUE(p.CommandQueue().isEmpty());
}

TEST(CommandPipeline, ReplyWithEmptyCodeQueueIsReportedAndThePipelineRecovers)
{
    CommandPipeline p;
    EXPECT_FALSE(p.TakeReplyCode());
    EXPECT_EQ(p.AwaitedReplyCount(), -1);
    EXPECT_FALSE(p.Tick()); // the reset
    EXPECT_EQ(p.AwaitedReplyCount(), 0);
    p.QueueCommand("fetch?", 4);
    EXPECT_EQ(Sent(p.Tick()), "fetch?\r");
    EXPECT_EQ(p.TakeReplyCode(), 4);
}

TEST(CommandPipeline, UnfitCommandTextsAreRefusedAndNothingIsQueued)
{
    struct Case
    {
        const char* text;
        const char* named;
    };
    const Case cases[] = { { "load:curr 1>2", "\">\"" }, { "load:curr 1\r", "carriage return" },
        { "load:curr 1\nload on", "line feed" } };
    for (const Case& c : cases) {
        CommandPipeline p;
        p.QueueCommand("load off", 0);
        try {
            p.QueueCommand(c.text, 0);
            ADD_FAILURE() << c.text;
        } catch (const EBadCommand& e) {
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
        }
        EXPECT_THROW(p.ReplaceQueue({ { "load on", 0 }, { c.text, 0 } }), EBadCommand);
        EXPECT_EQ(p.CommandQueue(), "load off>") << c.text;
        EXPECT_EQ(p.ReplyCodeQueue(), "0>");
        EXPECT_EQ(p.QueuedCommandCount(), 1);
    }
}

TEST(CommandPipeline, AnHourOfPollingNeverHoldsMoreThanTwoFetches)
{
    // Polling and pacing both run every 300 ms; the instrument answers every query.
    CommandPipeline p;
    p.QueueCommand("load on", 0);
    int most = 0;
    for (int tick = 0; tick < 12000; ++tick) {
        p.QueueCommand("fetch?", 4); // polling tick
        most = std::max(most, static_cast<int>(p.CommandQueue().count(QStringLiteral("fetch?"))));
        const auto line = p.Tick(); // pacing tick
        if (line && *line == "fetch?\r")
            ASSERT_EQ(p.TakeReplyCode(), 4);
    }
    EXPECT_LE(most, 2);
}

TEST(CommandPipeline, LinesAreEightBitWithOneCarriageReturn)
{
    CommandPipeline p;
    p.QueueCommand(QStringLiteral("*adr 8"), 0);
    const auto line = p.Tick();
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, QByteArray("*adr 8\r"));
    EXPECT_EQ(line->size(), 7);
}

TEST(ReplyText, HoldsEveryByteOfTheChunk)
{
    const char chunk[] = { '1', '2', '.', '3', '4', 'V', '\0', '\xB5', '\r', '\n' };
    const QString text = ReplyTextFromChunk(chunk, sizeof chunk);
    ASSERT_EQ(text.size(), 10);
    EXPECT_EQ(text[6], QChar(0));
    EXPECT_EQ(text[7].unicode(), 0xB5);
    EXPECT_EQ(text.right(2), "\r\n");
}

TEST(CommandPipeline, SeveralCommandsAreQueuedAllOrNone)
{
    CommandPipeline p;
    p.QueueCommands({ { "list:step3:lmod cv", 0 }, { "list:step3:lev 12,5", 0 } });
    EXPECT_EQ(p.CommandQueue(), "list:step3:lmod cv>list:step3:lev 12,5>");
    EXPECT_EQ(p.QueuedCommandCount(), 2);
    EXPECT_THROW(
        p.QueueCommands({ { "list:step4:lmod cc", 0 }, { "list:step4:comp curr,1,2>x", 0 } }), EBadCommand);
    EXPECT_EQ(p.CommandQueue(), "list:step3:lmod cv>list:step3:lev 12,5>");
    EXPECT_EQ(p.QueuedCommandCount(), 2);
    EXPECT_EQ(p.AwaitedReplyCount(), 2);
}

} // namespace
