#include "link/CommandPipeline.h"

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
    FPending.assign(commands.begin(), commands.end());
}

void CommandPipeline::QueueSuperseding(const Command& command, const QStringList& texts)
{
    CheckCommand(command.text);
    std::erase_if(FPending, [&](const Command& c) { return texts.contains(c.text); });
    FPending.push_back(command);
}

void CommandPipeline::Clear()
{
    FPending.clear();
    FAwaited.clear();
}

std::optional<QByteArray> CommandPipeline::Tick(const std::vector<ReplyCode>& outstanding)
{
    // The answers to the commands sent before did not come in time; they may still come.
    std::vector<ReplyCode> late = outstanding;
    for (const AwaitedAnswer& a : FAwaited)
        late.push_back(a.code);
    FAwaited.clear();
    if (FPending.empty())
        return std::nullopt;
    const Command command = FPending.front();
    FPending.pop_front();
    if (command.code != ReplyCode::None) {
        const bool doubtful
            = std::any_of(late.begin(), late.end(), [&](ReplyCode code) { return code != command.code; });
        FAwaited.push_back({ command.code, doubtful });
    }
    QByteArray line = command.text.toLatin1();
    line.append('\r');
    return line;
}

std::optional<AwaitedAnswer> CommandPipeline::TakeReplyCode()
{
    if (FAwaited.empty())
        return std::nullopt;
    const AwaitedAnswer answer = FAwaited.front();
    FAwaited.pop_front();
    return answer;
}

QString ReplyTextFromChunk(const char* buffer, uint16_t length)
{
    return QString::fromLatin1(buffer, length);
}
