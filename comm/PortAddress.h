#pragma once
// What a port text names: a local device, or a device server on the network reached as a
// raw byte stream ("tcp://HOST:PORT") or through Telnet with remote line control
// ("rfc2217://HOST:PORT"). The one place that tells them apart.
#include <QString>
#include <cstdint>
#include <optional>
#include <string>

enum class TPortKind { Local, Tcp, Rfc2217 };

struct TPortAddress
{
    TPortKind Kind = TPortKind::Local;
    std::string Path; // Local: the device path
    std::string Host; // network: a name or an address, IPv6 without its brackets
    uint16_t Port = 0;
    bool operator==(const TPortAddress&) const = default;
};

struct TParsedPort
{
    std::optional<TPortAddress> Address;
    QString Error; // why the text names no port, when Address is empty
};

// A text without "://" is a local port: a name starting with "/" is a path already
// ("/dev/pts/7"), "ttyUSB0" lives in /dev. A network port is SCHEME://HOST:PORT (scheme in
// any case, IPv6 addresses in brackets, blanks around the text ignored).
TParsedPort ParsePortText(const QString& text);
