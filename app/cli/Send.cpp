// dcload-cli send: one command as typed. A query (ending in "?") prints its answer, or
// ends with exit 2 when none comes within the reply time-out; any other command is done
// once it has crossed the line.
#include "app/cli/Cli.h"

#include "comm/SerialComm.h"

#include <QCoreApplication>

void Cli::Send(const QString& port)
{
    const QString& text = FOptions.text;
    FSession.Open(port, static_cast<uint32_t>(FOptions.baud));
    const bool query = text.endsWith(u'?');
    try {
        FSession.QueueCommand(text, query ? ReplyCode::Verbatim : ReplyCode::None);
    } catch (const EBadCommand& e) {
        Refused(e.what());
    }
    FSession.OnVerbatimReply = [this](InstrumentSession*, const QString& reply) { Answer(reply); };
    if (query)
        return;
    auto* sent = new QTimer(QCoreApplication::instance());
    QObject::connect(sent, &QTimer::timeout, [this, sent, bytes = text.size() + 1] {
        if (!FSession.Pipeline().Pending().empty() || !FSession.Comm()->SendDataEmpty())
            return;
        sent->deleteLater();
        QTimer::singleShot(FSession.CrossingMs(bytes), [this] { End(Done); });
    });
    sent->start(10);
}

// The answer as it came, without its terminators.
void Cli::Answer(const QString& reply)
{
    if (FOptions.command != CliCommand::Send || FPhase != Phase::Running)
        return;
    QString shown = reply;
    while (shown.endsWith(u'\r') || shown.endsWith(u'\n'))
        shown.chop(1);
    if (const std::optional<QString> failure = PrintLine(shown.toLatin1())) {
        Fail(*failure);
        return;
    }
    End(Done);
}
