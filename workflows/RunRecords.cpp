#include "workflows/RunRecords.h"

#include "replies/Numbers.h"
#include "workflows/TestRules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace {

// A level as the instrument got it: a number when it is one (a comma typed as the decimal
// point reads as one), otherwise the text as typed, so nothing sent is left out.
QJsonValue Level(const QString& text)
{
    QString plain = text.trimmed();
    plain.replace(u',', u'.');
    if (IsPlainDecimal(plain))
        return StrToFloat(plain);
    return text;
}

QString Compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

QString ListOutcome(const ListReport& report)
{
    if (!report.fault.isEmpty())
        return kOutcomeFailed;
    if (report.verdict == 2 || report.stepVerdicts.contains(QStringLiteral("2")))
        return kOutcomeFail;
    return kOutcomePass;
}

QString ProfileOutcomeWord(ProfileOutcome outcome)
{
    switch (outcome) {
    case ProfileOutcome::Finished:
        return kOutcomeFinished;
    case ProfileOutcome::LimitReached:
        return kOutcomeLimit;
    case ProfileOutcome::Stopped:
        return kOutcomeStopped;
    case ProfileOutcome::PortLost:
        return kOutcomePortLost;
    case ProfileOutcome::Failed:
        break;
    }
    return kOutcomeFailed;
}

QString BatteryRunParameters(const QString& current, const QString& cutOff, int periodSeconds)
{
    return Compact({ { "mode", "battery" }, { "current_A", Level(current) }, { "cutoff_V", Level(cutOff) },
        { "period_s", periodSeconds } });
}

QString ListRunParameters(
    int steps, bool autoStep, bool repeat, const std::array<StepEntries, kListSteps>& editor)
{
    QJsonArray sent;
    for (int n = 0; n < std::clamp(steps, 0, kListSteps); ++n) {
        const StepEntries& row = editor[static_cast<size_t>(n)];
        // The mode as the step editor names it; a typed text that is no item goes as CC.
        static const char* const kModeNames[] = { "CC", "CV", "CP", "CR", "SHORT", "OPEN" };
        const QString mode = ListModeWord(row.modeItem);
        const bool item = row.modeItem >= 0 && row.modeItem < 6;
        QJsonObject step { { "step", n }, { "mode", kModeNames[item ? row.modeItem : 0] } };
        if (ModeTakesLevel(mode)) {
            step.insert(QStringLiteral("level"), Level(row.value));
            step.insert(QStringLiteral("dwell_s"), Level(row.delay));
            const QString compare = CompareWord(row.compareItem);
            step.insert(QStringLiteral("compare"), compare);
            if (compare != u"off") {
                step.insert(QStringLiteral("low"), Level(row.low));
                step.insert(QStringLiteral("high"), Level(row.high));
            }
        }
        sent.append(step);
    }
    return Compact({ { "mode", "list" }, { "steps", sent }, { "stepping", autoStep ? "auto" : "trigger" },
        { "repeat", repeat } });
}

QString ProfileRunParameters(const QString& profileText, const QString& file)
{
    QJsonObject parameters { { "mode", "profile" }, { "profile", profileText } };
    if (!file.isEmpty())
        parameters.insert(QStringLiteral("file"), file);
    return Compact(parameters);
}
