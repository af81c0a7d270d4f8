// Discharge profiles run through the session against the simulator's cell over a real
// pseudo-terminal: what ends each step, the integrals, the resistance pulses, loops and
// limits, the instrument's backstop and a port pulled mid-run.
#include "workflows/ProfileRun.h"
#include "support/SimWire.h"

#include "comm/SerialComm.h"
#include "link/InstrumentSession.h"
#include "sim/SimulatorHost.h"
#include "support/EventLoop.h"
#include "workflows/Connection.h"
#include "workflows/OperatorMessages.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

// A Li-ion cell in place of the bench supply; its clock `scale` times the real one.
SimOptions Cell(double capacityAh, double ohm, double scale)
{
    SimOptions options;
    const CellVolts volts = ChemistryVolts(CellChemistry::LiIon);
    options.batteryChemistry = CellChemistry::LiIon;
    options.batteryFullVolts = volts.full;
    options.batteryEmptyVolts = volts.empty;
    options.batteryCapacityAh = capacityAh;
    options.batteryInternalOhm = ohm;
    options.cellInEveryMode = true;
    options.timeScale = scale;
    return options;
}

// The resistance the load sees at its terminals: the cell's and, without remote sense, the leads'.
double SeenOhm(const SimOptions& options)
{
    return options.batteryInternalOhm + 0.01;
}

// The charge drawn from the simulator's cell when it rests at `volts`.
double DrawnAtRest(const SimOptions& options, double volts)
{
    const BatteryCell cell(options.batteryCapacityAh, options.batteryInternalOhm, options.batteryFullVolts,
        options.batteryEmptyVolts, options.batteryChemistry);
    double low = 0, high = options.batteryCapacityAh;
    for (int i = 0; i < 60; ++i) {
        const double mid = (low + high) / 2;
        (cell.OpenCircuitVoltsAfter(mid) > volts ? low : high) = mid;
    }
    return low;
}

class ProfileRunTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        session.Pause = [](int) {};
        session.OnError = [this](InstrumentSession*, const QString& message) { errors << message; };
        session.OnVerbatimReply = [this](InstrumentSession*, const QString& reply) { answers << reply; };
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

    // A run on the session whose every event is recorded.
    std::unique_ptr<ProfileRun> MakeRun()
    {
        auto run = std::make_unique<ProfileRun>(session);
        run->SetPollMs(100);
        run->OnStep = [this](const ProfileStepInfo& step) { steps.push_back(step); };
        run->OnResistance = [this](const ResistanceMeasurement& m) { measured.push_back(m); };
        run->OnStatus = [this](const QString& status) { statuses << status; };
        run->OnEnd = [this](ProfileOutcome outcome, const QString& message) {
            ++ends;
            ended = outcome;
            endMessage = message;
        };
        return run;
    }

    void Start(ProfileRun& run, const char* text)
    {
        const QByteArray bytes(text);
        run.Start(ReadProfile(bytes), bytes);
    }

    bool WaitForEnd(std::chrono::seconds limit = std::chrono::seconds(60))
    {
        return WaitUntil([this] { return ended.has_value(); }, limit);
    }

    // The operator's own switch-off voltage, set before the run.
    // The operator's switch-off voltage, in the instrument before the run's lines are counted.
    void SetOperatorsVoff(const SimulatorHost& host)
    {
        session.QueueCommand(QStringLiteral("mset:voff 1.5"));
        ASSERT_TRUE(Drained());
        // Written is not yet received: a busy machine may hand the line over late.
        ASSERT_TRUE(WaitUntil([&] { return WireLines(host).endsWith(QStringLiteral("mset:voff 1.5")); }));
    }

    // Asks the instrument for its switch-off voltage once the run is over.
    QString InstrumentsVoff()
    {
        answers.clear();
        session.QueueCommand(QStringLiteral("mset:voff?"), ReplyCode::Verbatim);
        WaitUntil([this] { return !answers.isEmpty(); });
        return answers.value(0);
    }

    std::string Said() const
    {
        return (statuses + errors + QStringList { endMessage }).join(u'\n').toStdString();
    }

    InstrumentSession session;
    struct Told told;
    QStringList errors;
    QStringList answers;
    std::vector<ProfileStepInfo> steps;
    std::vector<ResistanceMeasurement> measured;
    QStringList statuses;
    std::optional<ProfileOutcome> ended;
    QString endMessage;
    int ends = 0;
};

// A constant current down to a voltage, a rest for a time and a constant power for a charge:
// each step ends on its own condition, and the charge and energy taken are the cell's.
TEST_F(ProfileRunTest, EachStepEndsOnItsOwnConditionAndTheIntegralsAreTheCells)
{
    const SimOptions options = Cell(0.25, 0.05, 50);
    SimulatorHost host(options);
    host.Start();
    Connect(host);
    auto run = MakeRun();
    Start(*run,
        "Discharge at 2 A until 3.5 V\n"
        "Rest for 2 s\n"
        "Discharge at 5 W for 0.001 Ah or until 3.0 V\n");
    ASSERT_TRUE(WaitForEnd()) << Said();
    EXPECT_EQ(*ended, ProfileOutcome::Finished) << Said();
    EXPECT_EQ(ends, 1);

    const char* endedBy[]
        = { "Step 1 ended: until 3.5 V", "Step 2 ended: for 2 s", "Step 3 ended: for 0.001 Ah" };
    for (const char* text : endedBy)
        EXPECT_EQ(statuses.filter(QString::fromLatin1(text)).size(), 1) << text << '\n' << Said();
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[2].description, u"Discharge at 5 W until 3 V or for 0.001 Ah");
    EXPECT_EQ(steps[2].endCondition, u"until 3 V or for 0.001 Ah");

    // At rest the cell shows its open-circuit voltage, which tells what the first step took.
    const std::vector<ProfileSample>& samples = run->Samples();
    const auto lastRest = std::find_if(
        samples.rbegin(), samples.rend(), [](const ProfileSample& s) { return s.stepNumber == 2; });
    ASSERT_NE(lastRest, samples.rend());
    EXPECT_EQ(lastRest->current, 0);
    const double drawn = DrawnAtRest(options, lastRest->voltage);
    const double ampHours = lastRest->capacityAh * options.timeScale;
    EXPECT_NEAR(ampHours, drawn, 0.01 * drawn) << "Ah error " << (ampHours / drawn - 1) * 100 << " %";
    // The energy is the terminal voltage times the charge, along the cell's curve.
    double energy = 0;
    const BatteryCell cell(options.batteryCapacityAh, options.batteryInternalOhm, options.batteryFullVolts,
        options.batteryEmptyVolts, options.batteryChemistry);
    for (int n = 0; n < 1000; ++n)
        energy
            += (cell.OpenCircuitVoltsAfter(drawn * (n + 0.5) / 1000) - 2 * SeenOhm(options)) * drawn / 1000;
    const double wattHours = lastRest->energyWh * options.timeScale;
    EXPECT_NEAR(wattHours, energy, 0.01 * energy) << "Wh error " << (wattHours / energy - 1) * 100 << " %";

    // The last step ran at constant power, for at least its charge and less than a reading more.
    const ProfileSample& last = samples.back();
    EXPECT_EQ(last.stepNumber, 3);
    EXPECT_GE(last.stepAh, 0.001);
    EXPECT_LT(last.stepAh, 0.0015);
    EXPECT_NEAR(last.power, 5, 0.05);
    EXPECT_NEAR(run->CapacityAh(), last.capacityAh, 1e-12);
    EXPECT_TRUE(WireLines(host).contains(QStringLiteral("load:pow 5")));
    EXPECT_TRUE(errors.isEmpty()) << Said();
}

// The resistance from a two-level pulse, as a step of its own and every few seconds of a
// discharge, against the cell's; a pulse the instrument cannot give is a failed measurement.
TEST_F(ProfileRunTest, ResistanceIsTheCellsAndAPulseNotGivenIsReportedFailed)
{
    // A big cell on a slow clock: its voltage hardly moves during a pulse.
    const SimOptions options = Cell(20, 0.05, 10);
    SimulatorHost host(options);
    host.Start();
    Connect(host);
    // The instrument's limit comes down behind the program's back: it still takes 30 A as the limit.
    session.QueueCommand(QStringLiteral("mset:imax 3"));
    ASSERT_TRUE(Drained());
    auto run = MakeRun();
    Start(*run,
        "Measure resistance with a 2 A pulse for 1 s\n"
        "Discharge at 1 A for 7 s, measuring resistance every 2 s\n"
        "Measure resistance with a 40 A pulse for 0.5 s\n"
        "Measure resistance with a 5 A pulse for 0.5 s\n");
    ASSERT_TRUE(WaitForEnd()) << Said();
    EXPECT_EQ(*ended, ProfileOutcome::Finished) << Said();

    ASSERT_GE(measured.size(), 5u) << Said();
    // The step's own pulse from rest, then the discharge's from 1 A to twice that, each good.
    const double ohm = SeenOhm(options);
    int periodic = 0;
    for (size_t n = 0; n + 2 < measured.size(); ++n) {
        SCOPED_TRACE(n);
        const ResistanceMeasurement& m = measured[n];
        EXPECT_EQ(m.stepNumber, n == 0 ? 1 : 2);
        periodic += m.stepNumber == 2;
        ASSERT_TRUE(m.milliOhm.has_value()) << m.failure.toStdString();
        EXPECT_NEAR(*m.milliOhm, ohm * 1000, ohm * 1000 * 0.05)
            << "resistance error " << (*m.milliOhm / (ohm * 1000) - 1) * 100 << " %";
        EXPECT_NEAR(m.i2 - m.i1, n == 0 ? 2.0 : 1.0, 0.01);
    }
    EXPECT_GE(periodic, 2);
    const ResistanceMeasurement& aboveLimit = measured[measured.size() - 2];
    const ResistanceMeasurement& notReached = measured.back();
    EXPECT_FALSE(aboveLimit.milliOhm);
    EXPECT_EQ(aboveLimit.failure, u"the pulse of 40 A is above the instrument's current limit of 30 A");
    EXPECT_FALSE(notReached.milliOhm);
    EXPECT_TRUE(notReached.failure.startsWith(u"the pulse did not reach 5 A"))
        << notReached.failure.toStdString();
    EXPECT_EQ(ResistanceRowValues(QStringLiteral("run"), notReached).value(8), QString());
    EXPECT_EQ(ResistanceRowValues(QStringLiteral("run"), notReached).value(9), notReached.failure);
    EXPECT_EQ(ResistanceRowValues(QStringLiteral("run"), measured[0]).value(9), u"ok");
    // Nothing asked the instrument for 40 A.
    EXPECT_FALSE(WireLines(host).contains(QStringLiteral("load:curr 40")));
    // Each pulse lasted its time before the current went back: 1 s, and 1 s for the periodic ones.
    const std::vector<SimReceivedLine> lines = host.ReceivedLines();
    for (size_t n = 0; n < lines.size(); ++n) {
        if (lines[n].line != "load:curr 2")
            continue;
        const auto back = std::find_if(lines.begin() + n + 1, lines.end(),
            [](const SimReceivedLine& l) { return l.line == "load off" || l.line == "load:curr 1"; });
        ASSERT_NE(back, lines.end());
        EXPECT_GE(back->atSeconds - lines[n].atSeconds, 1.0);
    }
    // The resistance lands on the nearest reading of the exported run.
    const std::vector<BdfReading> bdf = BdfReadingsFromProfile(run->Samples(), run->Resistances());
    const auto withResistance = std::count_if(
        bdf.begin(), bdf.end(), [](const BdfReading& r) { return r.resistanceOhm.has_value(); });
    EXPECT_GE(withResistance, 3);
}

// Loops run their count, the cycle being the pass of the innermost loop; the run's limit ends
// the run whatever step is running.
TEST_F(ProfileRunTest, LoopsRunTheirCountAndTheLimitEndsTheRun)
{
    const struct
    {
        const char* name;
        const char* text;
        ProfileOutcome outcome;
        const char* kinds; // P pulse, R rest, D discharge; empty: not checked
        std::vector<int> cycles;
        const char* message;
    } cases[] = {
        { "nested loops",
            "Repeat 2 times:\n"
            "    Pulse 1 A for 0.2 s\n"
            "    Repeat 2 times:\n"
            "        Rest for 0.2 s\n"
            "Rest for 0.2 s\n",
            ProfileOutcome::Finished, "PRRPRRR", { 1, 1, 2, 2, 1, 2, 1 }, "Profile finished: 7 steps" },
        { "a limit on time",
            "Stop the run after 1.5 s\n"
            "Repeat 1000 times:\n"
            "    Pulse 1 A for 0.2 s\n"
            "    Rest for 0.2 s\n",
            ProfileOutcome::LimitReached, "", {}, "Profile stopped at its limit (after 1.5 s" },
        { "a limit on charge", "Stop the run after 0.0005 Ah\nDischarge at 2 A for 1 hour\n",
            ProfileOutcome::LimitReached, "D", { 1 }, "Profile stopped at its limit (after 0.0005 Ah" },
    };
    const SimOptions options = Cell(2, 0.05, 1);
    SimulatorHost host(options);
    host.Start();
    Connect(host);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        steps.clear();
        ended.reset();
        statuses.clear();
        auto run = MakeRun();
        Start(*run, c.text);
        ASSERT_TRUE(WaitForEnd()) << Said();
        EXPECT_EQ(*ended, c.outcome) << Said();
        EXPECT_TRUE(endMessage.startsWith(QString::fromLatin1(c.message))) << endMessage.toStdString();
        if (c.outcome == ProfileOutcome::LimitReached) {
            EXPECT_GT(steps.size(), 0u);
            EXPECT_LT(steps.size(), 2000u);
        }
        if (*c.kinds == 0)
            continue;
        QString kinds;
        std::vector<int> cycles;
        for (size_t n = 0; n < steps.size(); ++n) {
            EXPECT_EQ(steps[n].number, static_cast<int>(n) + 1);
            kinds += steps[n].kind == StepKind::Pulse ? u'P' : steps[n].kind == StepKind::Rest ? u'R' : u'D';
            cycles.push_back(steps[n].cycle);
        }
        EXPECT_EQ(kinds, QString::fromLatin1(c.kinds));
        EXPECT_EQ(cycles, c.cycles);
        ASSERT_TRUE(Drained());
    }
    EXPECT_TRUE(errors.isEmpty()) << Said();
}

// The instrument's own switch-off is set to the lowest cut-off before the input first goes
// on, and the operator's value is back once the run has finished or been stopped.
TEST_F(ProfileRunTest, BackstopIsSetBeforeTheInputGoesOnAndRestoredAtTheEnd)
{
    const struct
    {
        const char* name;
        const char* text;
        bool stop;
        ProfileOutcome outcome;
        const char* backstop; // none: the profile names no cut-off
    } cases[] = {
        { "finished", "Discharge at 1 A until 3.3 V or for 1 s\nDischarge at 1 A until 3.1 V or for 1 s\n",
            false, ProfileOutcome::Finished, "mset:voff 3.1" },
        { "stopped", "Discharge at 1 A until 3.1 V or for 60 s\n", true, ProfileOutcome::Stopped,
            "mset:voff 3.1" },
        { "no cut-off", "Discharge at 1 A for 1 s\n", false, ProfileOutcome::Finished, nullptr },
    };
    SimulatorHost host(Cell(2, 0.05, 1));
    host.Start();
    Connect(host);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetOperatorsVoff(host);
        const qsizetype before = WireLines(host).size();
        ended.reset();
        statuses.clear();
        auto run = MakeRun();
        Start(*run, c.text);
        if (c.stop) {
            ASSERT_TRUE(WaitUntil([&] { return run->Samples().size() >= 3; })) << Said();
            run->Stop();
        }
        ASSERT_TRUE(WaitForEnd()) << Said();
        EXPECT_EQ(*ended, c.outcome);
        EXPECT_FALSE(run->Running());
        EXPECT_EQ(session.Run(Activity::Load), RunState::Idle);
        ASSERT_TRUE(Drained());
        // The instrument may read the last line a moment after the session has sent it.
        ASSERT_TRUE(WaitUntil([&] {
            return WireLines(host).last().startsWith(c.backstop ? u"mset:voff" : u"load off");
        }));
        const QStringList wire = WireLines(host).mid(before);
        const qsizetype on = wire.indexOf(QStringLiteral("load on"));
        ASSERT_GE(on, 0);
        if (!c.backstop) {
            EXPECT_TRUE(wire.filter(QStringLiteral("mset:voff")).isEmpty());
            EXPECT_EQ(statuses.filter(QStringLiteral("No backstop")).size(), 1) << Said();
            EXPECT_EQ(wire.last(), u"load off");
            continue;
        }
        const qsizetype asked = wire.indexOf(QStringLiteral("mset:voff?"));
        const qsizetype set = wire.indexOf(QString::fromLatin1(c.backstop));
        EXPECT_GE(asked, 0);
        EXPECT_GT(set, asked);
        EXPECT_LT(set, on);
        EXPECT_EQ(wire.mid(wire.size() - 2), QStringList({ "load off", "mset:voff 1.500" }));
        EXPECT_TRUE(statuses.contains(QStringLiteral("Backstop: %1 (was 1.500)").arg(c.backstop))) << Said();
        EXPECT_EQ(InstrumentsVoff(), u"1.500V");
        session.QueueCommand(QStringLiteral("mset:voff 0")); // the next case starts from another value
    }
    EXPECT_TRUE(errors.isEmpty()) << Said();
}

// The adapter is pulled during a discharge: the run ends as PortLost, and the next port to
// open gets "load off" and the operator's switch-off voltage before anything else.
TEST_F(ProfileRunTest, PortPulledEndsTheRunAndTheNextOpenSwitchesOffAndRestoresFirst)
{
    const SimOptions options = Cell(2, 0.05, 20);
    auto host = std::make_unique<SimulatorHost>(options);
    host->Start();
    Connect(*host);
    SetOperatorsVoff(*host);
    auto run = MakeRun();
    Start(*run, "Discharge at 1 A until 3.0 V\n");
    ASSERT_TRUE(WaitUntil([&] { return run->Samples().size() >= 3; })) << Said();
    host->Stop();
    ASSERT_TRUE(WaitForEnd()) << Said();
    EXPECT_EQ(*ended, ProfileOutcome::PortLost);
    EXPECT_TRUE(endMessage.contains(u"mset:voff 1.500")) << endMessage.toStdString();
    EXPECT_EQ(session.Run(Activity::Load), RunState::Idle);
    // The run object may go before the port comes back: the restore does not depend on it.
    run.reset();

    host = std::make_unique<SimulatorHost>(options);
    host->Start();
    Connect(*host);
    const QStringList wire = WireLines(*host);
    ASSERT_GE(wire.size(), 3);
    EXPECT_EQ(wire.mid(0, 3), QStringList({ "load off", "mset:voff 1.500", "*adr 8" }));
    EXPECT_EQ(InstrumentsVoff(), u"1.500V");
    EXPECT_EQ(ends, 1);
}

// The instrument switches its input off by itself (its switch-off voltage, which the simulator
// does not model, is played by a "load off" behind the run's back): a step with a voltage end
// takes it as that end, any other ends the run as failed.
TEST_F(ProfileRunTest, InputSwitchedOffByTheInstrumentEndsTheStepOrTheRun)
{
    const struct
    {
        const char* name;
        const char* text;
        ProfileOutcome outcome;
        const char* told;
    } cases[] = {
        { "a voltage end", "Discharge at 1 A until 3 V or for 60 s\nRest for 0.5 s\n",
            ProfileOutcome::Finished, "Step 1 ended: until 3 V (the instrument switched its input off at " },
        { "no voltage end", "Discharge at 1 A for 60 s\n", ProfileOutcome::Failed,
            "The instrument switched its input off by itself in step 1" },
    };
    SimulatorHost host(Cell(2, 0.05, 1));
    host.Start();
    Connect(host);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ended.reset();
        statuses.clear();
        auto run = MakeRun();
        Start(*run, c.text);
        ASSERT_TRUE(WaitUntil([&] { return run->Samples().size() >= 3; })) << Said();
        session.QueueCommand(QStringLiteral("load off"));
        ASSERT_TRUE(WaitForEnd()) << Said();
        EXPECT_EQ(*ended, c.outcome) << Said();
        EXPECT_TRUE((statuses + QStringList { endMessage }).join(u'\n').contains(QString::fromLatin1(c.told)))
            << Said();
        ASSERT_TRUE(Drained());
    }
}

// Nothing is sent when the run cannot start; the question of the backstop unanswered
// starts nothing, and leaves no backstop behind.
TEST_F(ProfileRunTest, RefusesToStartWithoutAPortOrAnAnswerAboutTheBackstop)
{
    auto run = MakeRun();
    EXPECT_THROW(Start(*run, "Discharge at 1 A until 3 V\n"), std::runtime_error);
    EXPECT_FALSE(run->Running());

    SimulatorHost host(Cell(2, 0.05, 1));
    host.Start();
    Connect(host);
    host.DropAnswerOnce("mset:voff?");
    EXPECT_THROW(Start(*run, "Discharge at 40 A until 3 V\n"), std::runtime_error) << "above the 30 A limit";
    Start(*run, "Discharge at 1 A until 3 V\n");
    ASSERT_TRUE(WaitForEnd()) << Said();
    EXPECT_EQ(*ended, ProfileOutcome::Failed);
    EXPECT_TRUE(endMessage.contains(u"did not answer \"mset:voff?\"")) << endMessage.toStdString();
    ASSERT_TRUE(Drained());
    const QStringList wire = WireLines(host);
    EXPECT_FALSE(wire.contains(QStringLiteral("load on")));
    EXPECT_EQ(wire.filter(QStringLiteral("mset:voff ")), QStringList {});
    EXPECT_EQ(wire.count(QStringLiteral("mset:voff?")), 2) << "the read-back's and the run's";
}

} // namespace
