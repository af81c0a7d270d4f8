#include "workflows/BatteryDischarge.h"

#include "link/InstrumentSession.h"
#include "replies/Numbers.h"
#include "workflows/InputRules.h"
#include "workflows/OperatorMessages.h"
#include "workflows/TestRules.h"

BatterySetUp SetUpBattery(
    InstrumentSession& session, const BatterySetUpEntries& e, IOperatorMessages& messages)
{
    BatterySetUp done;
    if (!PortIsOpen(session, messages))
        return done;
    session.Pause(1000);
    const Command batteryMode { QStringLiteral("load:mode bat") };
    session.ReplaceQueue({ batteryMode, batteryMode, batteryMode });

    const StoredMaxima& maxima = session.Maxima();
    const QString cutOffField = QStringLiteral("Cut Off Voltage");
    const std::optional<double> cutOff = DecimalEntry(e.cutOff, cutOffField, messages);
    if (!cutOff)
        return done;
    const bool cutOffSent = LimitCheck(*cutOff, maxima.voltage, messages, cutOffField) == 2;
    if (cutOffSent)
        session.QueueCommand(QStringLiteral("bat:vmin ") + e.cutOff);

    const QString currentField = QStringLiteral("Discharge Current");
    const std::optional<double> current = DecimalEntry(e.current, currentField, messages);
    if (!current)
        return done;
    // Told only once when neither limit is known.
    const bool currentSent
        = (cutOffSent || maxima.voltage) && LimitCheck(*current, maxima.current, messages, currentField) == 2;
    if (currentSent) {
        done.voltageAxisMax = maxima.voltage;
        session.QueueCommand(QStringLiteral("bat:curr ") + e.current);
    }
    if (!cutOffSent || !currentSent)
        return done;
    done.cutOff = e.cutOff;
    session.SetArmed(Activity::Battery, true);
    return done;
}

BatteryToggle ToggleBattery(
    InstrumentSession& session, const QString& periodText, IOperatorMessages& messages)
{
    if (!PortIsOpen(session, messages))
        return { BatteryToggle::Refused };
    if (session.Run(Activity::Battery) != RunState::Idle) {
        session.SwitchInput(false);
        session.SetRun(Activity::Battery, RunState::Idle);
        session.StopPolling();
        session.SetPollInterval(InstrumentSession::kIdlePollMs);
        return { BatteryToggle::Stopped };
    }
    // Checked before anything happens: a refused start must not leave the load switched
    // on with polling at a stale rate. What "Set up" sent before this connection reached
    // no instrument (or another one).
    if (!session.ArmedOnThisConnection(Activity::Battery)) {
        messages.Tell(
            QStringLiteral("Press \"Set up\" first: the battery test was not set up since connecting!"));
        return { BatteryToggle::Refused };
    }
    const std::optional<int> period = TestPeriodSeconds(periodText);
    if (!period) {
        messages.Tell(FieldMessage(QStringLiteral("Test Period"),
            QStringLiteral("Input data must be a whole number of seconds from 1 to %1!")
                .arg(kMaxTestPeriodSeconds)));
        return { BatteryToggle::Refused };
    }
    session.SwitchInput(true);
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
    record.seconds = reading.seconds;
    return record;
}
