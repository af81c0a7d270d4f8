#pragma once
#include "support/EventLoop.h"
// Helpers for testing TComm against real pseudo-terminals: the test drives the master side,
// TComm opens the slave by its path.
#include "comm/LineSettings.h"
#include "comm/SerialComm.h"
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

using namespace std::chrono_literals;

// A pseudo-terminal in raw mode, so nothing is echoed or translated before TComm opens it.
class TPty
{
public:
    TPty();
    ~TPty();
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    QString SlavePath() const { return FSlavePath; }
    void Write(const QByteArray& bytes); // all of it, as one write where the kernel allows
    // Reads what TComm sent until count bytes are in or the limit passes.
    QByteArray Read(std::size_t count, std::chrono::milliseconds limit = 3s);
    void CloseMaster(); // the device is gone, as when an adapter is pulled
    // The line as the program on the slave side set it (the master reads the slave's termios).
    std::optional<TLineSettings> SlaveLineSettings() const;
    // Writes FloodBytes as fast as the master takes them until stop is set or limit bytes are
    // in (which a receiver that holds back never lets happen).
    void Flood(const std::atomic<bool>& stop, std::size_t limit);

private:
    int FMaster = -1;
    QString FSlavePath;
};

// A real ser2net serving one serial device on two loopback ports: a raw TCP stream and
// Telnet with remote line control (RFC 2217). Starting throws, naming the cause, when
// ser2net is not installed (scripts/deps installs it) or does not come up.
class TSer2net
{
public:
    explicit TSer2net(const QString& device);
    ~TSer2net(); // stops it
    TSer2net(const TSer2net&) = delete;
    TSer2net& operator=(const TSer2net&) = delete;

    QString RawPort() const; // "tcp://127.0.0.1:N"
    QString TelnetPort() const; // "rfc2217://127.0.0.1:N"
    void Stop(); // ends ser2net (SIGTERM) and waits for it: every client sees the connection go

private:
    // One try on newly picked ports: empty when ser2net listens on both, else what it logged.
    std::string Start(const QString& program, const QString& device);
    bool Running();

    QTemporaryDir FFolder;
    pid_t FPid = -1;
    uint16_t FRaw = 0, FTelnet = 0;
};

// A TCP socket bound to a free port on 127.0.0.1, not yet listening; closed when it goes.
// While it lives, connecting to the port is refused and nobody else can bind it.
struct TLoopbackSocket
{
    TLoopbackSocket();
    ~TLoopbackSocket();
    TLoopbackSocket(const TLoopbackSocket&) = delete;
    TLoopbackSocket& operator=(const TLoopbackSocket&) = delete;
    int Fd = -1;
    uint16_t Port = 0;
};

// A device server that never answers, on 127.0.0.1. Unanswered(): a listener whose queue
// is full, so a TCP connect waits without an answer until the caller gives up. Silent(): a
// listener that takes connections into its queue and never says a word, so a Telnet
// negotiation waits for nothing.
class TMuteServers
{
public:
    TMuteServers();
    ~TMuteServers();
    TMuteServers(const TMuteServers&) = delete;
    TMuteServers& operator=(const TMuteServers&) = delete;

    QString Unanswered() const; // "tcp://127.0.0.1:N"
    QString Silent() const; // "rfc2217://127.0.0.1:N"

private:
    TLoopbackSocket FFull, FSilent;
    int FQueued = -1; // the connection that fills FFull's queue
};

// The first size bytes of an endless stream in which no two neighbouring 2048-byte chunks
// are alike, so a lost, doubled or swapped chunk shows.
QByteArray FloodBytes(qsizetype size);

// Records every event a TComm raises.
struct TCommProbe
{
    explicit TCommProbe(TComm& comm);
    QByteArray Received() const; // all chunks joined
    std::vector<QByteArray> Chunks;
    int Hangups = 0;
    int SendEmpties = 0;
};

void PumpEvents(std::chrono::milliseconds period);

int OpenFdCount();
int ThreadsNamed(const std::string& name); // threads of this process with that name
