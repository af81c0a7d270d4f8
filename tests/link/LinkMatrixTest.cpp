// Every flow of the instrument session against the simulator over real pseudo-terminals,
// with the instrument answering late or misbehaving once: each case is a station of its
// own (a simulator and a session), and the stations of one flow run side by side.
//
// Below the reply time-out every field and reading is right and every answered reading
// arrives; above it nothing lands anywhere but in its own place, and each missing answer is
// counted. One lost, duplicated or split reply costs at most its own field or reading.
#include "LinkMatrix.h"

namespace {

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

} // namespace
