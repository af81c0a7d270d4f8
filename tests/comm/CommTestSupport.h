#pragma once
#include "support/EventLoop.h"
// Helpers for testing TComm against real pseudo-terminals: the test drives the master side,
// TComm opens the slave by its path.
#include "comm/SerialComm.h"
#include <QByteArray>
#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
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
    // Writes FloodBytes as fast as the master takes them until stop is set or limit bytes are
    // in (which a receiver that holds back never lets happen).
    void Flood(const std::atomic<bool>& stop, std::size_t limit);

private:
    int FMaster = -1;
    QString FSlavePath;
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
