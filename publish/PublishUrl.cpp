#include "publish/PublishUrl.h"

#include <QFile>
#include <QUrl>

namespace {

constexpr int kPlainPort = 1883;
constexpr int kTlsPort = 8883;

bool IsTopicText(const QString& text)
{
    return !text.isEmpty() && !text.contains(u'+') && !text.contains(u'#') && !text.contains(QChar(0));
}

} // namespace

EPublishSetup::EPublishSetup(const QString& message)
    : std::runtime_error(message.toStdString())
{ }

PublishLocation ParsePublishUrl(const QString& text)
{
    // The address is never quoted back whole: a mistyped one may hold a password.
    PublishLocation location;
    const qsizetype schemeEnd = text.indexOf(QStringLiteral("://"));
    const QString scheme = schemeEnd < 0 ? QString() : text.left(schemeEnd).toLower();
    if (scheme != u"mqtt" && scheme != u"mqtts")
        throw EPublishSetup(QStringLiteral("the address must begin with mqtt:// or mqtts://"));
    location.tls = scheme == u"mqtts";
    const QString rest = text.mid(schemeEnd + 3);
    const QString authority = rest.section(u'/', 0, 0);
    if (const qsizetype at = authority.lastIndexOf(u'@'); at >= 0 && authority.left(at).contains(u':'))
        throw EPublishSetup(
            QStringLiteral("the address must not hold a password: put it on the first line of "
                           "a file and name that with --publish-password-file"));
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        throw EPublishSetup(
            QStringLiteral("the address needs a broker: mqtt://[USER@]HOST[:PORT]/TOPIC/PREFIX"));
    if (url.hasQuery() || url.hasFragment())
        throw EPublishSetup(QStringLiteral("the address takes no ?query or #fragment"));
    location.user = url.userName(QUrl::FullyDecoded);
    location.host = url.host(QUrl::FullyDecoded);
    location.port = url.port(location.tls ? kTlsPort : kPlainPort);
    if (location.port < 1)
        throw EPublishSetup(QStringLiteral("the broker's port must be 1 to 65535"));
    QString prefix = url.path(QUrl::FullyDecoded);
    while (prefix.startsWith(u'/'))
        prefix.remove(0, 1);
    while (prefix.endsWith(u'/'))
        prefix.chop(1);
    if (prefix.isEmpty())
        throw EPublishSetup(QStringLiteral("the address needs a topic prefix after the broker: "
                                           "mqtt://HOST/TOPIC/PREFIX"));
    for (const QString& level : prefix.split(u'/')) {
        if (!IsTopicText(level))
            throw EPublishSetup(QStringLiteral("the topic prefix must not hold +, #, a NUL or an empty level "
                                               "(//)"));
    }
    location.prefix = prefix;
    return location;
}

QString PublishUrlText(const PublishLocation& location)
{
    const QString host = location.host.contains(u':') ? u'[' + location.host + u']' : location.host;
    return QStringLiteral("%1://%2:%3/%4")
        .arg(location.tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"), host)
        .arg(location.port)
        .arg(location.prefix);
}

bool IsTopicLevel(const QString& station)
{
    return IsTopicText(station) && !station.contains(u'/');
}

QString ReadPasswordFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EPublishSetup(
            QStringLiteral("the password file %1 cannot be read: %2").arg(path, file.errorString()));
    QByteArray line = file.readLine();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        throw EPublishSetup(
            QStringLiteral("the password file %1 holds no password on its first line").arg(path));
    return QString::fromUtf8(line);
}
