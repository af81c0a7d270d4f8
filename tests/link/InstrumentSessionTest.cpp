// The instrument session without any window: the operator's rules drive it against the
// instrument simulator on a real pseudo-terminal, and what it reports is recorded.
#include "link/InstrumentSession.h"
#include "comm/SerialComm.h"
#include "sim/SimulatorHost.h"
#include "support/EventLoop.h"
#include "support/SimWire.h"
#include "workflows/BatteryDischarge.h"
#include "workflows/Connection.h"
#include "workflows/LoadControl.h"
#include "workflows/OperatorMessages.h"

#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

class SessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        session.Pause = [](int) {};
        session.OnError = [this](InstrumentSession*, const QString& message) { errors << message; };
        session.OnReadBack = [this](InstrumentSession*, const ReadBackResult& r) {
            for (const auto& [field, text] : r.texts)
                readBack[field] = text;
        };
        session.OnMainReading = [this](InstrumentSession*, const MainReading& r, const QString& power) {
            main << r.voltage + ' ' + power;
        };
        session.OnBatteryReading
            = [this](InstrumentSession*, const BatteryReading& r) { battery.push_back(r); };
    }

    void Connect(SimulatorHost& host)
    {
        ASSERT_TRUE(
            ConnectInstrument(session, host.SlavePath(), QStringLiteral("9600"), QStringLiteral("8"), told));
        ASSERT_TRUE(Drained());
    }

    bool Drained()
    {
        return WaitUntil([this] { return session.Pipeline().Idle() && session.Comm()->SendDataEmpty(); });
    }

    InstrumentSession session;
    Told told;
    QStringList errors;
    QStringList main;
    std::map<QString, QString> readBack;
    std::vector<BatteryReading> battery;
};

TEST_F(SessionTest, ConnectsReadsBackSwitchesTheLoadOnAndPolls)
{
    SimulatorHost host;
    host.Start();
    Connect(host);
    EXPECT_EQ(session.Port(), PortState::Open);
    EXPECT_EQ(session.Run(Activity::Load), RunState::Idle);
    // The simulator powers up with limits of 30 A, 150 V and 300 W.
    EXPECT_EQ(session.Maxima().current, 30);
    EXPECT_EQ(session.Maxima().voltage, 150);
    EXPECT_EQ(session.Maxima().power, 300);
    EXPECT_EQ(readBack[QStringLiteral("MaxI")], QStringLiteral("30.00"));
    EXPECT_EQ(readBack.size(), 10u);

    PatternEntries oneAmpere;
    oneAmpere.setPoint = QStringLiteral("1");
    SendLoadPattern(session, oneAmpere, told);
    ASSERT_TRUE(session.Armed(Activity::Load));
    SwitchLoadInput(session);
    EXPECT_EQ(session.Run(Activity::Load), RunState::Running);
    ASSERT_TRUE(WaitUntil([this] { return main.size() >= 3; })) << errors.join('\n').toStdString();
    EXPECT_EQ(main.last(), QStringLiteral("11.94 11.94")) << "1 A from 12 V behind 0.06 ohm";

    SwitchLoadInput(session);
    EXPECT_FALSE(session.PollTimer()->isActive());
    ASSERT_TRUE(Drained());
    // Drained is written, not yet read by the simulator; nothing may follow "load off".
    EXPECT_TRUE(WaitUntil([&] { return WireLines(host).last() == u"load off"; }))
        << WireLines(host).join(u'|').toStdString();
    EXPECT_TRUE(told.messages.isEmpty());
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

TEST_F(SessionTest, RunsABatteryDischargeToTheInstrumentsCutOff)
{
    SimOptions options;
    options.timeScale = 40;
    options.batteryCapacityAh = 0.01;
    SimulatorHost host(options);
    host.Start();
    Connect(host);
    session.SetMode(TestMode::Battery);
    SetUpBattery(session, { QStringLiteral("11"), QStringLiteral("0.3") }, told);
    ASSERT_TRUE(session.Armed(Activity::Battery));
    EXPECT_EQ(ToggleBattery(session, QStringLiteral("1"), told).change, BatteryToggle::Stopped)
        << "the first press before any run only switches off";
    EXPECT_EQ(ToggleBattery(session, QStringLiteral("1"), told).change, BatteryToggle::Started);
    EXPECT_EQ(session.PollTimer()->interval(), 1000);

    // After its cut-off the instrument answers with no current at a standing time: the
    // third such reading ends the run as "Stop" would.
    std::optional<BatterySummary> ended;
    session.OnBatteryEnd = [&](InstrumentSession*, const BatterySummary& summary) { ended = summary; };
    ASSERT_TRUE(WaitUntil([&] { return ended.has_value(); }, std::chrono::seconds(40)))
        << battery.size() << " readings; " << errors.join('\n').toStdString();
    EXPECT_EQ(session.Run(Activity::Battery), RunState::Idle);
    EXPECT_FALSE(session.PollTimer()->isActive());
    EXPECT_EQ(session.PollTimer()->interval(), InstrumentSession::kIdlePollMs);
    for (size_t i = 1; i < battery.size(); ++i)
        EXPECT_GE(battery[i].seconds, battery[i - 1].seconds);
    EXPECT_EQ(ended->seconds, battery.back().seconds);
    EXPECT_DOUBLE_EQ(ended->ampereHours, battery.back().capacityValue);
    EXPECT_EQ(ended->readings, static_cast<int>(battery.size()));
    EXPECT_GT(ended->wattHours, 0);
    ASSERT_TRUE(Drained());
    // Drained is written, not yet read by the simulator; nothing may follow "load off".
    EXPECT_TRUE(WaitUntil([&] { return WireLines(host).last() == u"load off"; }))
        << WireLines(host).join(u'|').toStdString();
    EXPECT_TRUE(WireLines(host).contains(QStringLiteral("bat:vmin 11")));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

// Nothing queued before a disconnect or a lost port goes out after the next connect.
TEST_F(SessionTest, ClosingOrLosingThePortEmptiesTheQueueAndStopsPolling)
{
    auto host = std::make_unique<SimulatorHost>();
    host->Start();
    Connect(*host);
    QStringList lost;
    session.OnPortLost = [&](InstrumentSession*, const QString& port) { lost << port; };
    for (const bool pulled : { false, true }) {
        SCOPED_TRACE(pulled ? "lost" : "closed");
        session.HandleReply(QStringLiteral("12.00,0.000")); // counted against this connection
        ASSERT_EQ(session.Counts().unasked, 1);
        session.SetPollInterval(5000); // a battery run's test period
        session.StartPolling();
        session.QueueCommand(QStringLiteral("load on"));
        session.QueueCommand(QStringLiteral("mset:imax?"), ReplyCode::CurrentLimit);
        session.PacingTick(); // "load on" leaves; the query stays pending
        session.PacingTick(); // the query leaves; its answer is awaited
        session.QueueCommand(QStringLiteral("trig"));
        const QString port = host->SlavePath();
        if (pulled) {
            host->Stop();
            ASSERT_TRUE(WaitUntil([&] { return session.Port() == PortState::Closed; }));
            EXPECT_EQ(lost, QStringList { port });
        } else {
            session.Close();
        }
        EXPECT_TRUE(session.Pipeline().Idle());
        EXPECT_FALSE(session.PollTimer()->isActive());
        EXPECT_EQ(session.PollTimer()->interval(), InstrumentSession::kIdlePollMs)
            << "the next connection's Main readings must not come at the old run's period";

        host = std::make_unique<SimulatorHost>();
        host->Start();
        Connect(*host);
        EXPECT_EQ(WireLines(*host).first(), QStringLiteral("*adr 8"));
        EXPECT_FALSE(WireLines(*host).contains(QStringLiteral("trig")));
        EXPECT_EQ(session.Counts().unasked, 0) << "another instrument may be on the port now";
    }
    // The unasked reply, told once on each connection.
    EXPECT_EQ(errors, QStringList(2, "A reply arrived while no answer was awaited: \"12.00,0.000\""));
}

// Silence is an awaited answer not coming: an instrument left alone for a while, with
// nothing asked, is not silent; one that leaves a question unanswered is, and is told once.
TEST_F(SessionTest, SilenceIsToldOnlyWhileAnAnswerIsAwaited)
{
    SimulatorHost host;
    host.Start();
    Connect(host);
    std::vector<std::optional<QTime>> silences;
    session.OnSilence
        = [&](InstrumentSession*, std::optional<QTime> lastAnswer) { silences.push_back(lastAnswer); };
    QElapsedTimer idle;
    idle.start();
    // The pacing timer ticks all the while; nothing is queued.
    EXPECT_FALSE(WaitUntil([&] { return !silences.empty(); }, std::chrono::milliseconds(3500)));
    ASSERT_GE(idle.elapsed(), 3500);
    EXPECT_TRUE(silences.empty()) << "told of silence while nothing was asked";

    host.SetReplyFilter([](const std::string&, const std::string&) { return std::vector<SimReplyPiece> {}; });
    session.SetReplyTimeout(5000);
    session.QueueCommand(QStringLiteral("mset:imax?"), ReplyCode::CurrentLimit);
    ASSERT_TRUE(WaitUntil([&] { return !silences.empty(); }, std::chrono::seconds(5)));
    ASSERT_EQ(silences.size(), 1u);
    EXPECT_TRUE(silences[0].has_value()) << "the note names when the last answer came";
    session.Close();
    ASSERT_EQ(silences.size(), 2u) << "closing the port takes the note back";
    EXPECT_FALSE(silences[1].has_value());
}

// An instrument that does not know "*idn?" stays silent: nothing is wrong, nothing is
// counted. A query that goes unanswered is counted, and the next answer ends the run of
// unanswered ones.
TEST_F(SessionTest, UnansweredQueriesAreCountedUnlessTheAnswerIsOptional)
{
    std::vector<LinkTrouble> troubles;
    session.OnLinkEvent = [&](InstrumentSession*, const LinkEvent& e) { troubles.push_back(e.trouble); };
    std::optional<QString> identity;
    session.OnIdentity = [&](InstrumentSession*, const QString& text) { identity = text; };
    session.SetReplyTimeout(50);
    session.QueueCommand(QStringLiteral("*idn?"), ReplyCode::Identity);
    ASSERT_TRUE(WaitUntil([&] { return identity.has_value(); }));
    EXPECT_TRUE(identity->isEmpty());
    EXPECT_EQ(session.Counts().noAnswer, 0);
    EXPECT_TRUE(troubles.empty());

    session.QueueCommand(QStringLiteral("mset:imax?"), ReplyCode::CurrentLimit);
    ASSERT_TRUE(WaitUntil([&] { return session.Counts().noAnswer == 1; }));
    EXPECT_EQ(session.Counts().noAnswerInARow, 1);
    EXPECT_EQ(troubles, std::vector<LinkTrouble> { LinkTrouble::NoAnswer });
    session.QueueCommand(QStringLiteral("mset:vmax?"), ReplyCode::VoltageLimit);
    ASSERT_TRUE(WaitUntil([&] { return session.Pipeline().OnTheWire().has_value(); }));
    session.HandleReply(QStringLiteral("150.00V"));
    EXPECT_EQ(session.Maxima().voltage, 150);
    EXPECT_EQ(session.Counts().noAnswerInARow, 0);
    EXPECT_EQ(session.Counts().noAnswer, 1);
}

TEST_F(SessionTest, ReplyNobodyAskedForIsReportedAndTakesNothing)
{
    session.QueueCommand(QStringLiteral("load on"));
    session.QueueCommand(QStringLiteral("mset:imax?"), ReplyCode::CurrentLimit);
    session.HandleReply(QStringLiteral("12.00,0.000"));
    EXPECT_EQ(errors, QStringList { "A reply arrived while no answer was awaited: \"12.00,0.000\"" });
    EXPECT_EQ(session.Counts().unasked, 1);
    session.HandleReply(QStringLiteral("12.00,0.000"));
    EXPECT_EQ(session.Counts().unasked, 2) << "each one counted";
    EXPECT_EQ(errors.size(), 1) << "told once";
    EXPECT_EQ(session.Pipeline().Pending().size(), 2u);
    session.PacingTick();
    session.PacingTick();
    session.HandleReply(QStringLiteral("5.000"));
    EXPECT_EQ(session.Maxima().current, 5);
}

// A reading or report counts for a run only when its poll went out after the run's "load
// on": the report the instrument still holds from the last run ends nothing, the first one
// of this run ends it at once.
TEST_F(SessionTest, ARunCountsOnlyWhatItsOwnPollsBring)
{
    std::vector<ListReport> reports;
    session.OnListReport = [&](InstrumentSession*, const ListReport& r) { reports.push_back(r); };
    session.SetMode(TestMode::List);
    session.SetListPlan(1, false);
    session.QueueCommand(QStringLiteral("fetch?"), ReplyCode::Measurement);
    session.PacingTick(); // a poll from before the run

    session.SwitchInput(true);
    session.SetRun(Activity::List, RunState::Running);
    session.HandleReply(QStringLiteral("L3:2,1,2"));
    EXPECT_TRUE(reports.empty()) << "the last run's report";
    EXPECT_EQ(session.Run(Activity::List), RunState::Running);

    session.PacingTick(); // "load on"
    session.QueueCommand(QStringLiteral("fetch?"), ReplyCode::Measurement);
    session.PacingTick();
    session.HandleReply(QStringLiteral("L3:1,1,1"));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].stepVerdicts, (QStringList { "1", "1" }));
    EXPECT_EQ(session.Run(Activity::List), RunState::Idle) << "a list without repeat ends with its report";
    EXPECT_EQ(session.Pipeline().Pending().front().text, u"load off");
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

// A run started while the input is on already counts from the next poll: the one on the
// wire was asked before the run began.
TEST_F(SessionTest, ARunStartedWithTheInputOnCountsOnlyLaterPolls)
{
    std::vector<ListReport> reports;
    session.OnListReport = [&](InstrumentSession*, const ListReport& r) { reports.push_back(r); };
    session.SetMode(TestMode::List);
    session.SetListPlan(1, false);
    session.QueueCommand(QStringLiteral("fetch?"), ReplyCode::Measurement);
    session.PacingTick();
    session.SetRun(Activity::List, RunState::Running);
    session.HandleReply(QStringLiteral("L3:2,1,2"));
    EXPECT_TRUE(reports.empty()) << "the report of a poll from before the run";
    session.QueueCommand(QStringLiteral("fetch?"), ReplyCode::Measurement);
    session.PacingTick();
    session.HandleReply(QStringLiteral("L3:1,1,1"));
    EXPECT_EQ(reports.size(), 1u);
}

// Each battery run is judged on its own readings: what the last run saw (current that
// flowed, its energy) neither ends the next one early nor adds to its summary.
TEST_F(SessionTest, EachBatteryRunEndsOnItsOwnReadings)
{
    std::vector<BatterySummary> ends;
    session.OnBatteryEnd = [&](InstrumentSession*, const BatterySummary& s) { ends.push_back(s); };
    session.SetMode(TestMode::Battery);
    for (const char* run : { "first", "second" }) {
        SCOPED_TRACE(run);
        session.SetRun(Activity::Battery, RunState::Running);
        // A slow start: no current yet, the time standing.
        for (int i = 0; i < 3; ++i)
            session.HandleMeasurement(QStringLiteral("12.60 V,0.000 A,0s,0.000Ah"));
        EXPECT_EQ(session.Run(Activity::Battery), RunState::Running);
        session.HandleMeasurement(QStringLiteral("12.50 V,1.000 A,3600s,1.000Ah"));
        for (int i = 0; i < 3; ++i)
            session.HandleMeasurement(QStringLiteral("10.00 V,0.000 A,3600s,1.000Ah"));
        EXPECT_EQ(session.Run(Activity::Battery), RunState::Idle);
    }
    ASSERT_EQ(ends.size(), 2u);
    for (const BatterySummary& s : ends) {
        EXPECT_EQ(s.readings, 7);
        EXPECT_NEAR(s.wattHours, 12.5 / 2, 1e-9);
    }
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

// A list report holds the list's verdict and one per step; one the program cannot read
// fully ends the run as failed, saying why.
TEST(ListReport, VerdictsAreReadOrTheFaultNamed)
{
    const struct
    {
        const char* reply;
        int steps;
        int verdict;
        QStringList stepVerdicts;
        const char* fault; // a part of the message, "" for a sound report
    } cases[] = {
        { "L3:1,1,2", 2, 1, { "1", "2" }, "" },
        { "L3:2,0,2,1\r\n", 3, 2, { "0", "2", "1" }, "" },
        { "L3:7,1,1", 2, 0, {}, "the list verdict \"7\"" },
        { "L3:1,1,9", 2, 1, { "1" }, "the verdict \"9\" for step 1" },
        { "L3:1,1", 2, 1, { "1" }, "verdicts for 1 of 2 steps" },
        { "L3:1,1,\r\n", 2, 1, { "1" }, "verdicts for 1 of 2 steps" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        const ListReport r = ReadListReport(QString::fromLatin1(c.reply), c.steps);
        EXPECT_EQ(r.verdict, c.verdict);
        EXPECT_EQ(r.stepVerdicts, c.stepVerdicts);
        if (*c.fault == 0)
            EXPECT_TRUE(r.fault.isEmpty()) << r.fault.toStdString();
        else
            EXPECT_TRUE(r.fault.contains(QLatin1String(c.fault))) << r.fault.toStdString();
    }
}

// The instrument ends a discharge by switching its input off: readings without current at
// a standing time. Before current has flowed they are a slow start. The energy is the
// trapezoid of voltage times current over the readings' hours.
TEST(BatteryTrack, EndsOnlyAfterCurrentFlowedAndThenStoppedAtOneTime)
{
    const auto reading = [](double volts, double amps, int seconds) {
        BatteryReading r;
        r.voltageValue = volts;
        r.currentValue = amps;
        r.seconds = seconds;
        r.capacityValue = seconds * amps / 3600;
        return r;
    };
    struct Case
    {
        const char* name;
        std::vector<BatteryReading> readings;
        int endsAt; // index of the reading that ends the run, -1 for none
        int seconds = 0;
        double cutOffVolts = 0;
        double wattHours = 0;
    };
    const Case cases[] = {
        { "a slow start",
            { reading(12.6, 0, 0), reading(12.6, 0, 0), reading(12.6, 0, 0), reading(12.6, 0, 0) }, -1 },
        { "the instrument's cut-off",
            { reading(12.6, 0, 0), reading(12.5, 0.3, 1), reading(11.0, 0.3, 2), reading(11.2, 0, 2),
                reading(11.2, 0, 2), reading(11.2, 0, 2) },
            5, 2, 11.0, (12.5 * 0.3 / 2 + (12.5 * 0.3 + 11.0 * 0.3) / 2) / 3600 },
        { "time still running without current",
            { reading(12.5, 0.3, 1), reading(12.5, 0, 2), reading(12.5, 0, 3), reading(12.5, 0, 4) }, -1 },
        { "an hour at 10 W, then 5 W for half an hour",
            { reading(10, 1, 0), reading(10, 1, 3600), reading(10, 0.5, 5400), reading(9, 0, 5400),
                reading(9, 0, 5400), reading(9, 0, 5400) },
            5, 5400, 10, 10 + (10 * 1 + 10 * 0.5) / 2 / 2 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BatteryTrack track;
        int ended = -1;
        for (size_t i = 0; i < c.readings.size(); ++i) {
            if (const auto summary = track.Add(c.readings[i]); summary && ended < 0) {
                ended = static_cast<int>(i);
                EXPECT_EQ(summary->readings, ended + 1);
                EXPECT_DOUBLE_EQ(summary->cutOffVolts, c.cutOffVolts);
                EXPECT_EQ(summary->seconds, c.seconds);
                EXPECT_NEAR(summary->wattHours, c.wattHours, 1e-9);
            }
        }
        EXPECT_EQ(ended, c.endsAt);
    }
}

} // namespace
