#pragma once
// The port box's rules: the entries of the port list and the port name taken from a
// chosen entry.
#include "comm/PortEnumeration.h"
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// The entry that stands for "no port found", so the list is never empty.
inline const QString kStandInPort = QStringLiteral("ttyS0");
// The port text that starts the built-in instrument simulator instead of opening a device.
inline const QString kSimulatorPort = QStringLiteral("SIM");
inline const QString kSimulatorEntry = QStringLiteral("SIM | Built-in instrument simulator | sim");

// name + " | " + description + " | " + bus; a port without a description is called
// "Serial Port (<name>)" so the middle field never reads empty.
QString PortEntry(const PresentPort& port);

// The entries of the port box: one per port, sorted as text ignoring case (so ttyS10
// comes before ttyS2), the stand-in alone when there is none, and the simulator entry
// last when it is offered.
QStringList PortEntries(const std::vector<PresentPort>& ports, bool withSimulator);

// The port name in a chosen entry: the text before the first "|" without leading and
// trailing blanks or control characters. Nothing when the text holds no "|" (a name
// typed by hand is used as typed).
std::optional<QString> ChosenPortName(const QString& comboText);

// ListPresentPorts formatted as the port box shows them.
QStringList ListPortDescriptions(bool withSimulator);
