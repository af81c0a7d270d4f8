#include "publish/LiveMessages.h"

#include <QJsonDocument>
#include <cstdlib>

namespace {

QJsonObject RunHead(const RunRecord& run, const char* event)
{
    return { { "event", QLatin1String(event) }, { "run", run.runId }, { "kind", run.kind } };
}

QByteArray Compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

LiveReading LiveReadingOf(const QDateTime& at, double voltage, double current)
{
    LiveReading reading;
    reading.at = at;
    reading.voltage = voltage;
    reading.current = current;
    reading.power = voltage * current;
    return reading;
}

QString LiveTime(const QDateTime& at)
{
    // Qt writes a zero offset as "Z"; the offset written out reads the same everywhere.
    const int offset = at.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
        + QStringLiteral("%1%2:%3")
              .arg(offset < 0 ? QStringLiteral("-") : QStringLiteral("+"))
              .arg(minutes / 60, 2, 10, QLatin1Char('0'))
              .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QByteArray ReadingMessage(const LiveReading& reading)
{
    QJsonObject message { { "time", LiveTime(reading.at) }, { "voltage", reading.voltage },
        { "current", reading.current }, { "power", reading.power } };
    if (!reading.run.isEmpty()) {
        message.insert(QStringLiteral("run"), reading.run);
        message.insert(QStringLiteral("kind"), reading.kind);
    }
    if (reading.seconds)
        message.insert(QStringLiteral("seconds"), *reading.seconds);
    if (reading.capacityAh)
        message.insert(QStringLiteral("capacity_Ah"), *reading.capacityAh);
    if (reading.energyWh)
        message.insert(QStringLiteral("energy_Wh"), *reading.energyWh);
    if (reading.step)
        message.insert(QStringLiteral("step"), *reading.step);
    return Compact(message);
}

QByteArray RunStartMessage(const RunRecord& run)
{
    QJsonObject message = RunHead(run, "start");
    message.insert(QStringLiteral("time"), LiveTime(run.started));
    message.insert(QStringLiteral("parameters"), QJsonDocument::fromJson(run.parameters.toUtf8()).object());
    message.insert(QStringLiteral("program_version"), run.programVersion);
    if (!run.instrument.isEmpty())
        message.insert(QStringLiteral("instrument"), run.instrument);
    return Compact(message);
}

QByteArray RunEndMessage(const RunRecord& run, const QJsonObject& summary)
{
    QJsonObject message = RunHead(run, "end");
    message.insert(QStringLiteral("time"), LiveTime(run.ended));
    message.insert(QStringLiteral("started"), LiveTime(run.started));
    message.insert(QStringLiteral("outcome"), run.outcome);
    message.insert(QStringLiteral("summary"), summary);
    return Compact(message);
}
