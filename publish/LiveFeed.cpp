#include "publish/LiveFeed.h"

#include "publish/LivePublisher.h"

#include <QUuid>

LiveFeed::LiveFeed(LivePublisher* publisher)
    : FPublisher(publisher)
{ }

void LiveFeed::Reading(LiveReading reading)
{
    if (!FPublisher)
        return;
    reading.run = FRun.runId;
    reading.kind = FRun.kind;
    FPublisher->PublishReading(ReadingMessage(reading));
}

void LiveFeed::RunStarted(RunRecord run)
{
    if (!FPublisher)
        return;
    RunEnded(QStringLiteral("stopped"));
    if (run.runId.isEmpty())
        run.runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!run.started.isValid())
        run.started = QDateTime::currentDateTime();
    FRun = std::move(run);
    FPublisher->PublishRun(RunStartMessage(FRun));
}

void LiveFeed::RunEnded(const QString& outcome, const QJsonObject& summary)
{
    if (!FPublisher || !RunGoing())
        return;
    FRun.ended = QDateTime::currentDateTime();
    FRun.outcome = outcome;
    FPublisher->PublishRun(RunEndMessage(FRun, summary));
    FRun = {};
}
