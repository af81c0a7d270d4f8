#include "comm/Transport.h"

#include "comm/NetSocket.h"
#include "comm/PortAddress.h"
#include "comm/Rfc2217Transport.h"
#include "comm/SerialComm.h"
#include "comm/TcpTransport.h"
#include "comm/TtyTransport.h"
#include <cerrno>
#include <chrono>

namespace {

using namespace std::chrono_literals;

// A device server on the local network answers within milliseconds; these only keep a
// wrong address from holding the program for the system's minutes.
constexpr auto kLookupLimit = 5s;
constexpr auto kConnectLimit = 5s;
constexpr auto kNegotiationLimit = 3s;

const char kCannotOpen[] = "Error opening serial port";

std::unique_ptr<TTransport> OpenLocal(const std::string& path)
{
    const auto opened = PosixSerial::OpenPort(path);
    switch (opened.Error) {
    case PosixSerial::TOpenError::None:
        break;
    case PosixSerial::TOpenError::CannotOpen:
        throw ECommsError(kCannotOpen, opened.OsError);
    case PosixSerial::TOpenError::NotCommDevice:
        throw ECommsError("File handle is not a comm handle ", opened.OsError);
    case PosixSerial::TOpenError::CannotSetup:
        throw ECommsError("Cannot setup comm buffer", opened.OsError);
    }
    auto* transport = new (std::nothrow) TTtyTransport(opened.Fd);
    if (!transport) {
        PosixSerial::ClosePort(opened.Fd);
        throw ECommsError("Cannot setup comm buffer", ENOMEM);
    }
    transport->Flush(PosixSerial::TQueue::Both);
    return std::unique_ptr<TTransport>(transport);
}

std::unique_ptr<TTransport> OpenNetwork(const TPortAddress& address, int cancelSignal)
{
    const NetSocket::TConnectResult connected
        = NetSocket::Connect(address.Host, address.Port, kLookupLimit, kConnectLimit, cancelSignal);
    if (connected.Fd < 0) {
        if (!connected.LookupError.empty())
            throw ECommsError(kCannotOpen, 0,
                QString::fromStdString(address.Host) + QStringLiteral(": ")
                    + QString::fromLocal8Bit(connected.LookupError.c_str())
                    + QStringLiteral(": is the host name right?"));
        throw ECommsError(kCannotOpen, connected.OsError);
    }
    if (address.Kind == TPortKind::Tcp) {
        auto* transport = new (std::nothrow) TTcpTransport(connected.Fd);
        if (!transport) {
            close(connected.Fd);
            throw ECommsError("Cannot setup comm buffer", ENOMEM);
        }
        return std::unique_ptr<TTransport>(transport);
    }
    auto* telnet = new (std::nothrow) TRfc2217Transport(connected.Fd);
    if (!telnet) {
        close(connected.Fd);
        throw ECommsError("Cannot setup comm buffer", ENOMEM);
    }
    std::unique_ptr<TTransport> transport(telnet);
    if (const int error = telnet->Negotiate(kNegotiationLimit, cancelSignal))
        throw ECommsError(kCannotOpen, error);
    return transport;
}

} // namespace

std::unique_ptr<TTransport> OpenTransport(const QString& portText, int cancelSignal)
{
    const TParsedPort parsed = ParsePortText(portText);
    if (!parsed.Address)
        throw ECommsError(kCannotOpen, EINVAL, parsed.Error);
    if (parsed.Address->Kind == TPortKind::Local)
        return OpenLocal(parsed.Address->Path);
    return OpenNetwork(*parsed.Address, cancelSignal);
}

bool OpensAtOnce(const QString& portText)
{
    const TParsedPort parsed = ParsePortText(portText);
    return !parsed.Address || parsed.Address->Kind == TPortKind::Local;
}
