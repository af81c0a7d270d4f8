#include "link/InstrumentSession.h"

#include "link/SessionShared.h"
#include "replies/Numbers.h"

#include <QTimer>
#include <algorithm>

using namespace SessionShared;

// ---- replies

void InstrumentSession::ReceiveChunk(const char* buffer, uint16_t length)
{
    HandleReply(ReplyTextFromChunk(buffer, length));
}

void InstrumentSession::HandleReply(const QString& reply)
{
    const Placed placed = FPipeline.Place(reply, Now());
    const auto code = placed.exchange ? placed.exchange->command.code : ReplyCode::None;
    switch (placed.placement) {
    case Placement::Answer:
    case Placement::Ignored:
        FDeadline->stop();
        FCounts.noAnswerInARow = 0;
        FSinceAnswer.start();
        FLastAnswerAt = QTime::currentTime();
        if (std::exchange(FSilent, false)) {
            if (auto handler = OnSilence)
                handler(this, std::nullopt);
        }
        ReadBackSettled();
        try {
            if (placed.placement == Placement::Ignored) {
                Trace(TrafficRoute::Ignored, code, reply);
                Unread(*placed.exchange);
            } else {
                Answered(*placed.exchange, reply);
            }
        } catch (...) {
            Pump(false);
            throw;
        }
        // A slow instrument's next line need not wait for the next tick.
        Pump(false);
        return;
    case Placement::Late:
        ++FCounts.late;
        Trace(TrafficRoute::Late, code, reply);
        Trouble({ LinkTrouble::Late, placed.exchange, reply,
            QStringLiteral("The late answer %1 to %2 was dropped")
                .arg(QuotedReply(reply), Quoted(placed.exchange->command.text)) });
        return;
    case Placement::Misshapen:
        FDeadline->stop();
        Misshapen(*placed.exchange, reply);
        Unanswered(*placed.exchange);
        return;
    case Placement::Unasked: {
        ++FCounts.unasked;
        Trace(TrafficRoute::Unsolicited, ReplyCode::None, reply);
        const QString message
            = QStringLiteral("A reply arrived while no answer was awaited: ") + QuotedReply(reply);
        Trouble({ LinkTrouble::Unasked, std::nullopt, reply, message });
        ReportOnce(QStringLiteral("unasked"), message);
        return;
    }
    }
}

void InstrumentSession::Misshapen(const Exchange& e, const QString& reply)
{
    const ReplyCode code = e.command.code;
    ++FCounts.misshapen;
    Trace(TrafficRoute::Misshapen, code, reply);
    // A reading says best what it lacks.
    QString why;
    if (code == ReplyCode::Measurement) {
        try {
            if (e.layout == MeasurementLayout::Battery)
                CutBatteryReading(reply);
            else if (e.layout == MeasurementLayout::Main)
                CutMainReading(reply);
            else
                CutStepReading(reply);
        } catch (const EBadReading& bad) {
            why = QString::fromStdString(bad.what());
        }
    }
    if (why.isEmpty())
        why = QStringLiteral("The reply %1 to %2 is not %3.")
                  .arg(QuotedReply(reply), Quoted(e.command.text), ExpectedShape(code, e.layout));
    Trouble({ LinkTrouble::Misshapen, e, reply, why });
    ReportOnce(QStringLiteral("misshapen %1 %2").arg(CodeNumber(code)).arg(static_cast<int>(e.layout)), why);
}

void InstrumentSession::Answered(const Exchange& e, const QString& reply)
{
    const ReplyCode code = e.command.code;
    if (code == ReplyCode::Verbatim) {
        Trace(TrafficRoute::Verbatim, code, reply);
        if (auto handler = OnVerbatimReply)
            handler(this, reply);
        return;
    }
    if (code == ReplyCode::Identity) {
        Trace(TrafficRoute::Verbatim, code, reply);
        QString identity = reply;
        while (identity.endsWith(u'\r') || identity.endsWith(u'\n'))
            identity.chop(1);
        if (auto handler = OnIdentity)
            handler(this, identity);
        return;
    }
    Trace(code == ReplyCode::Measurement ? TrafficRoute::Reading : TrafficRoute::ReadBack, code, reply);
    if (code == ReplyCode::Measurement)
        MeasurementArrived(e, reply);
    else
        ApplyReadBack(code, reply);
}

void InstrumentSession::ApplyReadBack(ReplyCode code, const QString& reply)
{
    const ReadBackResult result = ReadBack(code, reply);
    if (result.texts.empty() && result.select.isEmpty())
        return;
    if (auto handler = OnReadBack)
        handler(this, result);
    // The field shows the characters first; a maximum that is no number stays unknown.
    std::optional<double>* maximum = nullptr;
    switch (result.maximum) {
    case StoredMaximum::Current:
        maximum = &FMaxima.current;
        break;
    case StoredMaximum::Voltage:
        maximum = &FMaxima.voltage;
        break;
    case StoredMaximum::Power:
        maximum = &FMaxima.power;
        break;
    case StoredMaximum::None:
        return;
    }
    // The shape has made sure the reply begins with the limit's number; its unit follows.
    const qsizetype end = std::find_if(reply.begin(), reply.end(), [](QChar c) {
        return c != u'.' && !c.isDigit();
    }) - reply.begin();
    *maximum = StrToFloat(reply.left(end));
}
