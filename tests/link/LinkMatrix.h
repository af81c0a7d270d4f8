#pragma once
// The stations of the link matrix: a simulator and a session each, driven through a flow of
// steps, with the instrument answering late or misbehaving once.
#include "link/InstrumentSession.h"
#include "support/SimWire.h"

#include "comm/SerialComm.h"
#include "sim/SimulatorHost.h"
#include "support/EventLoop.h"
#include "workflows/BatteryDischarge.h"
#include "workflows/Connection.h"
#include "workflows/ListSequence.h"
#include "workflows/LoadControl.h"
#include "workflows/OperatorMessages.h"
#include "workflows/SettingMemories.h"

#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <memory>

namespace {

using namespace std::chrono_literals;

constexpr int kDeadlineMs = CommandPipeline::kDefaultReplyTimeoutMs;
// What the delay matrix runs: answers within the time-out (a chunk ends 100 ms after the
// last byte) and one beyond it. An answer 800 ms late comes 100 ms before its deadline, less
// than a sanitizer's slow-down of the simulator and the window can take.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const std::vector<int> kDelays { 0, 100, 250, 450, 1500 };
#else
const std::vector<int> kDelays { 0, 100, 250, 450, 800, 1500 };
#endif

enum class Fault { None, Lost, Duplicated, Split };

inline const char* FaultName(Fault fault)
{
    switch (fault) {
    case Fault::None:
        return "none";
    case Fault::Lost:
        return "lost";
    case Fault::Duplicated:
        return "duplicated";
    case Fault::Split:
        return "split";
    }
    return "?";
}

class Station;
// One step of a flow: `then` runs once `until` holds.
struct Step
{
    std::function<bool(Station&)> until;
    std::function<void(Station&)> then;
};

// A simulator and a session on its port, what the session reported, and a flow to run.
class Station
{
public:
    Station(int delayMs, Fault fault, std::string faultQuery, int faultOccurrence, SimOptions options)
        : delay(delayMs)
        , fault(fault)
    {
        host = std::make_unique<SimulatorHost>(options);
        host->Start();
        session.Pause = [](int) {};
        session.OnError = [this](InstrumentSession*, const QString& m) { errors << m; };
        session.OnReadBack = [this](InstrumentSession*, const ReadBackResult& r) {
            for (const auto& [field, text] : r.texts)
                fields[field] = text;
            if (!r.select.isEmpty())
                fields[r.select] = QStringLiteral("selected");
        };
        session.OnReadBackIncomplete = [this](InstrumentSession*, const QStringList& f) { missing = f; };
        session.OnMainReading
            = [this](InstrumentSession*, const MainReading& r, const QString&) { main.push_back(r); };
        session.OnBatteryReading
            = [this](InstrumentSession*, const BatteryReading& r) { battery.push_back(r); };
        session.OnBatteryEnd = [this](InstrumentSession*, const BatterySummary& s) { batteryEnd = s; };
        session.OnStepReading = [this](InstrumentSession*, const StepReading& r) {
            stepReadings.push_back(r);
            list.File(r);
        };
        session.OnListReport = [this](InstrumentSession*, const ListReport& r) {
            reports.push_back(r);
            rows = list.Judge(r);
        };
        if (fault == Fault::Duplicated || fault == Fault::Split) {
            auto seen = std::make_shared<int>(0);
            host->SetReplyFilter([=](const std::string& line,
                                     const std::string& reply) -> std::vector<SimReplyPiece> {
                if (line != faultQuery || ++*seen != faultOccurrence)
                    return { { reply, 0 } };
                if (fault == Fault::Duplicated)
                    return { { reply, 150 }, { reply, 0 } };
                return { { reply.substr(0, reply.size() / 2), 150 }, { reply.substr(reply.size() / 2), 0 } };
            });
        }
        FLostQuery = fault == Fault::Lost ? faultQuery : std::string();
    }

    std::string Name() const { return "delay " + std::to_string(delay) + " ms, fault " + FaultName(fault); }

    // Runs the next step whose condition holds; true once the flow is through.
    bool Advance()
    {
        while (!flow.empty() && flow.front().until(*this)) {
            const Step step = flow.front();
            flow.pop_front();
            step.then(*this);
        }
        return flow.empty();
    }

    bool Settled() const { return session.Pipeline().Idle() && session.Comm()->SendDataEmpty(); }

    // The fault a flow asks for begins now (a lost answer is dropped from here on).
    void Misbehave()
    {
        if (!FLostQuery.empty())
            host->DropAnswerOnce(FLostQuery);
    }

    qsizetype PollsSince(const QString& marker) const
    {
        QStringList lines;
        for (const SimReceivedLine& line : host->ReceivedLines())
            lines.append(QString::fromStdString(line.line));
        return lines.mid(lines.lastIndexOf(marker)).count(QStringLiteral("fetch?"));
    }

    const int delay;
    const Fault fault;
    std::unique_ptr<SimulatorHost> host;
    InstrumentSession session;
    Told told;
    ListSequence list;
    std::deque<Step> flow;
    QElapsedTimer clock; // restarted by Wait
    QStringList errors;
    std::map<QString, QString> fields;
    QStringList missing;
    std::vector<MainReading> main;
    std::vector<BatteryReading> battery;
    std::optional<BatterySummary> batteryEnd;
    std::vector<StepReading> stepReadings;
    std::vector<ListReport> reports;
    std::vector<TStepRecord> rows;

private:
    std::string FLostQuery;
};

// ---- steps

inline Step Do(std::function<void(Station&)> action)
{
    return { [](Station&) { return true; }, std::move(action) };
}

inline Step WhenSettled(std::function<void(Station&)> action = [](Station&) {})
{
    return { [](Station& s) { return s.Settled(); }, std::move(action) };
}

// Lets late answers come in, so that they are counted.
inline std::vector<Step> Linger()
{
    return { WhenSettled([](Station& s) { s.clock.start(); }),
        { [](Station& s) { return s.clock.elapsed() > 1800; }, [](Station&) {} } };
}

// Connects at the simulator's quick pace; then the instrument takes its delay and fault.
inline std::vector<Step> ConnectQuickly()
{
    return { Do([](Station& s) {
                ASSERT_TRUE(ConnectInstrument(s.session, s.host->SlavePath(), "9600", "8", s.told));
            }),
        WhenSettled([](Station& s) {
            s.host->SetReplyDelayMs(s.delay);
            s.Misbehave();
            s.fields.clear();
            s.missing.clear();
        }) };
}

template <class... Parts> std::deque<Step> Flow(Parts&&... parts)
{
    std::deque<Step> flow;
    (flow.insert(flow.end(), parts.begin(), parts.end()), ...);
    return flow;
}

// Runs every station's flow side by side until all are through.
inline void RunAll(std::vector<std::unique_ptr<Station>>& stations, std::chrono::seconds limit)
{
    QTimer pace;
    pace.setInterval(20);
    QObject::connect(&pace, &QTimer::timeout, [&] {
        for (auto& s : stations)
            s->Advance();
    });
    pace.start();
    const bool through = WaitUntil(
        [&] {
            return std::all_of(stations.begin(), stations.end(), [](auto& s) { return s->flow.empty(); });
        },
        limit);
    for (auto& s : stations)
        EXPECT_TRUE(s->flow.empty()) << s->Name() << ": " << s->flow.size() << " steps left";
    ASSERT_TRUE(through);
    // What each case came to, for the record of a run.
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (auto& s : stations) {
        const LinkCounts& c = s->session.Counts();
        std::printf(
            "[matrix] %s, %s: %zu fields, %zu readings, %zu reports; unanswered %d, late %d, misshapen %d, "
            "unasked %d, readings missed %d\n",
            test.c_str(), s->Name().c_str(), s->fields.size(),
            s->main.size() + s->battery.size() + s->stepReadings.size(), s->reports.size(), c.noAnswer,
            c.late, c.misshapen, c.unasked, c.missedReadings);
    }
}

struct Case
{
    int delay;
    Fault fault;
};

inline std::vector<Case> DelaysThenFaults()
{
    std::vector<Case> cases;
    for (int delay : kDelays)
        cases.push_back({ delay, Fault::None });
    for (Fault fault : { Fault::Lost, Fault::Duplicated, Fault::Split })
        cases.push_back({ 20, fault });
    return cases;
}

inline std::vector<std::unique_ptr<Station>> Stations(const std::vector<Case>& cases, const std::string& faultQuery,
    int faultOccurrence, const std::function<std::deque<Step>()>& flow, SimOptions options = {})
{
    std::vector<std::unique_ptr<Station>> stations;
    for (const Case& c : cases) {
        stations.push_back(std::make_unique<Station>(c.delay, c.fault, faultQuery, faultOccurrence, options));
        stations.back()->flow = flow();
    }
    return stations;
}

inline bool Answered(const Station& s)
{
    return s.delay + 100 < kDeadlineMs;
}

// No reply was anything but what it was: nothing unasked, misshapen or late unless the
// case makes it so.
inline void ExpectCleanLink(const Station& s)
{
    const LinkCounts& c = s.session.Counts();
    EXPECT_EQ(c.noAnswer, 0);
    EXPECT_EQ(c.late, 0);
    EXPECT_EQ(c.misshapen, 0);
    EXPECT_EQ(c.unasked, 0);
    EXPECT_TRUE(s.errors.isEmpty()) << s.errors.join(u'\n').toStdString();
}

// What the case's fault may leave behind, beyond the one field or reading it costs.
inline void ExpectFaultTold(const Station& s)
{
    const LinkCounts& c = s.session.Counts();
    switch (s.fault) {
    case Fault::None:
        break;
    case Fault::Lost:
        EXPECT_EQ(c.noAnswer, 1);
        break;
    case Fault::Duplicated:
        EXPECT_EQ(c.unasked, 1) << "the repetition is dropped as unasked";
        EXPECT_EQ(c.noAnswer, 0);
        break;
    case Fault::Split:
        EXPECT_GE(c.misshapen + c.unasked, 1) << "the pieces are dropped, not read";
        break;
    }
}

} // namespace
