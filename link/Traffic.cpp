#include "link/Traffic.h"

QString TrafficRouteName(TrafficRoute route)
{
    switch (route) {
    case TrafficRoute::Sent:
        return QStringLiteral("sent");
    case TrafficRoute::Reading:
        return QStringLiteral("reading");
    case TrafficRoute::ReadBack:
        return QStringLiteral("read-back");
    case TrafficRoute::Verbatim:
        return QStringLiteral("answer");
    case TrafficRoute::Ignored:
        return QStringLiteral("ignored");
    case TrafficRoute::NoAnswer:
        return QStringLiteral("no answer");
    case TrafficRoute::Late:
        return QStringLiteral("late");
    case TrafficRoute::Misshapen:
        return QStringLiteral("misshapen");
    case TrafficRoute::Unsolicited:
        return QStringLiteral("unasked");
    }
    return QStringLiteral("?");
}

QString TrafficLineText(const TrafficLine& line)
{
    QString shown;
    shown.reserve(line.text.size() + 8);
    for (const QChar c : line.text) {
        if (c == u'\r')
            shown += QStringLiteral("\\r");
        else if (c == u'\n')
            shown += QStringLiteral("\\n");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return QStringLiteral("%1  %2 %3  %4")
        .arg(line.at.toString(QStringLiteral("HH:mm:ss.zzz")))
        .arg(TrafficRouteName(line.route), -9)
        .arg(static_cast<int>(line.code), 3)
        .arg(shown);
}
