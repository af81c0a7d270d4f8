#pragma once
// Where live readings go: an MQTT broker and the topic prefix under which every station
// publishes, read from mqtt://[USER@]HOST[:PORT]/TOPIC/PREFIX (mqtts:// for TLS). A password
// never comes in the address: it would show in the process list and in the shell's history.
#include <QString>
#include <stdexcept>

struct PublishLocation
{
    bool tls = false; // mqtts://: TLS, checked against the system's certificate store
    QString user; // empty: anonymous
    QString host;
    int port = 1883; // 8883 with TLS, unless given
    QString prefix; // the topic prefix without slashes around it; may have several levels
};

// An address or password file that cannot be used; what() is a message the operator reads
// (it never holds the password).
class EPublishSetup : public std::runtime_error
{
public:
    explicit EPublishSetup(const QString& message);
};

// Throws EPublishSetup for another scheme, a password in the address, no host, a port out of
// range, no topic prefix, or a prefix with MQTT's wildcards (+, #), an empty level or a NUL.
PublishLocation ParsePublishUrl(const QString& text);
// The address as messages show it, without the user: "mqtt://host:1883/lab".
QString PublishUrlText(const PublishLocation& location);
// Whether `station` can be a topic level of its own (no /, + or #, no NUL, not empty).
bool IsTopicLevel(const QString& station);
// The password on the first line of `path` (its line end dropped). Throws EPublishSetup
// when the file cannot be read or its first line is empty.
QString ReadPasswordFile(const QString& path);
