// The port text: which texts name a local device, which a device server, and what the
// operator is told about a text that names neither.
#include "comm/PortAddress.h"

#include <gtest/gtest.h>

TEST(PortText, NamesALocalDeviceOrADeviceServer)
{
    struct Case
    {
        QString text;
        std::optional<TPortAddress> address;
        QString errorPart; // of the message when the text names no port
    };
    const auto local = [](const char* path) { return TPortAddress { TPortKind::Local, path, {}, 0 }; };
    const auto net = [](TPortKind kind, const char* host, uint16_t port) {
        return TPortAddress { kind, {}, host, port };
    };
    const Case cases[] = {
        { QStringLiteral("ttyUSB0"), local("/dev/ttyUSB0"), {} },
        { QStringLiteral("/dev/pts/7"), local("/dev/pts/7"), {} },
        { QStringLiteral("tcp://127.0.0.1:7000"), net(TPortKind::Tcp, "127.0.0.1", 7000), {} },
        { QStringLiteral(" RFC2217://server.lan:2217/ "), net(TPortKind::Rfc2217, "server.lan", 2217), {} },
        { QStringLiteral("tcp://[::1]:65535"), net(TPortKind::Tcp, "::1", 65535), {} },
        { QStringLiteral("tcp://127.0.0.1"), std::nullopt, QStringLiteral("port number is missing") },
        { QStringLiteral("tcp://127.0.0.1:"), std::nullopt, QStringLiteral("no TCP port number") },
        { QStringLiteral("tcp://:7000"), std::nullopt, QStringLiteral("host name is missing") },
        { QStringLiteral("tcp://h:0"), std::nullopt, QStringLiteral("no TCP port number") },
        { QStringLiteral("tcp://h:65536"), std::nullopt, QStringLiteral("no TCP port number") },
        { QStringLiteral("tcp://h:+80"), std::nullopt, QStringLiteral("no TCP port number") },
        { QStringLiteral("tcp://::1:7000"), std::nullopt, QStringLiteral("in brackets") },
        { QStringLiteral("telnet://h:23"), std::nullopt, QStringLiteral("unknown kind") },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        const TParsedPort parsed = ParsePortText(c.text);
        EXPECT_EQ(parsed.Address, c.address);
        if (c.address)
            EXPECT_TRUE(parsed.Error.isEmpty());
        else
            EXPECT_TRUE(parsed.Error.contains(c.errorPart)) << parsed.Error.toStdString();
    }
}
