#include "store/ResultsUrl.h"

#include <QSysInfo>
#include <QUrl>
#include <QUrlQuery>

namespace {

[[noreturn]] void Refuse(const QString& why)
{
    throw EResultsUrl((why
        + QStringLiteral(" (write it as postgresql://USER@HOST:PORT/DB, or postgresql://USER@/DB?host="
                         "/socket/folder)"))
                          .toStdString());
}

const QStringList kSslModes { "disable", "allow", "prefer", "require", "verify-ca", "verify-full" };
// Settings of libpq the address may carry besides host and port.
const QStringList kFileSettings { "sslrootcert", "sslcert", "sslkey", "sslcrl" };

// A value as libpq's keyword=value form reads it.
QString Quoted(QString value)
{
    value.replace(u'\\', QStringLiteral("\\\\"));
    value.replace(u'\'', QStringLiteral("\\'"));
    return u'\'' + value + u'\'';
}

} // namespace

bool IsSharedResultsUrl(const QString& url)
{
    return url.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive)
        || url.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive);
}

SharedResultsLocation ParseResultsUrl(const QString& url)
{
    if (!IsSharedResultsUrl(url))
        Refuse(QStringLiteral("The results database must be a postgresql:// address"));
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid())
        Refuse(QStringLiteral("The results database address cannot be read"));
    if (!parsed.password().isEmpty() || parsed.userInfo().contains(u':'))
        throw EResultsUrl("The results database address must not hold a password: put it in ~/.pgpass "
                          "(or in the file PGPASSFILE names), mode 0600, or type it when the window asks.");
    SharedResultsLocation location;
    location.user = parsed.userName();
    location.host = parsed.host();
    location.port = parsed.port();
    location.database = parsed.path().mid(1);
    if (location.user.isEmpty())
        Refuse(QStringLiteral("The results database address needs a user"));
    if (location.database.isEmpty() || location.database.contains(u'/'))
        Refuse(QStringLiteral("The results database address needs one database name after the host"));
    const QUrlQuery query(parsed);
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == u"password")
            throw EResultsUrl(
                "The results database address must not hold a password: put it in ~/.pgpass "
                "(or in the file PGPASSFILE names), mode 0600, or type it when the window asks.");
        if (key == u"host") {
            location.host = value;
        } else if (key == u"port") {
            bool ok = false;
            location.port = value.toInt(&ok);
            if (!ok || location.port <= 0 || location.port > 65535)
                Refuse(QStringLiteral("The port of the results database must be a number from 1 to 65535"));
        } else if (key == u"sslmode") {
            if (!kSslModes.contains(value))
                Refuse(QStringLiteral("sslmode must be one of ") + kSslModes.join(QStringLiteral(", ")));
            location.settings << key + u'=' + value;
        } else if (kFileSettings.contains(key)) {
            // The driver splits its options at ';'.
            if (value.contains(u';'))
                Refuse(key + QStringLiteral(" must not hold a ';'"));
            location.settings << key + u'=' + Quoted(value);
        } else {
            Refuse(QStringLiteral("The results database address has an unknown setting \"%1\"").arg(key));
        }
    }
    return location;
}

QString SharedResultsLocation::Display() const
{
    QString text = QStringLiteral("postgresql://") + user + u'@';
    const bool socket = host.startsWith(u'/');
    if (!socket)
        text += host.contains(u':') ? u'[' + host + u']' : host;
    if (port > 0)
        text += u':' + QString::number(port);
    text += u'/' + database;
    if (socket)
        text += QStringLiteral("?host=") + host;
    return text;
}

QString ConnectOptions(const SharedResultsLocation& location)
{
    // A server that went away mid-statement is noticed by the keep-alives and the
    // user time-out instead of the system's retransmissions (minutes).
    QStringList options { QStringLiteral("connect_timeout=2"), QStringLiteral("keepalives=1"),
        QStringLiteral("keepalives_idle=5"), QStringLiteral("keepalives_interval=2"),
        QStringLiteral("keepalives_count=2"), QStringLiteral("tcp_user_timeout=6000") };
    options << location.settings;
    return options.join(u';');
}

QString DefaultStation()
{
    return QSysInfo::machineHostName();
}
