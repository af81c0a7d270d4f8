// dcload-cli measure: readings of the load as it is. It only reads: the instrument is
// addressed and polled, nothing is switched.
#include "app/cli/Cli.h"

#include "replies/MeasurementCuts.h"
#include "workflows/Connection.h"
#include "workflows/RunNotes.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>

namespace {

// Replies in a row that are no reading after which measure names what it sees instead.
constexpr int kUnreadableGiveUp = 5;
// The poll timer's shortest interval: shorter periods are coalesced by the session anyway,
// and a zero-interval timer would only spin.
constexpr int kShortestPollMs = 10;

// What a reply that is no reading of the normal layout says about the mode the
// instrument is in.
QString SeemingMode(const QString& reply)
{
    const QStringView kind = QStringView(reply).left(2);
    if (kind == u"L1" || kind == u"L2" || kind == u"L3")
        return QStringLiteral("the instrument seems to be in list mode");
    try {
        CutBatteryReading(reply);
        return QStringLiteral("the instrument seems to be in battery mode");
    } catch (const EBadReading&) {
        return QStringLiteral("the instrument answers in an unknown layout");
    }
}

} // namespace

void Cli::Measure(const QString& port)
{
    FSession.Open(port, static_cast<uint32_t>(FOptions.baud));
    SetAddress(FSession, FOptions.address);
    if (!BeginOutput({ "time_s", "voltage_V", "current_A", "power_W" }, false))
        return;
    FSession.SetMode(TestMode::Normal);
    FSession.SetRun(Activity::Load, RunState::Running);
    FClock.start();
    FSession.OnMainReading
        = [this, limit = FOptions.count](InstrumentSession*, const MainReading& r, const QString& power) {
              if (FPhase != Phase::Running)
                  return;
              FUnreadableInARow = 0;
              CheckWritten(FOutput->Row(
                  { QString::number(FClock.elapsed() / 1000.0, 'f', 3), r.voltage, r.current, power }));
              PublishReading(LiveReadingOf(QDateTime::currentDateTime(), r.voltageValue, r.currentValue));
              if (limit > 0 && ++FRows >= limit)
                  End(Done);
          };
    // A period below the pacing polls as often as the pacing lets a poll go: the session
    // keeps at most one poll pending. The period is at most a day, so its milliseconds fit.
    FSession.SetPollInterval(
        std::max(kShortestPollMs, static_cast<int>(std::lround(FOptions.measurePeriodSeconds * 1000))));
    FSession.StartPolling();
}

// measure: a reply to a poll that is no reading.
void Cli::Unreadable(const QString& reply)
{
    if (FOptions.command != CliCommand::Measure || FPhase != Phase::Running
        || ++FUnreadableInARow < kUnreadableGiveUp)
        return;
    Fail(QStringLiteral("%1 replies in a row are no readings (the last %2): %3")
             .arg(FUnreadableInARow)
             .arg(QuotedReply(reply), SeemingMode(reply)));
}
