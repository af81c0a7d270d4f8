#include "link/CommandPipeline.h"

namespace {
constexpr QChar kSeparator = u'>';
}

void CommandPipeline::CheckCommand(const QString& command)
{
    for (QChar c : command) {
        const char* name = nullptr;
        if (c == kSeparator)
            name = "\">\"";
        else if (c == u'\r')
            name = "a carriage return";
        else if (c == u'\n')
            name = "a line feed";
        if (name)
            throw EBadCommand(std::string("The command \"") + command.toStdString() + "\" holds " + name
                + " and cannot be sent.");
    }
}

void CommandPipeline::QueueCommand(const QString& command, int replyCode)
{
    CheckCommand(command);
    FCommandQueue += command + kSeparator;
    FReplyCodeQueue += QString::number(replyCode) + kSeparator;
    ++FQueuedCount;
    ++FAwaitedCount;
}

void CommandPipeline::QueueCommands(const std::vector<Entry>& commands)
{
    for (const auto& entry : commands)
        CheckCommand(entry.first);
    for (const auto& [command, code] : commands)
        QueueCommand(command, code);
}

void CommandPipeline::ReplaceQueue(const std::vector<Entry>& commands)
{
    for (const auto& entry : commands)
        CheckCommand(entry.first);
    FCommandQueue.clear();
    FReplyCodeQueue.clear();
    for (const auto& [command, code] : commands) {
        FCommandQueue += command + kSeparator;
        FReplyCodeQueue += QString::number(code) + kSeparator;
    }
    FQueuedCount = FAwaitedCount = static_cast<int32_t>(commands.size());
}

void CommandPipeline::Clear()
{
    FCommandQueue.clear();
    FReplyCodeQueue.clear();
    FQueuedCount = FAwaitedCount = 0;
}

QString CommandPipeline::TakeHead(QString& queue)
{
    const qsizetype at = queue.indexOf(kSeparator);
    if (at < 0) {
        // Never written by this class; an unterminated head would be lost text, so take it whole.
        QString all = queue;
        queue.clear();
        return all;
    }
    QString head = queue.left(at);
    queue.remove(0, at + 1);
    return head;
}

std::optional<QByteArray> CommandPipeline::Tick()
{
    const int32_t d = FAwaitedCount - FQueuedCount;
    if (d > 0) {
        // The replies to the last d commands sent did not come in time.
        for (int32_t i = 0; i < d; ++i) {
            TakeHead(FReplyCodeQueue);
            --FAwaitedCount;
        }
    } else if (d < 0) {
        // A reply was read against the code of a command not yet sent: start afresh.
        Clear();
    }
    if (FCommandQueue.isEmpty())
        return std::nullopt;

    const QString command = TakeHead(FCommandQueue);
    const qsizetype at = FReplyCodeQueue.indexOf(kSeparator);
    if (at >= 0 && QStringView(FReplyCodeQueue).left(at) == u"0") {
        TakeHead(FReplyCodeQueue);
        --FAwaitedCount;
    }
    --FQueuedCount;
    QByteArray line = command.toLatin1();
    line.append('\r');
    return line;
}

std::optional<int> CommandPipeline::TakeReplyCode()
{
    --FAwaitedCount;
    const qsizetype at = FReplyCodeQueue.indexOf(kSeparator);
    bool ok = false;
    const int code = (at < 0 ? QString() : FReplyCodeQueue.left(at)).toInt(&ok);
    if (!ok)
        return std::nullopt;
    TakeHead(FReplyCodeQueue);
    return code;
}

QString ReplyTextFromChunk(const char* buffer, uint16_t length)
{
    return QString::fromLatin1(buffer, length);
}
