#pragma once
// The command queue and the one question on the wire. The instrument's replies carry no
// tag, so a reply is placed by order, timing and shape, never by a guess:
// - one question at a time: a query is written only when no answer is awaited, and its
//   answer is awaited until its deadline (the reply time-out after the line was written);
// - a reply is read as the answer only when it has the answer's shape;
// - an answer given up may still come: for a short guard nothing is written and whatever
//   arrives is its late answer, and until the answer comes (or two more time-outs have
//   passed, longer for an instrument whose answers have come late) no query is written
//   whose answer could look like it;
// - a reply that does not fit gives its query up the same way: what follows it may be its
//   own rest, cut off by a pause.
// Lines that expect no answer are not held up by an answer awaited only when they switch
// the load input off: that line goes ahead of everything.
//
// No clock of its own: the session passes the time (milliseconds of one monotonic clock).
#include "replies/ReplyCodes.h"
#include "replies/ReplyShapes.h"

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

inline const QString kInputOn = QStringLiteral("load on");
inline const QString kInputOff = QStringLiteral("load off");

// A line as it went to the wire, and for a query the answer it waits for.
struct Exchange
{
    Command command;
    qint64 line = 0; // the how-manieth line this pipeline wrote, from 1
    qint64 writtenAt = 0;
    MeasurementLayout layout = MeasurementLayout::Main; // how a measurement is read
};

// What became of a reply.
enum class Placement {
    Answer, // the answer to the query on the wire
    Ignored, // the instrument's "nothing to say" (empty, or holding "/"): the query's answer all the same
    Misshapen, // not shaped as the answer awaited: dropped, and the query given up
    Late, // the late answer to a query given up: dropped
    Unasked, // no answer awaited and none owed: dropped
};

struct Placed
{
    Placement placement = Placement::Unasked;
    std::optional<Exchange> exchange; // the query answered, still waiting, or given up
};

class CommandPipeline
{
public:
    static constexpr int kDefaultReplyTimeoutMs = 1000;
    // Quiet after an answer was given up: what arrives meanwhile is its late answer.
    static constexpr int kGuardMs = 200;
    // An answer given up is owed for at most this many reply time-outs.
    static constexpr int kLongestOwedTimeouts = 10;

    // How long the answer to a query is awaited after its line was written, counting the
    // chunk interval that ends the reply. From 1 ms on.
    void SetReplyTimeout(int ms);
    int ReplyTimeout() const { return FReplyTimeoutMs; }

    // ---- the queue

    // Appends one command behind everything pending. Throws EBadCommand (and queues
    // nothing) when the text holds ">", ";", a carriage return or a line feed: each would
    // split it into several commands or lines on the wire.
    void QueueCommand(const QString& text, ReplyCode code = ReplyCode::None);
    // Appends several commands behind everything pending, all or none: one unfit text
    // refuses the lot, so the instrument never gets half of a step's definition.
    void QueueCommands(const std::vector<Command>& commands);
    // Discards every command not yet sent, except the switches of the load input, and
    // queues these behind them.
    // Throws EBadCommand (and changes nothing) when any text is unfit.
    void ReplaceQueue(const std::vector<Command>& commands);
    // Queues a measurement query unless one is pending already; false then.
    bool QueuePoll(const Command& poll);
    // "load on" behind everything pending, in place of one still pending; polls still
    // pending go (their answers would belong to no run).
    void QueueInputOn();
    // "load off" ahead of everything pending, in place of a pending switch either way;
    // polls still pending go.
    void QueueInputOff();
    // Empties the queue and forgets the query on the wire and every answer owed (start-up,
    // a closed port).
    void Clear();

    // ---- the wire

    // The next line to write now, taken off the queue: nothing when the queue is empty or
    // the head must wait (an answer awaited, the guard, an owed answer it could be taken
    // for). A query becomes the one on the wire.
    std::optional<Exchange> Next(qint64 now, MeasurementLayout layout);
    // The line of an exchange as written: its text, a carriage return, 8-bit.
    static QByteArray LineOf(const Exchange& exchange);

    // Where a reply belongs. An answer ends the exchange; a late one settles its debt.
    Placed Place(const QString& reply, qint64 now);
    // The deadline of `line` has passed: when it is still the query on the wire, it is
    // given up and returned; its answer is owed, and the guard begins.
    std::optional<Exchange> GiveUp(qint64 line, qint64 now);
    // When the answer to the query on the wire stops being awaited.
    qint64 DeadlineOf(const Exchange& exchange) const { return exchange.writtenAt + FReplyTimeoutMs; }

    const std::deque<Command>& Pending() const { return FPending; }
    const std::optional<Exchange>& OnTheWire() const { return FOnTheWire; }
    // Answers given up that may still come.
    int Owed() const { return static_cast<int>(FOwed.size()); }
    // Nothing to send and no answer awaited.
    bool Idle() const { return FPending.empty() && !FOnTheWire; }
    qint64 LinesWritten() const { return FLines; }

private:
    static void CheckCommand(const QString& text);
    void ForgetExpiredDebts(qint64 now);
    // The answer to `e` is no longer awaited: it is owed, and the guard begins.
    void Abandon(const Exchange& e, qint64 now);
    bool MayWrite(const Command& head, qint64 now);

    struct Debt
    {
        Exchange exchange;
        qint64 until = 0;
    };

    int FReplyTimeoutMs = kDefaultReplyTimeoutMs;
    std::deque<Command> FPending; // not yet sent, in sending order
    std::optional<Exchange> FOnTheWire; // the query whose answer is awaited
    std::vector<Debt> FOwed; // answers given up that may still come, oldest first
    std::optional<Exchange> FLastGivenUp;
    qint64 FGuardUntil = 0; // nothing is written before, and what arrives is late
    qint64 FLatestAnswerMs = 0; // the longest a late answer took, from its line on
    qint64 FLines = 0;
};

// The text of one received chunk: one character per byte, NUL bytes and any
// terminator included, no code-page conversion.
QString ReplyTextFromChunk(const char* buffer, uint16_t length);
