#pragma once
// The serial ports the system knows now, for the operator to choose from. Opening one is
// TComm's job; this only lists them.
#include <QString>
#include <QStringList>
#include <vector>

// One serial port that exists now, as the system describes it.
struct PresentPort
{
    QString name; // device name without "/dev/", e.g. ttyUSB0
    QString description; // the driver's or device's own description; may be empty
    QString bus; // how it is attached: usb, pci, pnp, platform, …
};

// The bus a port hangs on, from the subsystems of its device and the device's parents,
// nearest first (as sysfs shows them). Layers the kernel puts between a port and its
// hardware ("serial-base", "tty") are skipped; "usb-serial" is a USB adapter. A chain
// with nothing known gives "serial".
QString BusOfSubsystems(const QStringList& subsystemsNearestFirst);

// Reads the ports that exist now (enumerated by the system, device node present). Safe to
// call from any thread.
std::vector<PresentPort> ListPresentPorts();
