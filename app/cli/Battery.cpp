// dcload-cli battery: a discharge at a current down to the instrument's cut-off, readings
// as they come and the summary at the end; the input goes off on every way out.
#include "app/cli/Cli.h"
#include "workflows/ProgramInfo.h"

#include "store/ResultsQuery.h"
#include "workflows/BatteryDischarge.h"
#include "workflows/RunRecords.h"

#include <QDateTime>
#include <cmath>

void Cli::Battery(const QString& port)
{
    Connect(port, [this] {
        Told told;
        const QString cutOff = FOptions.cutOff;
        const QString period = QString::number(FOptions.batteryPeriodSeconds);
        FSession.Pause = [](int) {};
        SetUpBattery(FSession, { cutOff, FOptions.current }, told);
        if (told.refused)
            Refused("the battery set-up was refused");
        if (!BeginOutput({ "time_s", "voltage_V", "current_A", "capacity_Ah" }, true))
            return;
        FSession.SetMode(TestMode::Battery);
        RecordIdentify();
        ToggleBattery(FSession, period, told); // the first press before any run only switches off
        if (ToggleBattery(FSession, period, told).change != BatteryToggle::Started)
            Refused("the battery test did not start");
        if (FResults)
            FResults->BeginRun(ResultsTable::Battery);
        PublishRunStart(ResultsTable::Battery, QStringLiteral("battery"),
            { { "current_A", FOptions.current.toDouble() }, { "cutoff_V", cutOff.toDouble() },
                { "period_s", FOptions.batteryPeriodSeconds } });
        const QDateTime started = QDateTime::currentDateTimeUtc();
        RecordStart(ResultsTable::Battery, QStringLiteral("battery"),
            BatteryRunParameters(FOptions.current, cutOff, FOptions.batteryPeriodSeconds), started);
        FBdfRun.runId = started.toString(Qt::ISODateWithMs);
        FBdfRun.station = FOptions.station;
        FBdfRun.programVersion = kProgramVersion;
        FBdfRun.start = started;
        FBdfRun.settings = { { QStringLiteral("current_A"), FOptions.current },
            { QStringLiteral("cutoff_V"), cutOff }, { QStringLiteral("period_s"), period },
            { QStringLiteral("port"), FOptions.port }, { QStringLiteral("address"), FOptions.address } };
        FSession.OnBatteryReading = [this, cutOff](InstrumentSession*, const BatteryReading& r) {
            // Stored (or journaled) before it is printed: a run killed in between has printed
            // nothing the store will not have.
            const BatteryRecord record = RecordOf(r, cutOff);
            Store(ResultsTable::Battery,
                { record.voltage, record.current, record.time, record.capacity,
                    MeasurementTimestamp(QDateTime::currentDateTime()) });
            CheckWritten(FOutput->Row({ r.time, r.voltage, r.current, r.capacity }));
            LiveReading live = LiveReadingOf(QDateTime::currentDateTime(), r.voltageValue, r.currentValue);
            live.seconds = r.seconds;
            live.capacityAh = r.capacityValue;
            PublishReading(live);
            if (!FOptions.bdf.isEmpty()) {
                // The instrument's own time and count: what the file must agree with.
                BdfReading reading;
                reading.testTimeSeconds = r.seconds;
                reading.voltage = r.voltageValue;
                reading.current = r.currentValue;
                reading.unixTimeSeconds = QDateTime::currentMSecsSinceEpoch() / 1000.0;
                reading.capacityAh = r.capacityValue;
                FBdfReadings.push_back(reading);
            }
        };
        FSession.OnBatteryEnd = [this](InstrumentSession*, const BatterySummary& s) {
            const QJsonObject summary { { "duration_s", s.seconds }, { "capacity_Ah", s.ampereHours },
                { "energy_Wh", std::round(s.wattHours * 1e4) / 1e4 }, { "cutoff_V", s.cutOffVolts } };
            CheckWritten(FOutput->Summary(summary));
            RecordEnd(kOutcomeCutOff);
            PublishRunEnd(kOutcomeCutOff, summary);
            End(Done);
        };
    });
}
