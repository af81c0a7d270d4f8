// dcload-cli --publish: every reading as it comes and each run's start and end, sent to an
// MQTT broker on libmosquitto's thread. The broker's coming and going is said on standard
// error once per change; a run message the broker has not taken by the end is said too.
#include "app/cli/Cli.h"
#include "workflows/RunRecords.h"

#include "publish/LivePublisher.h"
#include "workflows/ProgramInfo.h"

#include <QJsonDocument>

namespace {

// How long the end waits for the broker to take the run's end and the "offline" status.
constexpr int kGoodbyeBoundMs = 3000;

} // namespace

void Cli::StartPublishing()
{
    if (!FOptions.publish)
        return;
    FPublisher = std::make_unique<LivePublisher>(
        FOptions.publish->location, FOptions.station, FOptions.publish->password);
    // A script's standard error hears of the broker only when it goes or comes back.
    QObject::connect(FPublisher.get(), &LivePublisher::StateChanged,
        [](LivePublisher::State state, const QString& message) {
            if (state != LivePublisher::State::Publishing || message.endsWith(QLatin1String("again")))
                Complain(message);
        });
    FPublisher->Start();
    FLive.setPublisher(FPublisher.get());
}

void Cli::PublishReading(LiveReading reading)
{
    FLive.Reading(std::move(reading));
}

// Call after the results store's BeginRun: its run id, when it gives one, is the one published.
void Cli::PublishRunStart(ResultsTable table, const QString& kind, const QJsonObject& parameters)
{
    if (!FPublisher)
        return;
    RunRecord run;
    run.runId = FResults ? FResults->RunId(table) : QString();
    run.station = FOptions.station;
    run.kind = kind;
    QJsonObject sent = parameters;
    sent.insert(QStringLiteral("port"), FOptions.port);
    sent.insert(QStringLiteral("address"), FOptions.address);
    run.parameters = QString::fromUtf8(QJsonDocument(sent).toJson(QJsonDocument::Compact));
    run.programVersion = kProgramVersion;
    FLive.RunStarted(std::move(run));
}

void Cli::PublishRunEnd(const QString& outcome, const QJsonObject& summary)
{
    FLive.RunEnded(outcome, summary);
}

void Cli::FinishPublishing()
{
    if (!FPublisher)
        return;
    // A run that ends by any other way out (Ctrl+C, a lost port) still has its end told.
    FLive.RunEnded(FExit == Done ? kOutcomeStopped : kOutcomeFailed);
    if (const int left = FPublisher->Finish(kGoodbyeBoundMs); left > 0)
        Complain(QStringLiteral("Publishing to %1: %2 not published: the broker did not take it within %3 s")
                     .arg(FPublisher->Url(),
                         left == 1 ? QStringLiteral("the run's end was")
                                   : QStringLiteral("%1 run messages were").arg(left))
                     .arg(kGoodbyeBoundMs / 1000));
    if (const int skipped = FPublisher->ReadingsNotPublished(); skipped > 0)
        Complain(QStringLiteral("Publishing to %1: %2 not published while the broker could not be reached")
                     .arg(FPublisher->Url(),
                         skipped == 1 ? QStringLiteral("1 reading was")
                                      : QStringLiteral("%1 readings were").arg(skipped)));
}
