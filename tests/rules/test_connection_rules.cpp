#include "workflows/ConnectionRules.h"

#include <gtest/gtest.h>
#include <set>

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
        { "", std::nullopt },
    };
    for (const auto& [text, name] : cases)
        EXPECT_EQ(ChosenPortName(text), name) << text.toStdString();
}

TEST(ReadBackQueries, OrderAndCodes)
{
    const std::vector<ReadBackQuery> queries = SettingsReadBackQueries();
    ASSERT_EQ(queries.size(), 50u);
    const std::vector<ReadBackQuery> head {
        { "mset:imax?", 81 },
        { "mset:vmax?", 82 },
        { "mset:pmax?", 83 },
        { "mset:von?", 84 },
        { "mset:voff?", 85 },
        { "mset:aoff?", 86 },
        { "load:curr?", 72 },
        { "load:volt?", 73 },
        { "load:pow?", 74 },
        { "load:res?", 75 },
        { "mset:rsen?", 80 },
        { "bat:curr?", 91 },
        { "bat:vmin?", 92 },
        { "tran:lmod?", 101 },
        { "tran:tmod?", 102 },
        { "tran:leva?", 103 },
        { "tran:levb?", 104 },
        { "list:snum?", 111 },
        { "list:smod?", 112 },
        { "list:rep?", 113 },
    };
    EXPECT_EQ(std::vector<ReadBackQuery>(queries.begin(), queries.begin() + 20), head);
    EXPECT_EQ(queries[20], ReadBackQuery("list:step0:lev?", 129));
    EXPECT_EQ(queries[34], ReadBackQuery("list:step14:lev?", 143));
    EXPECT_EQ(queries[35], ReadBackQuery("list:step0:comp?", 144));
    EXPECT_EQ(queries[49], ReadBackQuery("list:step14:comp?", 158));

    // Every query is answered under its own code, and every one is a query.
    std::set<int> codes;
    for (const auto& [query, code] : queries) {
        EXPECT_TRUE(query.endsWith(u'?')) << query.toStdString();
        codes.insert(code);
    }
    EXPECT_EQ(codes.size(), queries.size());
}

} // namespace
