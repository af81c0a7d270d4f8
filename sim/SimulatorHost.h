#pragma once
// Puts the instrument model behind a pseudo-terminal: the program opens SlavePath() like
// any serial port; every carriage-return-terminated line written to it is answered after
// a short delay, on the host's own thread. It can also listen on TCP, as a device server's
// raw stream does: one client at a time, answered on its own connection, the next one
// taken when it leaves.
#include "sim/BatteryCell.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct SimOptions
{
    int replyDelayMs = 20; // time from the end of a query line to the reply
    double timeScale = 1.0; // simulated seconds per real second (battery, list dwell)
    std::string terminator; // appended to every reply; empty by default
    // The battery of the battery mode, and with cellInEveryMode of every other mode too
    // (in place of the 12 V bench supply).
    double batteryCapacityAh = 2.0;
    double batteryInternalOhm = 0.15;
    double batteryFullVolts = 12.6; // open-circuit voltage when full
    double batteryEmptyVolts = 10.5; // open-circuit voltage when exhausted
    CellChemistry batteryChemistry = CellChemistry::LeadAcid; // the curve between the two
    bool cellInEveryMode = false;
    // Lines kept for ReceivedLines(): the oldest give way, so a simulator left polled for
    // days holds as many lines as the traffic console keeps (a few hundred kilobytes).
    std::size_t receivedLinesKept = 10'000;
    // Queries whose next answer is not sent, once each (as a line lost on the way would be).
    std::vector<std::string> dropOnce;
    // The answer to "*idn?". The instrument documented in docs/simulator.md does not know
    // the question and stays silent, as the simulator does by default; a test stands in an
    // instrument that answers by giving the text here.
    std::string identity;
};

struct SimReceivedLine
{
    double atSeconds; // real seconds since Start()
    std::string line; // without the carriage return
};

// One piece of a reply as the instrument writes it: its bytes, then a pause before the next
// piece (a pause longer than the program's read interval splits the reply in two).
struct SimReplyPiece
{
    std::string bytes;
    int pauseAfterMs = 0;
};
// Turns the reply to a query line into what the instrument writes: a misbehaving
// instrument on cue. The reply comes without the terminator, which is added to the last
// piece; no pieces, no reply.
using SimReplyFilter
    = std::function<std::vector<SimReplyPiece>(const std::string& line, const std::string& reply)>;

// What crossed the wire, for a console trace: a line received and understood, a line
// received and ignored by the instrument, or a reply as written (terminator included).
enum class SimTraffic { Received, Ignored, Replied };

class SimulatorHost
{
public:
    explicit SimulatorHost(SimOptions options = {});
    ~SimulatorHost(); // stops

    // Listens on host (an address, "0.0.0.0" for all) and port (0: any free one) from Start()
    // on; call before Start(). Throws std::runtime_error.
    void Listen(const std::string& host, uint16_t port);
    uint16_t ListenPort() const; // the port listened on; 0 when not listening

    void Start(); // opens the pty and starts the thread; throws std::runtime_error
    // Closes the master side and the TCP client's connection (the program sees a hang-up),
    // stops listening and joins.
    void Stop();
    QString SlavePath() const;

    // The lines received so far, oldest first, at most options.receivedLinesKept of the newest
    // (for tests and the simulator's console).
    std::vector<SimReceivedLine> ReceivedLines() const;
    // Changes the reply delay while running (tests make the instrument late).
    void SetReplyDelayMs(int ms);
    // The next answer to `query` (the line as received, without its carriage return) is not
    // sent; the one after it is. Each call drops one more.
    void DropAnswerOnce(const std::string& query);
    // Replaces the filter of the replies made from now on; an empty one sends them as made.
    void SetReplyFilter(SimReplyFilter filter);
    // Writes bytes to the program now, as an instrument speaking out of turn (to the TCP
    // client while one is connected).
    void Inject(const std::string& bytes);

    // Raised on the host's own thread for every line and reply. Assign it before Start():
    // the thread reads it without a lock.
    std::function<void(SimulatorHost* Sender, SimTraffic kind, const std::string& text)> OnTraffic;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
