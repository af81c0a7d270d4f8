#pragma once
// An MQTT broker of its own for a test or a benchmark: Debian's mosquitto on a free port of
// 127.0.0.1, its configuration in a temporary folder, anonymous or with a password file made
// by mosquitto_passwd; and mosquitto_sub as a listener that keeps every message it gets.
#include "EventLoop.h" // beside it, for the benchmarks too

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

class MqttTestBroker
{
public:
    // With a user, only that user with that password may connect.
    explicit MqttTestBroker(QString user = {}, QString password = {})
        : FUser(std::move(user))
        , FPassword(std::move(password))
    {
        for (const char* tool :
            { "/usr/sbin/mosquitto", "/usr/bin/mosquitto_sub", "/usr/bin/mosquitto_passwd" }) {
            if (!QFile::exists(QLatin1String(tool))) {
                FProblem = QStringLiteral("%1 is not installed (scripts/deps installs mosquitto)").arg(tool);
                return;
            }
        }
        FPort = FreePort();
        QString config
            = QStringLiteral("listener %1 127.0.0.1\npersistence false\nlog_dest stderr\n").arg(FPort);
        // Run as root, mosquitto would change to its own user, who cannot read this folder.
        if (::geteuid() == 0)
            config += QStringLiteral("user root\n");
        if (FUser.isEmpty()) {
            config += QStringLiteral("allow_anonymous true\n");
        } else {
            const QString passwords = FDir.filePath(QStringLiteral("passwords"));
            QProcess tool;
            tool.start(
                QStringLiteral("/usr/bin/mosquitto_passwd"), { "-b", "-c", passwords, FUser, FPassword });
            if (!tool.waitForFinished(10000) || tool.exitCode() != 0) {
                FProblem = QStringLiteral("mosquitto_passwd failed: ") + tool.readAllStandardError();
                return;
            }
            config += QStringLiteral("allow_anonymous false\npassword_file %1\n").arg(passwords);
        }
        QFile file(FDir.filePath(QStringLiteral("mosquitto.conf")));
        file.open(QIODevice::WriteOnly);
        file.write(config.toUtf8());
        file.close();
        Start();
    }
    ~MqttTestBroker() { Stop(); }
    MqttTestBroker(const MqttTestBroker&) = delete;
    MqttTestBroker& operator=(const MqttTestBroker&) = delete;

    // Empty when the broker runs; otherwise why not.
    QString Problem() const { return FProblem; }
    int Port() const { return FPort; }

    // Starts it (again, on the same port); false when it did not say it runs.
    bool Start()
    {
        FLog.clear();
        FProcess.setProcessChannelMode(QProcess::MergedChannels);
        FProcess.start(
            QStringLiteral("/usr/sbin/mosquitto"), { "-c", FDir.filePath(QStringLiteral("mosquitto.conf")) });
        const bool running = WaitUntil([this] {
            FLog += FProcess.readAll();
            return FLog.contains(" running") || FProcess.state() == QProcess::NotRunning;
        }) && FProcess.state() == QProcess::Running;
        if (!running)
            FProblem = QStringLiteral("mosquitto did not start: ") + QString::fromLocal8Bit(FLog);
        return running;
    }
    void Stop()
    {
        if (FProcess.state() == QProcess::NotRunning)
            return;
        FProcess.terminate();
        FProcess.waitForFinished(10000);
    }

private:
    static int FreePort()
    {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        ::bind(s, reinterpret_cast<sockaddr*>(&address), size);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
        ::close(s);
        return ntohs(address.sin_port);
    }

    QTemporaryDir FDir;
    QString FUser, FPassword;
    QString FProblem;
    int FPort = 0;
    QProcess FProcess;
    QByteArray FLog;
};

// mosquitto_sub -v on a topic filter: every message as (topic, payload), in the order it came.
class MqttListener
{
public:
    MqttListener(int port, const QString& filter, const QStringList& login = {})
    {
        // -d tells when the subscription stands (SUBACK), on lines of its own; stdbuf hands
        // every line over as it is written, not when a pipe's buffer is full.
        FProcess.start(QStringLiteral("/usr/bin/stdbuf"),
            QStringList { "-oL", "/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", QString::number(port),
                "-v", "-d", "-t", filter }
                + login);
        FSubscribed = WaitUntil([this] {
            Read();
            return FDebug.contains(QStringLiteral("SUBACK"));
        });
    }
    ~MqttListener()
    {
        FProcess.terminate();
        FProcess.waitForFinished(5000);
    }
    MqttListener(const MqttListener&) = delete;
    MqttListener& operator=(const MqttListener&) = delete;

    bool Subscribed() const { return FSubscribed; }

    // The payloads on `topic` so far.
    QStringList On(const QString& topic)
    {
        Read();
        QStringList payloads;
        for (const auto& [t, payload] : FMessages) {
            if (t == topic)
                payloads.append(payload);
        }
        return payloads;
    }

private:
    void Read()
    {
        while (FProcess.canReadLine()) {
            const QString line = QString::fromUtf8(FProcess.readLine()).chopped(1);
            if (line.startsWith(QLatin1String("Client ")) || line.startsWith(QLatin1String("Subscribed (")))
                FDebug += line + u'\n';
            else
                FMessages.emplace_back(line.section(u' ', 0, 0), line.section(u' ', 1));
        }
    }

    QProcess FProcess;
    bool FSubscribed = false;
    QString FDebug;
    std::vector<std::pair<QString, QString>> FMessages;
};
