#pragma once
// The command queue and the reply-code queue that pair every command sent to the
// instrument with the way its answer must be read. Time-driven: one command leaves per
// pacing tick whether or not the previous one was answered, and an answer only counts
// if it arrives before the next tick.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

// A command text that would split into several commands or lines on the wire.
class EBadCommand : public std::invalid_argument
{
public:
    using std::invalid_argument::invalid_argument;
};

class CommandPipeline
{
public:
    using Entry = std::pair<QString, int>; // command text, reply code

    // Appends one command behind everything pending. Throws EBadCommand (and queues
    // nothing) when the text holds ">", a carriage return or a line feed.
    void QueueCommand(const QString& command, int replyCode);

    // Appends several commands behind everything pending, all or none: one unfit text
    // refuses the lot, so the instrument never gets half of a step's definition.
    void QueueCommands(const std::vector<Entry>& commands);

    // Discards every pending command and every awaited reply code, then queues these.
    // Throws EBadCommand (and changes nothing) when any text is unfit.
    void ReplaceQueue(const std::vector<Entry>& commands);

    // Empties both queues and both counts (start-up).
    void Clear();

    // One pacing tick: drops the codes of unanswered commands, resets the queues when
    // the counts disagree the other way, and returns the next line to write (command
    // plus carriage return, 8-bit) if any command is pending.
    std::optional<QByteArray> Tick();

    // The frame every reply is read in: the awaited count goes down by one, and the
    // code at the head of the reply-code queue is taken off and returned. Returns
    // nothing when the head is not a number (an empty queue): the caller reports it.
    std::optional<int> TakeReplyCode();

    const QString& CommandQueue() const { return FCommandQueue; }
    const QString& ReplyCodeQueue() const { return FReplyCodeQueue; }
    int32_t QueuedCommandCount() const { return FQueuedCount; }
    int32_t AwaitedReplyCount() const { return FAwaitedCount; }

private:
    static void CheckCommand(const QString& command);
    static QString TakeHead(QString& queue);

    QString FCommandQueue; // each command followed by ">"
    QString FReplyCodeQueue; // each code in decimal followed by ">"
    int32_t FQueuedCount = 0;
    int32_t FAwaitedCount = 0;
};

// The text of one received chunk: one character per byte, NUL bytes and any
// terminator included, no code-page conversion.
QString ReplyTextFromChunk(const char* buffer, uint16_t length);
