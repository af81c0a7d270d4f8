// The system's list of serial ports: what it offers and how a port's bus is named.
#include "comm/PortEnumeration.h"

#include <QFileInfo>
#include <gtest/gtest.h>
#include <utility>

TEST(PortEnumeration, BusFromTheDeviceChain)
{
    const std::pair<QStringList, QString> cases[] = {
        { { "usb-serial", "usb", "usb", "pci" }, "usb" }, // USB adapter (ttyUSB)
        { { "usb", "usb", "pci" }, "usb" }, // USB modem class (ttyACM)
        { { "serial-base", "serial-base", "pnp" }, "pnp" }, // on-board port, newer kernels
        { { "serial-base", "serial-base", "platform" }, "platform" },
        { { "pnp" }, "pnp" }, // on-board port, older kernels
        { { "pci" }, "pci" }, // plug-in card
        { { "serial-base" }, "serial" }, // nothing known beyond the port layer
        { {}, "serial" },
    };
    for (const auto& [chain, bus] : cases)
        EXPECT_EQ(BusOfSubsystems(chain), bus) << chain.join(u',').toStdString();
}

TEST(PortEnumeration, SystemListOffersOnlyPortsThatExist)
{
    for (const PresentPort& port : ListPresentPorts())
        EXPECT_TRUE(QFileInfo::exists("/dev/" + port.name)) << port.name.toStdString();
}
