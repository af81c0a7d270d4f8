// The command pipeline on its own: the queue, the awaited answers, the pacing tick and
// the reply frame, driven as the session drives it (ticks every 300 ms, replies between).
#include "link/CommandPipeline.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

constexpr ReplyCode kNone = ReplyCode::None;
constexpr ReplyCode kFetch = ReplyCode::Measurement;

QString Sent(const std::optional<QByteArray>& line)
{
    return line ? QString::fromLatin1(*line) : QStringLiteral("<nothing>");
}

// The code a reply is read with, nothing when none is awaited.
std::optional<ReplyCode> Answer(CommandPipeline& p)
{
    const std::optional<AwaitedAnswer> answer = p.TakeReplyCode();
    return answer ? std::optional<ReplyCode>(answer->code) : std::nullopt;
}

QStringList Texts(const CommandPipeline& p)
{
    QStringList texts;
    for (const Command& c : p.Pending())
        texts.append(c.text);
    return texts;
}

TEST(CommandPipeline, TicksSendInOrderAndKeepOnlyQueryCodesAwaited)
{
    CommandPipeline p;
    EXPECT_FALSE(p.Tick()) << "an empty queue sends nothing";
    p.QueueCommand("load off");
    p.QueueCommand("mset:imax?", ReplyCode::CurrentLimit);
    p.QueueCommand("mset:vmax?", ReplyCode::VoltageLimit);
    p.QueueCommand("fetch?", kFetch);

    EXPECT_EQ(Sent(p.Tick()), "load off\r");
    EXPECT_TRUE(p.Awaited().empty()) << "no answer is awaited for a command";
    EXPECT_EQ(Sent(p.Tick()), "mset:imax?\r");
    EXPECT_EQ(Answer(p), ReplyCode::CurrentLimit) << "answered in time";
    EXPECT_EQ(Sent(p.Tick()), "mset:vmax?\r");
    // No answer before the next tick: its code is forgotten and fetch? goes out. The first
    // reply may now be the voltage limit's late answer.
    EXPECT_EQ(Sent(p.Tick()), "fetch?\r");
    EXPECT_EQ(p.Awaited(), (std::deque<AwaitedAnswer> { { kFetch, true } }));
    EXPECT_FALSE(p.Tick());
    EXPECT_TRUE(p.Idle());
}

// A replacement while an answer is on its way: the answer is still read with the code of
// the command that asked for it, and every new command goes out.
TEST(CommandPipeline, ReplaceKeepsTheCodeOfTheCommandOnTheWire)
{
    CommandPipeline p;
    p.QueueCommand("fetch?", kFetch);
    p.Tick();
    p.QueueCommand("fetch?", kFetch);
    p.ReplaceQueue({ { "mmem:load 7" }, { "mset:imax?", ReplyCode::CurrentLimit } });
    EXPECT_EQ(Texts(p), (QStringList { "mmem:load 7", "mset:imax?" })) << "the pending fetch? is gone";

    EXPECT_EQ(Answer(p), kFetch) << "the measurement is read as one";
    EXPECT_EQ(Sent(p.Tick()), "mmem:load 7\r");
    EXPECT_EQ(Sent(p.Tick()), "mset:imax?\r");
    EXPECT_EQ(Answer(p), ReplyCode::CurrentLimit);
}

// A reply nobody asked for (an answer to a command without code, an echo, a late second
// chunk) is not read with the code of a command not yet sent, and drops nothing.
TEST(CommandPipeline, UnaskedReplyTakesNoCodeAndDropsNothing)
{
    CommandPipeline p;
    p.QueueCommand("load on");
    p.QueueCommand("fetch?", kFetch);
    EXPECT_FALSE(Answer(p));
    EXPECT_EQ(Sent(p.Tick()), "load on\r");
    EXPECT_FALSE(Answer(p));
    EXPECT_EQ(Sent(p.Tick()), "fetch?\r");
    EXPECT_EQ(Answer(p), kFetch);
}

// After a query that went unanswered, the next answer may be its late one: doubtful,
// unless both would be read the same way (one poll after another).
TEST(CommandPipeline, AnAnswerAfterAnUnansweredQueryOfAnotherKindIsDoubtful)
{
    CommandPipeline p;
    p.QueueCommands({ { "fetch?", kFetch }, { "fetch?", kFetch }, { "mset:imax?", ReplyCode::CurrentLimit },
        { "load off" }, { "mset:vmax?", ReplyCode::VoltageLimit } });
    std::vector<bool> doubtful;
    for (int tick = 0; tick < 5; ++tick) {
        p.Tick();
        doubtful.push_back(!p.Awaited().empty() && p.Awaited().front().doubtful);
    }
    // fetch?, fetch? (same kind), imax? (after a poll), load off (no answer), vmax? (after nothing awaited)
    EXPECT_EQ(doubtful, (std::vector<bool> { false, false, true, false, false }));
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

TEST(CommandPipeline, ASupersedingCommandDropsOnlyWhatItNamesAndOnlyUnsent)
{
    CommandPipeline p;
    const QStringList switches { "load on", "load off" };
    p.QueueCommand("load on");
    p.Tick(); // sent: it stays sent
    p.QueueCommand("load off");
    p.QueueCommand("fetch?", kFetch);
    p.QueueCommand("load on");
    p.QueueSuperseding({ "load off" }, switches);
    EXPECT_EQ(Texts(p), (QStringList { "fetch?", "load off" }));
    EXPECT_THROW(p.QueueSuperseding({ "load on>x" }, switches), EBadCommand);
    EXPECT_EQ(Texts(p), (QStringList { "fetch?", "load off" }));
}

TEST(CommandPipeline, AnHourOfPollingNeverHoldsMoreThanTwoFetches)
{
    // Polling and pacing both run every 300 ms; the instrument answers every query.
    CommandPipeline p;
    p.QueueCommand("load on");
    size_t most = 0;
    for (int tick = 0; tick < 12000; ++tick) {
        p.QueueCommand("fetch?", kFetch); // polling tick
        most = std::max(most, p.Pending().size());
        const auto line = p.Tick(); // pacing tick
        if (line && *line == "fetch?\r") {
            ASSERT_EQ(Answer(p), kFetch);
        }
    }
    EXPECT_LE(most, 2u);
}

TEST(CommandPipeline, ClearForgetsPendingAndAwaited)
{
    CommandPipeline p;
    p.QueueCommand("mset:imax?", ReplyCode::CurrentLimit);
    p.QueueCommand("load off");
    p.Tick();
    p.Clear();
    EXPECT_TRUE(p.Idle());
    EXPECT_FALSE(Answer(p));
}

TEST(ReplyText, HoldsEveryByteOfTheChunkAndLinesAreEightBit)
{
    const char chunk[] = { '1', '2', '.', '3', '4', 'V', '\0', '\xB5', '\r', '\n' };
    const QString text = ReplyTextFromChunk(chunk, sizeof chunk);
    ASSERT_EQ(text.size(), 10);
    EXPECT_EQ(text[6], QChar(0));
    EXPECT_EQ(text[7].unicode(), 0xB5);
    EXPECT_EQ(text.right(2), "\r\n");

    CommandPipeline p;
    p.QueueCommand(QStringLiteral("*adr 8"));
    EXPECT_EQ(p.Tick(), QByteArray("*adr 8\r"));
}

} // namespace
