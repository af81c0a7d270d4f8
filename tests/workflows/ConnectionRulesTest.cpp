#include "workflows/ConnectionRules.h"

#include <gtest/gtest.h>

namespace {

struct EntriesCase
{
    const char* what;
    std::vector<PresentPort> ports;
    bool withSimulator;
    QStringList expected;
};

TEST(PortEntries, FormatSortAndStandIn)
{
    const EntriesCase cases[] = {
        { "no port: the stand-in alone", {}, false, { "ttyS0" } },
        { "no port, simulator offered: stand-in, then the simulator", {}, true,
            { "ttyS0", kSimulatorEntry } },
        { "one adapter", { { "ttyUSB0", "FT232R USB UART", "usb" } }, false,
            { "ttyUSB0 | FT232R USB UART | usb" } },
        { "a port without description is named after itself", { { "ttyS0", "", "pnp" } }, false,
            { "ttyS0 | Serial Port (ttyS0) | pnp" } },
        { "text order, so ttyS10 before ttyS2",
            { { "ttyS2", "", "pnp" }, { "ttyS10", "", "pnp" }, { "ttyACM0", "Load", "usb" } }, false,
            { "ttyACM0 | Load | usb", "ttyS10 | Serial Port (ttyS10) | pnp",
                "ttyS2 | Serial Port (ttyS2) | pnp" } },
        { "case is ignored when sorting",
            { { "ttyUSB1", "b", "usb" }, { "TTYUSB0", "a", "usb" }, { "ttyusb2", "c", "usb" } }, false,
            { "TTYUSB0 | a | usb", "ttyUSB1 | b | usb", "ttyusb2 | c | usb" } },
        { "the simulator comes last, after the sorted ports", { { "ttyUSB0", "x", "usb" } }, true,
            { "ttyUSB0 | x | usb", kSimulatorEntry } },
    };
    for (const EntriesCase& c : cases)
        EXPECT_EQ(PortEntries(c.ports, c.withSimulator), c.expected) << c.what;

    // The port box is filled from the system's list through the same rules.
    EXPECT_FALSE(ListPortDescriptions(false).isEmpty());
    EXPECT_EQ(ListPortDescriptions(true).last(), kSimulatorEntry);
}

TEST(PortEntries, ChosenPortName)
{
    const std::pair<QString, std::optional<QString>> cases[] = {
        { "ttyUSB0 | FT232R USB UART | usb", QString("ttyUSB0") },
        { "SIM | Built-in instrument simulator | sim", QString("SIM") },
        { " \tttyS1\x01 | x | y", QString("ttyS1") }, // blanks and control characters go
        { "tty S1 | x", QString("tty S1") }, // but only at the ends
        { "a|b|c", QString("a") }, // the first bar counts
        { "| nothing before", QString("") },
        { "ttyUSB0", std::nullopt }, // typed by hand: used as typed
        { "/dev/pts/7", std::nullopt },
        { "tcp://127.0.0.1:7000", std::nullopt },
        { "", std::nullopt },
    };
    for (const auto& [text, name] : cases)
        EXPECT_EQ(ChosenPortName(text), name) << text.toStdString();
}

} // namespace
