// The link matrix for runs: a battery run's readings and a list run's steps and report, with
// the instrument answering late or misbehaving once (see LinkMatrixTest.cpp).
#include "LinkMatrix.h"

namespace {

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
