#include "link/RunTracking.h"

#include "replies/TextCuts.h"

std::optional<BatterySummary> BatteryTrack::Add(const BatteryReading& reading)
{
    ++FReadings;
    if (FHasLast && reading.seconds > FLastSeconds)
        FWattHours += (FLastVolts * FLastAmps + reading.voltageValue * reading.currentValue) / 2
            * (reading.seconds - FLastSeconds) / 3600.0;
    if (reading.currentValue != 0) {
        FCurrentFlowed = true;
        FCutOffVolts = reading.voltageValue;
    }
    // After its cut-off the instrument answers with no current and its time stands still.
    if (reading.currentValue == 0 && FIdleReadings > 0 && reading.seconds == FIdleSince) {
        ++FIdleReadings;
    } else {
        FIdleReadings = reading.currentValue == 0 ? 1 : 0;
        FIdleSince = reading.seconds;
    }
    FHasLast = true;
    FLastVolts = reading.voltageValue;
    FLastAmps = reading.currentValue;
    FLastSeconds = reading.seconds;
    FLastAmpereHours = reading.capacityValue;
    if (!FCurrentFlowed || FIdleReadings < kIdleReadingsAtEnd)
        return std::nullopt;
    return BatterySummary { FLastSeconds, FLastAmpereHours, FWattHours, FCutOffVolts, FReadings };
}

namespace {

// The verdicts the instrument gives: not judged, pass, fail.
bool KnownVerdict(const QString& digit)
{
    return digit == u"0" || digit == u"1" || digit == u"2";
}

} // namespace

ListReport ReadListReport(const QString& reply, int steps)
{
    ListReport report;
    report.reply = reply;
    report.steps = steps;
    const QString listVerdict = CopyText(reply, 4, 1);
    if (!KnownVerdict(listVerdict)) {
        report.fault
            = QStringLiteral("The list report %1 holds the list verdict \"%2\", which the program does "
                             "not know.")
                  .arg(QuotedReply(reply), listVerdict);
        return report;
    }
    report.verdict = listVerdict.toInt();
    for (int step = 0; step < steps; ++step) {
        const QString verdict = StepVerdict(reply, step);
        if (verdict.isEmpty() || verdict == u"\r" || verdict == u"\n") {
            report.fault = QStringLiteral("The list report %1 holds verdicts for %2 of %3 steps.")
                               .arg(QuotedReply(reply))
                               .arg(step)
                               .arg(steps);
            return report;
        }
        if (!KnownVerdict(verdict)) {
            report.fault
                = QStringLiteral("The list report %1 holds the verdict \"%2\" for step %3, which the program "
                                 "does not know.")
                      .arg(QuotedReply(reply), verdict)
                      .arg(step);
            return report;
        }
        report.stepVerdicts.append(verdict);
    }
    return report;
}
