#include "workflows/RunNotes.h"

#include <algorithm>

QString BatteryEndNote(const BatterySummary& s)
{
    return QStringLiteral(
        "Battery test ended at the instrument's cut-off: %1 s, %2 Ah, %3 Wh, cut off at %4 V")
        .arg(s.seconds)
        .arg(s.ampereHours, 0, 'f', 3)
        .arg(s.wattHours, 0, 'f', 3)
        .arg(s.cutOffVolts, 0, 'f', 2);
}

QString CutShortNote(const std::vector<CutShortRun>& runs)
{
    QStringList sentences;
    for (const CutShortRun& run : runs) {
        if (run.activity == Activity::Battery)
            sentences.append(
                QStringLiteral("The battery test was cut short after %1 readings.").arg(run.readings));
        else if (run.activity == Activity::List)
            sentences.append(
                QStringLiteral("The list test was cut short after %1 stored steps.").arg(run.readings));
    }
    return sentences.join(u' ');
}

QString SilenceNote(const QTime& lastAnswer)
{
    return QStringLiteral("No answer from the instrument since ")
        + lastAnswer.toString(QStringLiteral("HH:mm:ss"));
}

QString FloodNote()
{
    return QStringLiteral("The instrument is sending faster than the program can read");
}

QString ReadBackNote(const QStringList& fields)
{
    return QStringLiteral("Read-back incomplete: %1 not confirmed").arg(fields.join(QStringLiteral(", ")));
}

QString ReadBackProgressNote(int asked, int total, bool finished, const QStringList& missing)
{
    if (finished)
        return missing.isEmpty() ? QStringLiteral("Settings read back") : ReadBackNote(missing);
    QString note = QStringLiteral("Reading settings back: %1 of %2").arg(asked).arg(total);
    if (!missing.isEmpty())
        note += QStringLiteral("; ") + missing.join(QStringLiteral(", ")) + QStringLiteral(" not confirmed");
    return note;
}

QString SavedMemoryNote(const QString& line)
{
    static const QString save = QStringLiteral("mmem:save ");
    return line.startsWith(save) ? QStringLiteral("Settings saved in memory ") + line.mid(save.size()) : QString();
}

QString ElapsedText(qint64 seconds)
{
    const qint64 s = std::max<qint64>(seconds, 0);
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString LinkNote(const LinkCounts& c, int replyTimeoutMs)
{
    QStringList parts;
    const auto add = [&](int count, const char* one, const char* many) {
        if (count > 0)
            parts.append(QString::number(count) + u' ' + QLatin1String(count == 1 ? one : many));
    };
    add(c.missedReadings, "reading missed", "readings missed");
    add(c.noAnswer, "query unanswered", "queries unanswered");
    if (c.noAnswer > 0)
        parts.last() += QStringLiteral(" within %1 ms").arg(replyTimeoutMs);
    add(c.late, "late reply dropped", "late replies dropped");
    add(c.misshapen, "reply not understood", "replies not understood");
    add(c.unasked, "unasked reply dropped", "unasked replies dropped");
    return parts.join(QStringLiteral(", "));
}
