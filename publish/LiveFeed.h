#pragma once
// One station's readings and runs on their way to a LivePublisher: each reading is stamped
// with the run going, each run's start is told, and its end once. One instrument runs one
// run at a time, so one run is going at most. Without a publisher it does nothing.
#include "publish/LiveMessages.h"

#include <QJsonObject>

class LivePublisher;

class LiveFeed
{
public:
    explicit LiveFeed(LivePublisher* publisher = nullptr);

    void setPublisher(LivePublisher* publisher) { FPublisher = publisher; }
    LivePublisher* Publisher() const { return FPublisher; }

    void Reading(LiveReading reading);
    // A run starts; without a run id (no results store gives one) it gets a fresh one. A run
    // still going is ended first ("stopped").
    void RunStarted(RunRecord run);
    // The run going ends; nothing when none is going.
    void RunEnded(const QString& outcome, const QJsonObject& summary = {});
    bool RunGoing() const { return !FRun.runId.isEmpty(); }
    const RunRecord& Run() const { return FRun; }

private:
    LivePublisher* FPublisher;
    RunRecord FRun; // the run going; no run id when none is
};
