#pragma once
// One line of the traffic between the program and the instrument: a command as it left,
// or a reply as it came and what the session made of it. The traffic console shows them;
// nothing is built while no one listens.
#include "replies/ReplyCodes.h"

#include <QString>
#include <QTime>

enum class TrafficRoute {
    Sent, // a command left for the instrument
    Reading, // a measurement reply, taken as a reading
    ReadBack, // an answer that fills a setting's field
    Verbatim, // the answer to a command typed by hand, passed on as it came
    Ignored, // an answer the instrument sends when it has nothing to say
    NoAnswer, // a query whose answer did not come by its deadline: given up
    Late, // the late answer to a query given up: dropped
    Misshapen, // a reply not shaped as the answer awaited: dropped
    Unsolicited, // a reply while none was awaited or owed: dropped and reported
};

struct TrafficLine
{
    QTime at; // to the millisecond
    TrafficRoute route = TrafficRoute::Sent;
    ReplyCode code = ReplyCode::None; // the answer awaited (for a command, the one it asks for)
    QString text; // as sent or received, terminators included
};

// How the console names a route: "sent", "reading", "read-back", …
QString TrafficRouteName(TrafficRoute route);
// A line as the console shows and saves it: "12:00:01.250  sent       4    fetch?\r".
// Control characters are shown as escapes so that a line stays one line.
QString TrafficLineText(const TrafficLine& line);
