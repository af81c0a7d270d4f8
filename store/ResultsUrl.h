#pragma once
// Where a shared results database is, as the operator writes it:
//   postgresql://USER@HOST:PORT/DB[?sslmode=require]
//   postgresql://USER@/DB?host=/path/to/socket/folder[&port=PORT]
// The address never carries a password: libpq finds it in ~/.pgpass (or the file
// PGPASSFILE names), or the window asks for it. Pure text, no connection is made here.
#include <QString>
#include <QStringList>
#include <stdexcept>

// The address was refused; what() says why and how to write it, and never repeats it
// (it may hold a password).
class EResultsUrl : public std::invalid_argument
{
public:
    using std::invalid_argument::invalid_argument;
};

struct SharedResultsLocation
{
    QString user;
    QString host; // a name, an address, or the folder holding the server's socket
    int port = -1; // -1: the driver's default
    QString database;
    // libpq settings taken from the address, as keyword=value ("sslmode=require").
    QStringList settings;

    // The address as it may be shown: in the status line, messages and logs.
    QString Display() const;
};

// Throws EResultsUrl.
SharedResultsLocation ParseResultsUrl(const QString& url);

// The driver's connect options: short time-outs, so that a server that cannot be reached
// is known within seconds, and the address's own settings. Separated by ';'.
QString ConnectOptions(const SharedResultsLocation& location);

// True when `url` names a shared database (and not a local file).
bool IsSharedResultsUrl(const QString& url);

// The station a shared store's rows carry when none is named: this computer's host name.
QString DefaultStation();
