#include "workflows/BatteryDischarge.h"

#include "link/InstrumentSession.h"
#include "replies/Numbers.h"
#include "workflows/InputRules.h"
#include "workflows/LoadControl.h"
#include "workflows/OperatorMessages.h"
#include "workflows/TestRules.h"

BatterySetUp SetUpBattery(
    InstrumentSession& session, const BatterySetUpEntries& e, IOperatorMessages& messages)
{
    BatterySetUp done;
    session.Pause(1000);
    const Command batteryMode { QStringLiteral("load:mode bat") };
    session.ReplaceQueue({ batteryMode, batteryMode, batteryMode });

    if (RefuseEmpty(e.cutOff, messages))
        return done;
    const StoredMaxima& maxima = session.Maxima();
    if (dataRuleCheck(static_cast<float>(StrToFloat(e.cutOff)), static_cast<float>(maxima.voltage), messages)
        == 2)
        session.QueueCommand(QStringLiteral("bat:vmin ") + e.cutOff);

    if (RefuseEmpty(e.current, messages))
        return done;
    if (dataRuleCheck(static_cast<float>(StrToFloat(e.current)), static_cast<float>(maxima.current), messages)
        == 2) {
        done.voltageAxisMax = maxima.voltage;
        session.QueueCommand(QStringLiteral("bat:curr ") + e.current);
    }
    session.SetArmed(Activity::Battery, true);
    return done;
}

BatteryToggle ToggleBattery(
    InstrumentSession& session, const QString& periodText, IOperatorMessages& messages)
{
    if (session.Run(Activity::Battery) != RunState::Idle) {
        QueueInputSwitch(session, false);
        session.SetRun(Activity::Battery, RunState::Idle);
        session.StopPolling();
        session.SetPollInterval(InstrumentSession::kIdlePollMs);
        return { BatteryToggle::Stopped };
    }
    // Checked before anything happens: a refused period must not leave the load
    // switched on with polling at a stale rate.
    const std::optional<int> period = TestPeriodSeconds(periodText);
    if (!period) {
        messages.Tell(QStringLiteral("The test period must be a whole number of seconds (1 to %1)!")
                          .arg(kMaxTestPeriodSeconds));
        return { BatteryToggle::Refused };
    }
    QueueInputSwitch(session, true);
    session.SetRun(Activity::Battery, RunState::Running);
    session.SetPollInterval(*period * 1000);
    session.StartPolling();
    return { BatteryToggle::Started, *period };
}

BatteryRecord RecordOf(const BatteryReading& reading, const QString& cutOffText)
{
    const double cutOff = StrToFloat(cutOffText);
    const bool floored = cutOff > reading.voltageValue;
    BatteryRecord record;
    record.voltage = floored ? cutOffText : reading.voltage;
    record.voltageValue = floored ? cutOff : reading.voltageValue;
    record.current = reading.current;
    record.time = reading.time;
    record.capacity = reading.capacity;
    record.seconds = StrToInt(reading.time);
    return record;
}
