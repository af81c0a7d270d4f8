#pragma once
// A PostgreSQL server of its own for a test or a benchmark: a fresh cluster in a temporary
// folder, listening only on a Unix socket there, removed again at the end. Run as root, the
// server runs as the unprivileged system user dcloadpg (made when missing), since the
// server refuses to run as root. Its superuser is "dcload" (trusted on the socket);
// "pwuser" must give its password (scram-sha-256).
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <csignal>
#include <pwd.h>
#include <unistd.h>
#include <vector>

class PgTestServer
{
public:
    PgTestServer()
    {
        const QString bin = QStringLiteral("/usr/lib/postgresql/15/bin");
        FBin = QFile::exists(bin + QStringLiteral("/initdb")) ? bin : FindBin();
        if (FBin.isEmpty()) {
            FProblem = QStringLiteral("initdb was not found (install postgresql)");
            return;
        }
        QByteArray folder = QDir::tempPath().toLocal8Bit() + "/dcload-pg-XXXXXX";
        if (!::mkdtemp(folder.data())) {
            FProblem = QStringLiteral("cannot make a temporary folder");
            return;
        }
        FDir = QString::fromLocal8Bit(folder);
        if (::geteuid() == 0 && !RunAsServer()) {
            FProblem = QStringLiteral("cannot make or use the system user dcloadpg");
            return;
        }
        FPort = 20000 + static_cast<int>(QRandomGenerator::global()->bounded(40000));
        FPassword = QUuid::createUuid().toString(QUuid::Id128).left(20);
        if (!Run(FBin + QStringLiteral("/initdb"),
                { "-D", Data(), "-U", "dcload", "--auth-local=trust", "--auth-host=reject", "-E", "UTF8",
                    "-N" },
                true)) {
            return;
        }
        QFile conf(Data() + QStringLiteral("/postgresql.conf"));
        conf.open(QIODevice::Append);
        conf.write(QStringLiteral("listen_addresses = ''\nunix_socket_directories = '%1'\nport = %2\n"
                                  "max_connections = 20\nshared_buffers = 16MB\n")
                       .arg(FDir)
                       .arg(FPort)
                       .toUtf8());
        conf.close();
        QFile hba(Data() + QStringLiteral("/pg_hba.conf"));
        hba.open(QIODevice::WriteOnly | QIODevice::Truncate);
        hba.write("local all pwuser scram-sha-256\nlocal all all trust\n");
        hba.close();
        if (!Start())
            return;
        Psql(QStringLiteral("create database results"), QStringLiteral("postgres"));
        Psql(QStringLiteral("create role pwuser login password '%1'").arg(FPassword),
            QStringLiteral("postgres"));
        Psql(QStringLiteral("grant all on schema public to pwuser"));
    }

    ~PgTestServer()
    {
        if (FStarted)
            Run(FBin + QStringLiteral("/pg_ctl"), { "-D", Data(), "-m", "immediate", "-w", "stop" }, true);
        if (!FDir.isEmpty())
            QDir(FDir).removeRecursively();
    }
    PgTestServer(const PgTestServer&) = delete;
    PgTestServer& operator=(const PgTestServer&) = delete;

    // Empty when the server runs; otherwise why not.
    QString Problem() const { return FProblem; }
    QString SocketDir() const { return FDir; }
    int Port() const { return FPort; }
    QString Password() const { return FPassword; }
    QString Url(const QString& user = QStringLiteral("dcload")) const
    {
        return QStringLiteral("postgresql://%1@:%2/results?host=%3").arg(user).arg(FPort).arg(FDir);
    }

    bool Start()
    {
        FStarted = Run(FBin + QStringLiteral("/pg_ctl"),
            { "-D", Data(), "-l", FDir + QStringLiteral("/server.log"), "-w", "-t", "30", "start" }, true);
        return FStarted;
    }
    // A fast shutdown: the server ends every connection and goes.
    bool Stop()
    {
        const bool stopped
            = Run(FBin + QStringLiteral("/pg_ctl"), { "-D", Data(), "-m", "fast", "-w", "stop" }, true);
        FStarted = !stopped;
        return stopped;
    }

    // A crash: every server process is killed at once, nothing is flushed or shut down;
    // the next Start recovers from the write-ahead log.
    bool Crash()
    {
        const bool stopped
            = Run(FBin + QStringLiteral("/pg_ctl"), { "-D", Data(), "-m", "immediate", "-w", "stop" }, true);
        FStarted = !stopped;
        return stopped;
    }

    // Stops (SIGSTOP) or continues (SIGCONT) the server and every process it started: a
    // server that holds its connections open and answers nothing.
    bool Signal(int signal)
    {
        QFile pidFile(Data() + QStringLiteral("/postmaster.pid"));
        if (!pidFile.open(QIODevice::ReadOnly))
            return false;
        const pid_t postmaster = QString::fromLatin1(pidFile.readLine()).trimmed().toInt();
        if (postmaster <= 0)
            return false;
        std::vector<pid_t> processes { postmaster };
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            // "pid (name) state ppid …": the name may hold spaces, so read after its ')'.
            const QString line = QString::fromLatin1(stat.readAll());
            const QStringList after = line.mid(line.lastIndexOf(u')') + 2).split(u' ');
            if (after.size() > 1 && after[1].toInt() == postmaster)
                processes.push_back(entry.toInt());
        }
        bool all = true;
        for (const pid_t pid : processes)
            all = ::kill(pid, signal) == 0 && all;
        return all;
    }

    // A psql session of the superuser's that runs each line written to it as it comes:
    // another client, holding a transaction open for as long as the test wants.
    void StartSession(QProcess& psql, const QString& database = QStringLiteral("results"))
    {
        psql.start(FBin + QStringLiteral("/psql"),
            { "-X", "-q", "-At", "-h", FDir, "-p", QString::number(FPort), "-U", "dcload", "-d", database });
        psql.waitForStarted(10000);
    }

    // Runs statements as the superuser on `database`; what they print, one row a line.
    // They go in on standard input: a password in them never shows in a command line.
    QString Psql(const QString& sql, const QString& database = QStringLiteral("results"))
    {
        QProcess psql;
        psql.start(FBin + QStringLiteral("/psql"),
            { "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h", FDir, "-p", QString::number(FPort), "-U",
                "dcload", "-d", database, "-f", "-" });
        psql.write(sql.toUtf8() + ";\n");
        psql.closeWriteChannel();
        psql.waitForFinished(30000);
        // 3 is a statement the server refused (a table not made yet, say): the test's own
        // business. Anything else means the server cannot be used.
        if (psql.exitCode() != 0 && psql.exitCode() != 3)
            FProblem = QString::fromLocal8Bit(psql.readAllStandardError());
        return QString::fromUtf8(psql.readAllStandardOutput()).trimmed();
    }

private:
    QString Data() const { return FDir + QStringLiteral("/data"); }

    static QString FindBin()
    {
        QProcess config;
        config.start(QStringLiteral("pg_config"), { "--bindir" });
        if (!config.waitForFinished(5000) || config.exitCode() != 0)
            return {};
        const QString bin = QString::fromLocal8Bit(config.readAllStandardOutput()).trimmed();
        return QFile::exists(bin + QStringLiteral("/initdb")) ? bin : QString();
    }

    bool RunAsServer()
    {
        if (!::getpwnam("dcloadpg")
            && QProcess::execute(QStringLiteral("useradd"),
                   { "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", "dcloadpg" })
                != 0)
            return false;
        const passwd* user = ::getpwnam("dcloadpg");
        if (!user || ::chown(QFile::encodeName(FDir).constData(), user->pw_uid, user->pw_gid) != 0)
            return false;
        FAsUser = QStringLiteral("dcloadpg");
        return true;
    }

    bool Run(const QString& program, const QStringList& args, bool asServer)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (asServer && !FAsUser.isEmpty())
            process.start(QStringLiteral("runuser"), QStringList { "-u", FAsUser, "--", program } + args);
        else
            process.start(program, args);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            FProblem = program + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAll());
            return false;
        }
        return true;
    }

    QString FBin;
    QString FDir;
    QString FAsUser;
    QString FProblem;
    QString FPassword;
    int FPort = 0;
    bool FStarted = false;
};
