#pragma once
// What the tests read off a simulated instrument and the operator's messages, shared by
// the tests that drive a session against SimulatorHost.
#include "sim/SimulatorHost.h"
#include "workflows/OperatorMessages.h"

#include <QString>
#include <QStringList>

// Every line the simulator received, in order.
inline QStringList WireLines(const SimulatorHost& host)
{
    QStringList lines;
    for (const SimReceivedLine& line : host.ReceivedLines())
        lines.append(QString::fromStdString(line.line));
    return lines;
}

// The messages an action told the operator.
struct Told : IOperatorMessages
{
    QStringList messages;
    void Tell(const QString& message) override { messages << message; }
};
