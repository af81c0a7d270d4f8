// Every flow of the instrument session against the simulator over real pseudo-terminals,
// with the instrument answering late or misbehaving once: each case is a station of its
// own (a simulator and a session), and the stations of one flow run side by side.
//
// Below the reply time-out every field and reading is right and every answered reading
// arrives; above it nothing lands anywhere but in its own place, and each missing answer is
// counted. One lost, duplicated or split reply costs at most its own field or reading.
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

const char* FaultName(Fault fault)
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

Step Do(std::function<void(Station&)> action)
{
    return { [](Station&) { return true; }, std::move(action) };
}

Step WhenSettled(std::function<void(Station&)> action = [](Station&) {})
{
    return { [](Station& s) { return s.Settled(); }, std::move(action) };
}

// Lets late answers come in, so that they are counted.
std::vector<Step> Linger()
{
    return { WhenSettled([](Station& s) { s.clock.start(); }),
        { [](Station& s) { return s.clock.elapsed() > 1800; }, [](Station&) {} } };
}

// Connects at the simulator's quick pace; then the instrument takes its delay and fault.
std::vector<Step> ConnectQuickly()
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
void RunAll(std::vector<std::unique_ptr<Station>>& stations, std::chrono::seconds limit)
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

std::vector<Case> DelaysThenFaults()
{
    std::vector<Case> cases;
    for (int delay : kDelays)
        cases.push_back({ delay, Fault::None });
    for (Fault fault : { Fault::Lost, Fault::Duplicated, Fault::Split })
        cases.push_back({ 20, fault });
    return cases;
}

std::vector<std::unique_ptr<Station>> Stations(const std::vector<Case>& cases, const std::string& faultQuery,
    int faultOccurrence, const std::function<std::deque<Step>()>& flow, SimOptions options = {})
{
    std::vector<std::unique_ptr<Station>> stations;
    for (const Case& c : cases) {
        stations.push_back(std::make_unique<Station>(c.delay, c.fault, faultQuery, faultOccurrence, options));
        stations.back()->flow = flow();
    }
    return stations;
}

bool Answered(const Station& s)
{
    return s.delay + 100 < kDeadlineMs;
}

// No reply was anything but what it was: nothing unasked, misshapen or late unless the
// case makes it so.
void ExpectCleanLink(const Station& s)
{
    const LinkCounts& c = s.session.Counts();
    EXPECT_EQ(c.noAnswer, 0);
    EXPECT_EQ(c.late, 0);
    EXPECT_EQ(c.misshapen, 0);
    EXPECT_EQ(c.unasked, 0);
    EXPECT_TRUE(s.errors.isEmpty()) << s.errors.join(u'\n').toStdString();
}

// What the case's fault may leave behind, beyond the one field or reading it costs.
void ExpectFaultTold(const Station& s)
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

// ---- the read-back: connect's ten queries, and Load's fifty

std::deque<Step> ConnectFlow()
{
    return Flow(std::vector<Step> { Do([](Station& s) {
        s.Misbehave();
        ASSERT_TRUE(ConnectInstrument(s.session, s.host->SlavePath(), "9600", "8", s.told));
    }) },
        Linger());
}

// The read-back as the instrument holds it: the fields of the station that answered at once.
void ExpectReadBack(
    const std::vector<std::unique_ptr<Station>>& stations, size_t fieldCount, const QString& faultField)
{
    const Station& reference = *stations.front();
    ASSERT_EQ(reference.delay, 0);
    ASSERT_EQ(reference.fault, Fault::None);
    ASSERT_EQ(reference.fields.size(), fieldCount);
    for (const auto& station : stations) {
        const Station& s = *station;
        SCOPED_TRACE(s.Name());
        // Whatever a field holds is its own value.
        for (const auto& [field, text] : s.fields)
            EXPECT_EQ(text, reference.fields.at(field)) << field.toStdString();
        if (s.fault == Fault::None && Answered(s)) {
            EXPECT_EQ(s.fields.size(), fieldCount);
            EXPECT_TRUE(s.missing.isEmpty()) << s.missing.join(u' ').toStdString();
            ExpectCleanLink(s);
        } else if (s.fault == Fault::None) {
            // Every answer late: none read, each one named and counted, each late one dropped.
            EXPECT_TRUE(s.fields.empty());
            EXPECT_GE(static_cast<size_t>(s.missing.size()), fieldCount / 2);
            EXPECT_EQ(s.session.Counts().late, s.session.Counts().noAnswer);
            EXPECT_EQ(s.session.Counts().misshapen + s.session.Counts().unasked, 0);
        } else {
            // One reply misbehaved: at most its own field is missing, and then it is named.
            EXPECT_GE(s.fields.size(), fieldCount - 3);
            for (const auto& [field, text] : reference.fields) {
                if (!s.fields.count(field)) {
                    EXPECT_TRUE(s.missing.contains(field) || field.startsWith(faultField))
                        << field.toStdString();
                }
            }
            ExpectFaultTold(s);
        }
    }
}

TEST(LinkMatrix, ConnectReadsEveryLimitBackInItsOwnField)
{
    auto stations = Stations(DelaysThenFaults(), "mset:pmax?", 1, ConnectFlow);
    // The connect flow meets its delay from the start.
    for (auto& s : stations)
        s->host->SetReplyDelayMs(s->delay);
    RunAll(stations, 60s);
    ExpectReadBack(stations, 10, QStringLiteral("MaxP"));
    for (const auto& s : stations) {
        if (s->fault == Fault::None && Answered(*s)) {
            EXPECT_EQ(s->session.Maxima().current, 30) << s->Name();
            EXPECT_EQ(s->session.Maxima().power, 300) << s->Name();
        }
    }
    EXPECT_EQ(stations.front()->fields.at("MaxP"), u"300.0");
}

// Every setting of memory 1 differs from its neighbours, so that an answer read under
// another query's code would show.
std::vector<Command> DistinctSettings()
{
    std::vector<Command> c;
    for (const char* text : { "mset:imax 21", "mset:vmax 121", "mset:pmax 210", "mset:von 1.5",
             "mset:voff 1.25", "mset:aoff 7", "load:curr 2.5", "load:volt 12.5", "load:pow 25", "load:res 40",
             "mset:rsen on", "bat:curr 0.45", "bat:vmin 9.5", "tran:lmod cc", "tran:tmod puls",
             "tran:leva 1.5,20", "tran:levb 2.5,30", "list:snum 7", "list:smod trig", "list:rep on" })
        c.push_back({ QString::fromLatin1(text) });
    for (int n = 0; n < kReadBackSteps; ++n) {
        c.push_back({ QStringLiteral("list:step%1:lev %2.25,%3").arg(n).arg(n + 1).arg(n + 3) });
        c.push_back({ QStringLiteral("list:step%1:comp volt,%2.5,%3.75").arg(n).arg(n).arg(n + 1) });
    }
    c.push_back({ QStringLiteral("mmem:save 1") });
    return c;
}

std::deque<Step> LoadFlow()
{
    return Flow(std::vector<Step> { Do([](Station& s) {
                                       ASSERT_TRUE(ConnectInstrument(
                                           s.session, s.host->SlavePath(), "9600", "8", s.told));
                                       s.session.QueueCommands(DistinctSettings());
                                   }),
                    WhenSettled([](Station& s) {
                        s.host->SetReplyDelayMs(s.delay);
                        s.Misbehave();
                        s.fields.clear();
                        RecallMemory(s.session, QStringLiteral("1"), s.told);
                    }) },
        Linger());
}

TEST(LinkMatrix, LoadReadsEverySettingBackInItsOwnField)
{
    auto stations = Stations(DelaysThenFaults(), "list:step3:lev?", 1, LoadFlow);
    RunAll(stations, 240s);
    // 10 limits and set-points, 5 selections, 2 battery, 4 transient, 1 list length, 15
    // levels and delays, 15 comparisons with two limits each.
    ExpectReadBack(stations, 10 + 5 + 2 + 4 + 1 + 30 + 45, QStringLiteral("ValStep3"));
    const Station& reference = *stations.front();
    EXPECT_EQ(reference.fields.at("ValStep3"), u"4.250");
    EXPECT_EQ(reference.fields.at("DelayStep4"), u"7");
    EXPECT_EQ(reference.fields.at("LmtHStep14"), u"15.750");
    EXPECT_EQ(reference.fields.at("ListSetNum"), u"8");
}

// ---- readings: the Main page, a battery discharge, lists quick and slow

std::deque<Step> MainFlow()
{
    return Flow(ConnectQuickly(),
        std::vector<Step> { Do([](Station& s) {
                               PatternEntries oneAmpere;
                               oneAmpere.setPoint = QStringLiteral("1");
                               SendLoadPattern(s.session, oneAmpere, s.told);
                               SwitchLoadInput(s.session);
                           }),
            { [](Station& s) { return s.main.size() >= 5 || s.session.Counts().noAnswer >= 4; },
                [](Station& s) { SwitchLoadInput(s.session); } } },
        Linger());
}

TEST(LinkMatrix, MainReadingsAreRightOrMissingAndCounted)
{
    auto stations = Stations(DelaysThenFaults(), "fetch?", 2, MainFlow);
    RunAll(stations, 90s);
    for (const auto& station : stations) {
        const Station& s = *station;
        SCOPED_TRACE(s.Name());
        // 1 A from 12 V behind 0.06 ohm.
        for (const MainReading& r : s.main)
            EXPECT_EQ(r.voltage + u' ' + r.current, u"11.94 1.000");
        if (s.fault == Fault::None && Answered(s)) {
            EXPECT_GE(s.main.size(), 5u);
            ExpectCleanLink(s);
        } else if (s.fault == Fault::None) {
            EXPECT_TRUE(s.main.empty());
            EXPECT_GE(s.session.Counts().missedReadings, 3);
        } else {
            EXPECT_GE(s.main.size(), 4u);
            EXPECT_LE(s.session.Counts().missedReadings, 1);
            ExpectFaultTold(s);
        }
    }
}

std::deque<Step> BatteryFlow()
{
    return Flow(ConnectQuickly(),
        std::vector<Step> {
            Do([](Station& s) {
                s.session.SetMode(TestMode::Battery);
                SetUpBattery(s.session, { QStringLiteral("11"), QStringLiteral("0.3") }, s.told);
            }),
            WhenSettled([](Station& s) {
                ToggleBattery(s.session, QStringLiteral("1"), s.told); // the first press only stops
                ToggleBattery(s.session, QStringLiteral("1"), s.told);
            }),
            { [](Station& s) { return s.batteryEnd || s.session.Counts().noAnswer >= 4; },
                [](Station& s) {
                    if (s.session.Run(Activity::Battery) == RunState::Running)
                        ToggleBattery(s.session, QStringLiteral("1"), s.told);
                } } },
        Linger());
}

TEST(LinkMatrix, BatteryReadingsAreAllStoredOrMissingAndCounted)
{
    SimOptions options;
    options.timeScale = 20;
    options.batteryCapacityAh = 0.01;
    auto stations = Stations(DelaysThenFaults(), "fetch?", 3, BatteryFlow, options);
    RunAll(stations, 120s);
    for (const auto& station : stations) {
        const Station& s = *station;
        SCOPED_TRACE(s.Name());
        for (size_t i = 1; i < s.battery.size(); ++i)
            EXPECT_GE(s.battery[i].seconds, s.battery[i - 1].seconds);
        const qsizetype polls = s.PollsSince(kInputOn);
        if (s.fault == Fault::None && Answered(s)) {
            ASSERT_TRUE(s.batteryEnd);
            EXPECT_EQ(static_cast<qsizetype>(s.battery.size()), polls) << "every answered reading is stored";
            EXPECT_EQ(s.batteryEnd->readings, static_cast<int>(s.battery.size()));
            ExpectCleanLink(s);
        } else if (s.fault == Fault::None) {
            EXPECT_TRUE(s.battery.empty());
            EXPECT_FALSE(s.batteryEnd);
            EXPECT_GE(s.session.Counts().missedReadings, 3);
        } else {
            ASSERT_TRUE(s.batteryEnd);
            EXPECT_GE(static_cast<qsizetype>(s.battery.size()), polls - 1);
            ExpectFaultTold(s);
        }
    }
}

std::deque<Step> ListFlow(const char* dwell)
{
    const QString delay = QString::fromLatin1(dwell);
    return Flow(ConnectQuickly(),
        std::vector<Step> {
            Do([delay](Station& s) {
                s.session.SetMode(TestMode::List);
                ASSERT_TRUE(s.list.Set(s.session, { QStringLiteral("2"), true, false }, s.told));
                for (int n = 0; n < 2; ++n)
                    ASSERT_TRUE(s.list.SendStep(s.session, n,
                        { QStringLiteral("CC"), 0, QStringLiteral("0.2"), delay, true, 0,
                            QStringLiteral("0.1"), QStringLiteral("0.3") },
                        s.told));
            }),
            WhenSettled([](Station& s) {
                std::array<StepEntries, kListSteps> editor {};
                for (StepEntries& row : editor)
                    row = { QStringLiteral("CC"), 0, QStringLiteral("0.2"), QStringLiteral("1"), true, 0,
                        QStringLiteral("0.1"), QStringLiteral("0.3") };
                s.list.Toggle(s.session, editor, s.told); // the first press only stops
                ASSERT_TRUE(s.list.Toggle(s.session, editor, s.told));
            }),
            { [](Station& s) {
                 return s.session.Run(Activity::List) != RunState::Running
                     || s.session.Counts().noAnswer >= 4;
             },
                [](Station& s) {
                    if (s.session.Run(Activity::List) == RunState::Running)
                        s.list.Toggle(s.session, {}, s.told);
                } } },
        Linger());
}

void ExpectListRun(const std::vector<std::unique_ptr<Station>>& stations, bool readingsExpected)
{
    for (const auto& station : stations) {
        const Station& s = *station;
        SCOPED_TRACE(s.Name());
        for (const StepReading& r : s.stepReadings) {
            EXPECT_LE(r.stepIndex, 1);
            EXPECT_EQ(r.current, u"0.200");
        }
        const bool split = s.fault == Fault::Split;
        if ((s.fault == Fault::None && Answered(s)) || (s.fault != Fault::None && !split)) {
            ASSERT_EQ(s.reports.size(), 1u) << "the run ends with its report, however fast";
            EXPECT_TRUE(s.reports[0].fault.isEmpty()) << s.reports[0].fault.toStdString();
            EXPECT_EQ(s.reports[0].stepVerdicts, (QStringList { "1", "1" }));
            ASSERT_EQ(s.rows.size(), 2u);
            for (size_t n = 0; n < 2; ++n) {
                EXPECT_EQ(s.rows[n].Nr, QString::number(n));
                if (readingsExpected && s.fault == Fault::None) {
                    EXPECT_EQ(s.rows[n].mValueI, u"0.200");
                }
            }
            if (s.fault == Fault::None)
                ExpectCleanLink(s);
            else
                ExpectFaultTold(s);
        } else if (s.fault == Fault::None) {
            EXPECT_TRUE(s.reports.empty());
            EXPECT_TRUE(s.stepReadings.empty());
            EXPECT_GE(s.session.Counts().missedReadings, 3);
        } else {
            // A report split after its first verdicts is cut short: no verdict is made up.
            for (const ListReport& r : s.reports)
                EXPECT_TRUE(r.fault.isEmpty() || r.stepVerdicts.size() < 2);
        }
        EXPECT_NE(s.session.Run(Activity::List), RunState::Running);
    }
}

TEST(LinkMatrix, AListQuickerThanAPollEndsWithItsReport)
{
    SimOptions options;
    options.timeScale = 1;
    auto stations = Stations(
        DelaysThenFaults(), "fetch?", 1, [] { return ListFlow("0.005"); }, options);
    RunAll(stations, 90s);
    ExpectListRun(stations, false);
}

TEST(LinkMatrix, ASlowListIsReadStepByStepAndEndsWithItsReport)
{
    auto stations = Stations(DelaysThenFaults(), "fetch?", 3, [] { return ListFlow("3"); });
    RunAll(stations, 120s);
    ExpectListRun(stations, true);
}

} // namespace
