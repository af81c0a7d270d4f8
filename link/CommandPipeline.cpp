#include "link/CommandPipeline.h"

#include "replies/ReadBack.h"

#include <algorithm>

void CommandPipeline::CheckCommand(const QString& text)
{
    for (QChar c : text) {
        const char* name = nullptr;
        if (c == u'>')
            name = "\">\"";
        else if (c == u';')
            name = "\";\"";
        else if (c == u'\r')
            name = "a carriage return";
        else if (c == u'\n')
            name = "a line feed";
        if (name)
            throw EBadCommand(std::string("The command \"") + text.toStdString() + "\" holds " + name
                + " and cannot be sent.");
    }
}

void CommandPipeline::SetReplyTimeout(int ms)
{
    FReplyTimeoutMs = std::max(ms, 1);
}

void CommandPipeline::QueueCommand(const QString& text, ReplyCode code)
{
    CheckCommand(text);
    FPending.push_back({ text, code });
}

void CommandPipeline::QueueCommands(const std::vector<Command>& commands)
{
    for (const Command& c : commands)
        CheckCommand(c.text);
    FPending.insert(FPending.end(), commands.begin(), commands.end());
}

void CommandPipeline::ReplaceQueue(const std::vector<Command>& commands)
{
    for (const Command& c : commands)
        CheckCommand(c.text);
    // The operator's input switches are never replaced away: a lost "load off" leaves the
    // load drawing current while the window says it stopped, a lost "load on" a run that
    // waits for readings for ever.
    std::erase_if(FPending, [](const Command& c) { return c.text != kInputOff && c.text != kInputOn; });
    FPending.insert(FPending.end(), commands.begin(), commands.end());
}

bool CommandPipeline::QueuePoll(const Command& poll)
{
    if (std::any_of(FPending.begin(), FPending.end(), [&](const Command& c) { return c.code == poll.code; }))
        return false;
    QueueCommand(poll.text, poll.code);
    return true;
}

void CommandPipeline::QueueInputOn()
{
    std::erase_if(
        FPending, [](const Command& c) { return c.text == kInputOn || c.code == ReplyCode::Measurement; });
    FPending.push_back({ kInputOn });
}

void CommandPipeline::QueueInputOff()
{
    // Polls still pending would read a load that no run watches any more.
    std::erase_if(FPending, [](const Command& c) {
        return c.text == kInputOn || c.text == kInputOff || c.code == ReplyCode::Measurement;
    });
    FPending.push_front({ kInputOff });
}

void CommandPipeline::Clear()
{
    FPending.clear();
    FOnTheWire.reset();
    FOwed.clear();
    FLastGivenUp.reset();
    FGuardUntil = 0;
    FLatestAnswerMs = 0;
}

void CommandPipeline::ForgetExpiredDebts(qint64 now)
{
    std::erase_if(FOwed, [now](const Debt& d) { return now >= d.until; });
}

bool CommandPipeline::MayWrite(const Command& head, qint64 now)
{
    if (head.text == kInputOff)
        return true; // nothing it says can be mistaken for an answer, and the load must stop
    if (FOnTheWire || now < FGuardUntil)
        return false;
    if (head.code == ReplyCode::None)
        return true;
    ForgetExpiredDebts(now);
    return std::none_of(FOwed.begin(), FOwed.end(),
        [&](const Debt& d) { return ShapesOverlap(d.exchange.command.code, head.code); });
}

std::optional<Exchange> CommandPipeline::Next(qint64 now, MeasurementLayout layout)
{
    if (FPending.empty() || !MayWrite(FPending.front(), now))
        return std::nullopt;
    Exchange e { FPending.front(), ++FLines, now, layout };
    FPending.pop_front();
    if (e.command.code != ReplyCode::None)
        FOnTheWire = e;
    return e;
}

QByteArray CommandPipeline::LineOf(const Exchange& exchange)
{
    QByteArray line = exchange.command.text.toLatin1();
    line.append('\r');
    return line;
}

Placed CommandPipeline::Place(const QString& reply, qint64 now)
{
    ForgetExpiredDebts(now);
    const auto owedFor = [&]() -> std::optional<Exchange> {
        const auto at = std::find_if(FOwed.begin(), FOwed.end(),
            [&](const Debt& d) { return FitsShape(d.exchange.command.code, d.exchange.layout, reply); });
        if (at == FOwed.end())
            return std::nullopt;
        const Exchange e = at->exchange;
        FOwed.erase(at);
        FLatestAnswerMs = std::max(FLatestAnswerMs, now - e.writtenAt);
        return e;
    };
    if (FOnTheWire) {
        const Exchange e = *FOnTheWire;
        const ReplyCode code = e.command.code;
        if (code == ReplyCode::Verbatim || FitsShape(code, e.layout, reply)) {
            FOnTheWire.reset();
            return { Placement::Answer, e };
        }
        if (IsDroppedReply(reply)) {
            FOnTheWire.reset();
            return { Placement::Ignored, e };
        }
        // No query on the wire could be taken for an owed answer, so this cannot be both.
        if (auto late = owedFor())
            return { Placement::Late, late };
        // Not the answer, and the answer can no longer be told from what follows (the rest
        // of this reply, if a pause cut it): the query is given up as if its time had run out.
        Abandon(e, now);
        return { Placement::Misshapen, e };
    }
    if (auto late = owedFor())
        return { Placement::Late, late };
    if (now < FGuardUntil && FLastGivenUp)
        return { Placement::Late, FLastGivenUp };
    return { Placement::Unasked, std::nullopt };
}

std::optional<Exchange> CommandPipeline::GiveUp(qint64 line, qint64 now)
{
    if (!FOnTheWire || FOnTheWire->line != line)
        return std::nullopt;
    const Exchange e = *FOnTheWire;
    Abandon(e, now);
    return e;
}

void CommandPipeline::Abandon(const Exchange& e, qint64 now)
{
    FOnTheWire.reset();
    // Owed for two more time-outs at least, and for twice as long as the latest answer this
    // instrument has given: one that answers late once will do so again, a little later.
    const qint64 learned = std::min<qint64>(2 * FLatestAnswerMs, kLongestOwedTimeouts * FReplyTimeoutMs);
    FOwed.push_back({ e, std::max(now + 2 * FReplyTimeoutMs, e.writtenAt + learned) });
    FLastGivenUp = e;
    // An answer no other answer can be taken for needs no quiet: a late one is told by its
    // shape (a silent instrument's "*idn?" then costs no more than its time-out).
    if (FamilyOf(e.command.code) != ShapeFamily::Identity)
        FGuardUntil = now + kGuardMs;
}

QString ReplyTextFromChunk(const char* buffer, uint16_t length)
{
    return QString::fromLatin1(buffer, length);
}
