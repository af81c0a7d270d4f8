#include "comm/PortEnumeration.h"

#include <QFileInfo>
#include <QSerialPortInfo>
#include <mutex>

namespace {

// Subsystem names of the port's device and its parents, nearest first.
QStringList SubsystemChain(const QString& portName)
{
    QStringList chain;
    QString device = QFileInfo(QStringLiteral("/sys/class/tty/%1/device").arg(portName)).canonicalFilePath();
    const QString top = QStringLiteral("/sys/devices");
    while (device.startsWith(top + u'/')) {
        const QFileInfo link(device + QStringLiteral("/subsystem"));
        if (link.isSymLink())
            chain.append(QFileInfo(link.symLinkTarget()).fileName());
        device = QFileInfo(device).path();
    }
    return chain;
}

} // namespace

QString BusOfSubsystems(const QStringList& subsystemsNearestFirst)
{
    for (const QString& subsystem : subsystemsNearestFirst) {
        if (subsystem == u"serial-base" || subsystem == u"tty" || subsystem.isEmpty())
            continue;
        if (subsystem == u"usb-serial")
            return QStringLiteral("usb");
        return subsystem;
    }
    return QStringLiteral("serial");
}

std::vector<PresentPort> ListPresentPorts()
{
    // The system's device library sets up its shared state lazily and not safely from two
    // threads at once (the window lists ports at start-up on a thread of its own).
    static std::mutex enumerating; // guards every use of the device library here
    const std::lock_guard<std::mutex> lock(enumerating);
    std::vector<PresentPort> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        // The enumeration may remember a device whose node is already gone.
        if (!QFileInfo::exists(info.systemLocation()))
            continue;
        ports.push_back(
            { info.portName(), info.description(), BusOfSubsystems(SubsystemChain(info.portName())) });
    }
    return ports;
}
