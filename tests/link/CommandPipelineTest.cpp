// The command pipeline on its own, on a clock the test moves: one question on the wire at
// a time, replies placed by shape, answers given up at their deadline and owed after it,
// and the operator's switches of the load input never queued away.
#include "link/CommandPipeline.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

constexpr ReplyCode kFetch = ReplyCode::Measurement;
constexpr MeasurementLayout kMain = MeasurementLayout::Main;

// The text of the line written now, "-" when the head must wait or nothing is queued.
QString Write(CommandPipeline& p, qint64 now)
{
    const std::optional<Exchange> e = p.Next(now, kMain);
    return e ? e->command.text : QStringLiteral("-");
}

QStringList Texts(const CommandPipeline& p)
{
    QStringList texts;
    for (const Command& c : p.Pending())
        texts.append(c.text);
    return texts;
}

// A query and a command behind it: the command waits for the answer, whatever the clock.
TEST(CommandPipeline, AQueryHoldsTheNextLineUntilItsAnswer)
{
    CommandPipeline p;
    p.QueueCommands({ { "*adr 8" }, { "mset:imax?", ReplyCode::CurrentLimit }, { "trig:sour bus" } });
    EXPECT_EQ(Write(p, 0), "*adr 8");
    EXPECT_FALSE(p.OnTheWire()) << "a command awaits no answer";
    EXPECT_EQ(Write(p, 300), "mset:imax?");
    EXPECT_EQ(Write(p, 600), "-") << "the answer is awaited";
    EXPECT_EQ(Write(p, 1299), "-");
    const Placed placed = p.Place("30.000A", 1299);
    EXPECT_EQ(placed.placement, Placement::Answer);
    EXPECT_EQ(placed.exchange->command.text, "mset:imax?");
    EXPECT_EQ(Write(p, 1299), "trig:sour bus");
    EXPECT_TRUE(p.Idle());
    EXPECT_EQ(p.LinesWritten(), 3);
}

// Every reply finds its place, or is dropped as what it is; none is read as the answer of
// a query it was not shaped for.
TEST(CommandPipeline, RepliesArePlacedByWhatIsAwaitedAndTheirShape)
{
    struct Case
    {
        const char* name;
        std::vector<Command> queue; // written one by one, answers given up at 1000 ms each
        qint64 giveUpAt; // the first query is given up then (0: it stays on the wire)
        qint64 at; // when the reply comes
        const char* reply;
        Placement placement;
        const char* concerns; // the query the placement names, "" for none
    };
    const Command imax { "mset:imax?", ReplyCode::CurrentLimit };
    const Command vmax { "mset:vmax?", ReplyCode::VoltageLimit };
    const Command fetch { "fetch?", kFetch };
    const Case cases[] = {
        { "shaped answer", { imax }, 0, 100, "30.000A\r", Placement::Answer, "mset:imax?" },
        { "the instrument has nothing to say", { imax }, 0, 100, "err/1", Placement::Ignored, "mset:imax?" },
        { "a reading cut after its voltage", { fetch }, 0, 100, "11.94V", Placement::Misshapen, "fetch?" },
        { "another query's unit", { vmax }, 0, 100, "30.000A", Placement::Misshapen, "mset:vmax?" },
        { "nothing asked", {}, 0, 100, "30.000A", Placement::Unasked, "" },
        { "a command asks nothing", { { "load on" } }, 0, 100, "OK", Placement::Unasked, "" },
        { "inside the guard, any shape", { imax }, 1000, 1199, "garbage", Placement::Late, "mset:imax?" },
        { "after the guard, unshaped", { imax }, 1000, 1200, "garbage", Placement::Unasked, "" },
        { "after the guard, shaped as owed", { imax }, 1000, 2999, "30.000A", Placement::Late, "mset:imax?" },
        { "once the debt has lapsed", { imax }, 1000, 3000, "30.000A", Placement::Unasked, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CommandPipeline p;
        p.QueueCommands(c.queue);
        const std::optional<Exchange> written = p.Next(0, kMain);
        if (c.giveUpAt > 0) {
            ASSERT_TRUE(p.GiveUp(written->line, c.giveUpAt));
        }
        const Placed placed = p.Place(c.reply, c.at);
        EXPECT_EQ(placed.placement, c.placement);
        EXPECT_EQ(placed.exchange ? placed.exchange->command.text : QString(), c.concerns);
        EXPECT_FALSE(p.OnTheWire()) << "no reply leaves its query waiting";
    }
}

// After an answer is given up: nothing for the guard; then lines whose answers cannot be
// taken for the owed one, and those that could only once it came or a second time-out ran.
TEST(CommandPipeline, AGivenUpAnswerHoldsBackOnlyWhatCouldBeTakenForIt)
{
    struct Case
    {
        const char* name;
        Command next;
        qint64 at;
        bool writes;
    };
    const Case cases[] = {
        { "a command inside the guard", { "load:mode cc" }, 1199, false },
        { "a command after the guard", { "load:mode cc" }, 1200, true },
        { "a query of another shape", { "mset:rsen?", ReplyCode::Sense }, 1200, true },
        { "a query of the same shape", { "mset:vmax?", ReplyCode::VoltageLimit }, 2999, false },
        { "the same shape, the debt lapsed", { "mset:vmax?", ReplyCode::VoltageLimit }, 3000, true },
        { "load off, even inside the guard", { kInputOff }, 1000, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CommandPipeline p;
        p.QueueCommand("mset:imax?", ReplyCode::CurrentLimit);
        const qint64 line = p.Next(0, kMain)->line;
        EXPECT_FALSE(p.GiveUp(line + 1, 1000)) << "another line's deadline gives nothing up";
        ASSERT_TRUE(p.GiveUp(line, 1000));
        p.QueueCommand(c.next.text, c.next.code);
        EXPECT_EQ(Write(p, c.at) != "-", c.writes);
    }
    // The late answer settles the debt: the same shape may go at once.
    CommandPipeline p;
    p.QueueCommand("mset:imax?", ReplyCode::CurrentLimit);
    p.GiveUp(p.Next(0, kMain)->line, 1000);
    p.QueueCommand("mset:vmax?", ReplyCode::VoltageLimit);
    EXPECT_EQ(Write(p, 1500), "-");
    EXPECT_EQ(p.Place("30.000A", 1600).placement, Placement::Late);
    EXPECT_EQ(p.Owed(), 0);
    EXPECT_EQ(Write(p, 1600), "mset:vmax?");
    // An instrument that answered 1.6 s late once is waited for twice as long from then on.
    p.QueueCommand("mset:pmax?", ReplyCode::PowerLimit);
    p.GiveUp(p.OnTheWire()->line, 2600);
    EXPECT_EQ(Write(p, 4799), "-");
    EXPECT_EQ(Write(p, 4800), "mset:pmax?");
}

// A reply that does not fit is dropped, and what follows it is never read as the answer:
// a pause may have cut it in two.
TEST(CommandPipeline, WhatFollowsAMisshapenReplyIsNotItsAnswer)
{
    CommandPipeline p;
    p.QueueCommands({ { "mset:pmax?", ReplyCode::PowerLimit }, { "mset:von?", ReplyCode::OnVoltage } });
    EXPECT_EQ(Write(p, 0), "mset:pmax?");
    EXPECT_EQ(p.Place("300.", 120).placement, Placement::Misshapen);
    EXPECT_EQ(Write(p, 199), "-") << "the guard";
    EXPECT_EQ(p.Place("000W", 199).placement, Placement::Late) << "its rest";
    EXPECT_EQ(Write(p, 320), "mset:von?");
}

// "load off" goes ahead of everything and past an answer awaited, and no replacement,
// switch or poll drops it.
TEST(CommandPipeline, TheSwitchOffIsNeverQueuedAway)
{
    CommandPipeline p;
    p.QueueCommands({ { "fetch?", kFetch }, { "load:mode bat" } });
    EXPECT_EQ(Write(p, 0), "fetch?");
    p.QueueCommands({ { kInputOn }, { "fetch?", kFetch } });
    p.QueueInputOff();
    EXPECT_EQ(Texts(p), (QStringList { kInputOff, "load:mode bat" })) << "the pending load on and poll go";
    p.ReplaceQueue({ { "mmem:save 3" } });
    p.QueueInputOn();
    EXPECT_EQ(Texts(p), (QStringList { kInputOff, "mmem:save 3", kInputOn }));
    EXPECT_EQ(Write(p, 300), kInputOff) << "past the poll on the wire";
    EXPECT_EQ(Write(p, 600), "-");
    EXPECT_EQ(p.Place("12.00V,0.000A,0.000W", 600).placement, Placement::Answer);
    EXPECT_EQ(Write(p, 600), "mmem:save 3");
    p.ReplaceQueue({ { "list:rep 1" } });
    EXPECT_EQ(Texts(p), (QStringList { kInputOn, "list:rep 1" })) << "nor is the switch-on";
}

// Polls never pile up: one waits at most, and switching on drops those from before.
TEST(CommandPipeline, PollsAreCoalescedAndSwitchingOnDropsTheOldOnes)
{
    CommandPipeline p;
    const Command fetch { "fetch?", kFetch };
    EXPECT_TRUE(p.QueuePoll(fetch));
    for (int tick = 0; tick < 1000; ++tick)
        EXPECT_FALSE(p.QueuePoll(fetch));
    EXPECT_EQ(Write(p, 0), "fetch?");
    EXPECT_TRUE(p.QueuePoll(fetch)) << "one may wait while one is on the wire";
    p.QueueCommand(kInputOn);
    p.QueueInputOn();
    EXPECT_EQ(Texts(p), QStringList { kInputOn });
}

TEST(CommandPipeline, UnfitCommandTextsAreRefusedAndNothingChanges)
{
    struct Case
    {
        const char* text;
        const char* named;
    };
    const Case cases[] = { { "load:curr 1>2", "\">\"" }, { "load:curr 1\r", "carriage return" },
        { "load:curr 1\nload on", "line feed" }, { "mmem:save 5;load on", "\";\"" } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CommandPipeline p;
        p.QueueCommand("load off");
        try {
            p.QueueCommand(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const EBadCommand& e) {
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
        }
        // Several commands go all or none: a list step is never sent by halves.
        EXPECT_THROW(p.ReplaceQueue({ { "load on" }, { c.text } }), EBadCommand);
        EXPECT_THROW(p.QueueCommands({ { "list:step4:lmod cc" }, { c.text } }), EBadCommand);
        EXPECT_EQ(Texts(p), QStringList { "load off" });
    }
}

TEST(CommandPipeline, ClearForgetsPendingAwaitedAndOwed)
{
    CommandPipeline p;
    p.QueueCommands({ { "mset:imax?", ReplyCode::CurrentLimit }, { "mset:vmax?", ReplyCode::VoltageLimit } });
    p.GiveUp(p.Next(0, kMain)->line, 1000);
    p.Clear();
    EXPECT_TRUE(p.Idle());
    EXPECT_EQ(p.Owed(), 0);
    EXPECT_EQ(p.Place("30.000A", 1100).placement, Placement::Unasked);
}

TEST(ReplyText, HoldsEveryByteOfTheChunkAndLinesAreEightBit)
{
    const char chunk[] = { '1', '2', '.', '3', '4', 'V', '\0', '\xB5', '\r', '\n' };
    const QString text = ReplyTextFromChunk(chunk, sizeof chunk);
    ASSERT_EQ(text.size(), 10);
    EXPECT_EQ(text[6], QChar(0));
    EXPECT_EQ(text[7].unicode(), 0xB5);
    EXPECT_EQ(text.right(2), "\r\n");
    EXPECT_EQ(CommandPipeline::LineOf({ { "*adr 8" } }), QByteArray("*adr 8\r"));
}

} // namespace
