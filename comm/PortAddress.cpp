#include "comm/PortAddress.h"

#include <QFile>

namespace {

TParsedPort Refused(const QString& why)
{
    return { std::nullopt, why };
}

} // namespace

TParsedPort ParsePortText(const QString& text)
{
    const qsizetype scheme = text.indexOf(QStringLiteral("://"));
    if (scheme < 0) {
        const QString path = text.startsWith(QLatin1Char('/')) ? text : QStringLiteral("/dev/") + text;
        return { TPortAddress { TPortKind::Local, QFile::encodeName(path).toStdString(), {}, 0 }, {} };
    }
    const QString form = QStringLiteral(": write tcp://HOST:PORT or rfc2217://HOST:PORT");
    const QString name = text.left(scheme).trimmed().toLower();
    TPortAddress address;
    if (name == u"tcp")
        address.Kind = TPortKind::Tcp;
    else if (name == u"rfc2217")
        address.Kind = TPortKind::Rfc2217;
    else
        return Refused(QStringLiteral("unknown kind of network port \"%1\"").arg(name) + form);

    QString rest = text.mid(scheme + 3).trimmed();
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return Refused(QStringLiteral("the TCP port number is missing") + form);
    QString host = rest.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return Refused(QStringLiteral("an IPv6 address goes in brackets, as in tcp://[::1]:7000"));
    if (host.isEmpty() || host.contains(QLatin1Char('/')) || host.contains(QLatin1Char(' ')))
        return Refused(QStringLiteral("the host name is missing or not valid") + form);
    const QString portText = rest.mid(colon + 1);
    bool ok = false;
    const uint port = portText.toUInt(&ok, 10);
    if (!ok || port == 0 || port > 65535 || !portText.front().isDigit())
        return Refused(QStringLiteral("\"%1\" is no TCP port number (1 to 65535)").arg(portText));
    address.Host = host.toStdString();
    address.Port = static_cast<uint16_t>(port);
    return { address, {} };
}
