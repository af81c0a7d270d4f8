#pragma once
// dcload-cli as a user's script runs it, against a dcload-sim of its own: the fixture and
// what the cases share.
#include "comm/CommTestSupport.h"
#include "workflows/ProgramInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

// Readable texts in test failures.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}


struct Finished
{
    int exit = -1;
    QStringList lines; // standard output
    QString errors; // standard error
};

// A dcload-sim process; its first line is the port, the next one (with --listen) its TCP
// address.
class Simulator
{
public:
    explicit Simulator(const QStringList& args)
    {
        FProcess.start(QStringLiteral(DCLOAD_SIM_EXE), args);
        EXPECT_TRUE(FProcess.waitForStarted(5000));
        FPort = NextLine();
    }
    ~Simulator() { Stop(); }

    const QString& Port() const { return FPort; }

    QString NextLine()
    {
        while (!FProcess.canReadLine() && FProcess.waitForReadyRead(5000)) { }
        return QString::fromLocal8Bit(FProcess.readLine()).trimmed();
    }

    void Kill()
    {
        FProcess.kill();
        FProcess.waitForFinished(5000);
    }

    // Stops it and returns every line it received, in order (it runs with --verbose).
    QStringList Received()
    {
        Stop();
        QStringList received;
        for (const QString& line : QString::fromLocal8Bit(FProcess.readAllStandardError()).split(u'\n')) {
            if (line.startsWith(u"<< "))
                received.append(line.mid(3));
        }
        return received;
    }

private:
    void Stop()
    {
        if (FProcess.state() == QProcess::NotRunning)
            return;
        FProcess.terminate();
        FProcess.waitForFinished(5000);
    }

    QProcess FProcess;
    QString FPort;
};

class CliTest : public ::testing::Test
{
protected:
    static std::unique_ptr<QProcess> Start(const QStringList& args, const QString& standardOutput = {},
        const QString& program = QStringLiteral(DCLOAD_CLI_EXE), bool display = true)
    {
        auto cli = std::make_unique<QProcess>();
        if (!standardOutput.isEmpty())
            cli->setStandardOutputFile(standardOutput);
        if (!display) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
                environment.remove(QLatin1String(name));
            cli->setProcessEnvironment(environment);
        }
        // waitForReadyRead then wakes for the trace on standard error.
        cli->setReadChannel(QProcess::StandardError);
        cli->start(program, args);
        EXPECT_TRUE(cli->waitForStarted(5000));
        return cli;
    }

    static Finished Wait(QProcess& cli, int ms = 60000)
    {
        Finished f;
        EXPECT_TRUE(cli.waitForFinished(ms)) << "dcload-cli did not finish";
        f.exit = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
        f.lines = QString::fromUtf8(cli.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        f.errors = QString::fromUtf8(cli.readAllStandardError());
        return f;
    }

    static Finished Run(const QStringList& args) { return Wait(*Start(args)); }

    // Each run at the same time; what each left, in the same order.
    static std::vector<Finished> RunTogether(const std::vector<QStringList>& runs)
    {
        std::vector<std::unique_ptr<QProcess>> started;
        for (const QStringList& args : runs)
            started.push_back(Start(args));
        std::vector<Finished> finished;
        for (const auto& cli : started)
            finished.push_back(Wait(*cli));
        return finished;
    }

    // Reads the trace on standard error until it holds `text`; what it read.
    static QByteArray TraceUntil(QProcess& cli, const char* text)
    {
        QByteArray trace;
        while (!trace.contains(text) && cli.waitForReadyRead(20000))
            trace += cli.readAllStandardError();
        EXPECT_TRUE(trace.contains(text)) << text << " never came:\n" << trace.toStdString();
        return trace;
    }

    static QByteArray ReadAll(const QString& path)
    {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        return file.readAll();
    }

    QString WriteFile(const QString& name, const QByteArray& content)
    {
        const QString path = FDir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        return path;
    }

    QTemporaryDir FDir;
};

const QStringList kBattery { "battery", "--current", "1", "--cutoff", "9" };
// On the trace: the run's input went on; a line has just gone out (so "load off" has to
// wait for the pacing); a reading came.
const char kInputOnSent[] = "load on\\r";
const char kPollSent[] = "fetch?\\r";
const char kReadingTraced[] = "  reading ";
const std::vector<const char*> kRunning { kInputOnSent, kPollSent };
