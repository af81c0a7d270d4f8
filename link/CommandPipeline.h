#pragma once
// The command queue and the codes of the answers awaited. Every command travels with the
// code its answer must be read with. Time-driven: one command leaves per pacing tick
// whether or not the previous one was answered, and an answer counts only if it arrives
// before the next tick.
#include "replies/ReplyCodes.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <vector>

// A command text that would split into several commands or lines on the wire.
class EBadCommand : public std::invalid_argument
{
public:
    using std::invalid_argument::invalid_argument;
};

struct Command
{
    QString text;
    ReplyCode code = ReplyCode::None;
    bool operator==(const Command&) const = default;
};

// An answer awaited for a command on the wire. Doubtful when the command before it went
// unanswered with another code: the first reply to come may be that late answer.
struct AwaitedAnswer
{
    ReplyCode code = ReplyCode::None;
    bool doubtful = false;
    bool operator==(const AwaitedAnswer&) const = default;
};

class CommandPipeline
{
public:
    // Appends one command behind everything pending. Throws EBadCommand (and queues
    // nothing) when the text holds ">", ";", a carriage return or a line feed: each would
    // split it into several commands or lines on the wire.
    void QueueCommand(const QString& text, ReplyCode code = ReplyCode::None);

    // Appends several commands behind everything pending, all or none: one unfit text
    // refuses the lot, so the instrument never gets half of a step's definition.
    void QueueCommands(const std::vector<Command>& commands);

    // Discards every command not yet sent and queues these instead. The codes of
    // commands already on the wire stay awaited: their answers are still read with their
    // own codes, never with a new command's. Throws EBadCommand (and changes nothing)
    // when any text is unfit.
    void ReplaceQueue(const std::vector<Command>& commands);

    // Drops the pending commands whose text is one of `texts`, then queues `command`: a
    // command that makes the earlier ones moot (the input switched on and off faster than
    // the line carries it) goes out alone. Throws EBadCommand (and changes nothing) when
    // the text is unfit.
    void QueueSuperseding(const Command& command, const QStringList& texts);

    // Empties the queue and forgets every awaited answer (start-up, a closed port).
    void Clear();

    // One pacing tick: forgets the answers that did not come in time, then returns the
    // next line to write (command plus carriage return, 8-bit) if any command is pending.
    // `outstanding` names answers from before that may still come (those given up now
    // among them, or a reply its owner could not place): the next answer is doubtful when
    // one of them would be read another way.
    std::optional<QByteArray> Tick(const std::vector<ReplyCode>& outstanding = {});

    // The frame every reply is read in: the answer awaited for the oldest command on the
    // wire, taken off. Nothing when no answer is awaited: the reply came unasked, and
    // nothing pending is touched.
    std::optional<AwaitedAnswer> TakeReplyCode();

    const std::deque<Command>& Pending() const { return FPending; }
    const std::deque<AwaitedAnswer>& Awaited() const { return FAwaited; }
    // Nothing to send and nothing awaited.
    bool Idle() const { return FPending.empty() && FAwaited.empty(); }

private:
    static void CheckCommand(const QString& text);

    std::deque<Command> FPending; // not yet sent, in sending order
    std::deque<AwaitedAnswer> FAwaited; // sent, answer not yet come; at most one between ticks
};

// The text of one received chunk: one character per byte, NUL bytes and any
// terminator included, no code-page conversion.
QString ReplyTextFromChunk(const char* buffer, uint16_t length);
