// Discharge profiles: each step line reads to what it says in base units, a line that is no
// step is refused with its number and what was expected there, and the text and JSON forms
// carry the same profile both ways.
#include "workflows/Profile.h"

#include <gtest/gtest.h>

namespace {

ProfileStep Step(StepKind kind, double setting, EndConditions until = {}, double seconds = 0)
{
    ProfileStep step;
    step.kind = kind;
    step.setting = setting;
    step.until = std::move(until);
    step.seconds = seconds;
    return step;
}

ProfileStep Every(ProfileStep step, double seconds, double ampHours, double pulseAmps = 0)
{
    step.resistanceEverySeconds = seconds;
    step.resistanceEveryAmpHours = ampHours;
    step.resistancePulseCurrent = pulseAmps;
    return step;
}

TEST(Profile, StepLinesReadToWhatTheySay)
{
    using enum StepKind;
    using enum EndKind;
    const struct
    {
        const char* line;
        ProfileStep step;
    } cases[] = {
        { "Discharge at 2 A until 3.0 V", Step(DischargeCurrent, 2, { { VoltageBelow, 3 } }) },
        { "  discharge AT 500 mA UNTIL 2900 mV  # half an amp",
            Step(DischargeCurrent, 0.5, { { VoltageBelow, 2.9 } }) },
        { "Discharge at 5 W for 30 s or until 3.2 V",
            Step(DischargePower, 5, { { VoltageBelow, 3.2 }, { Duration, 30 } }) },
        { "Discharge at 4 ohm until 2,9 V", Step(DischargeResistance, 4, { { VoltageBelow, 2.9 } }) },
        { "Discharge at 4,5 Ω until below 2.9 V or for 1 h",
            Step(DischargeResistance, 4.5, { { VoltageBelow, 2.9 }, { Duration, 3600 } }) },
        { "Discharge at 1A for 1500 mAh or for 5 Wh",
            Step(DischargeCurrent, 1, { { Capacity, 1.5 }, { Energy, 5 } }) },
        { "Discharge at 2 A until 3 V, measuring resistance every 5 minutes",
            Every(Step(DischargeCurrent, 2, { { VoltageBelow, 3 } }), 300, 0) },
        { "Discharge at 5 W for 1.5 Ah, measuring resistance every 0.1 Ah",
            Every(Step(DischargePower, 5, { { Capacity, 1.5 } }), 0, 0.1) },
        { "Discharge at 2 A until 3 V, measuring resistance every 5 minutes with a 4 A pulse",
            Every(Step(DischargeCurrent, 2, { { VoltageBelow, 3 } }), 300, 0, 4) },
        { "Hold 3.6 V for 10 minutes", Step(HoldVoltage, 3.6, { { Duration, 600 } }) },
        { "Hold 4.2 V until 0.1 A or for 2 hours",
            Step(HoldVoltage, 4.2, { { CurrentBelow, 0.1 }, { Duration, 7200 } }) },
        { "Rest for 10 min", Step(Rest, 0, { { Duration, 600 } }) },
        { "Rest until above 3.6 V or for 1 hour",
            Step(Rest, 0, { { VoltageAbove, 3.6 }, { Duration, 3600 } }) },
        { "Pulse 2 A for 1 s", Step(Pulse, 2, {}, 1) },
        { "Measure resistance with a 1,5 A pulse for .5 seconds", Step(MeasureResistance, 1.5, {}, 0.5) },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const Profile profile = ReadProfile(c.line);
        ASSERT_EQ(profile.steps.size(), 1u);
        EXPECT_EQ(profile.steps[0], c.step);
    }
}

TEST(Profile, MalformedLinesNameTheLineAndWhatWasExpected)
{
    const QByteArray huge = "Discharge at 1" + QByteArray(400, '7') + " A until 3 V";
    QByteArray nineDeep;
    for (int n = 0; n < 9; ++n)
        nineDeep += QByteArray(n * 2, ' ') + "Repeat 2 times:\n";
    nineDeep += QByteArray(18, ' ') + "Rest for 1 s";
    const struct
    {
        QByteArray text;
        int line;
        const char* expected;
    } cases[] = {
        { "Rest for 1 s\nDischarge 2 A until 3 V", 2, "expected \"at\", found \"2 A until 3 V\"" },
        { "Rest for 1 s\nDischarge at 2 A", 2, "expected \"until\" a voltage or current, or \"for\"" },
        { "Discharge at 2 V until 3 V", 1, "expected a current, power or resistance" },
        { "Discharge at -2 A until 3 V", 1, "expected a current, power or resistance" },
        { "Discharge at 5000 A until 3 V", 1, "expected a current from 0.0001 A to 1000 A, found 5000 A" },
        { "Discharge at 0 mA until 3 V", 1, "expected a current from" },
        { "Discharge at 2 A for 2000 hours", 1, "expected a duration from" },
        { huge, 1, "expected a number of sane size" },
        { "Discharge at 2 A until 3 V or until 2.9 V", 1, "expected each kind of end once" },
        { "Discharge at 2 A until 0.1 A", 1, "expected an end for a discharge" },
        { "Discharge at 2 A until 3 V extra", 1, "expected the end of the line, found \"extra\"" },
        { "Discharge at 2 A until 3 V, measuring resistance every 3 V", 1,
            "expected a duration such as \"5 minutes\"" },
        { "Discharge at 2 A until 3 V, measuring resistance every 0 s", 1, "expected an interval from" },
        { "Hold 3.6 V until 3 V", 1, "expected an end for a hold" },
        { "Hold 3.6 V until above 0.1 A", 1, "expected a current to fall below" },
        { "Rest for 1 Ah", 1, "expected an end for a rest" },
        { "Pulse 2 A for 2 minutes", 1, "expected a pulse length from" },
        { "Pulse 2 A", 1, "expected \"for\", found the end of the line" },
        { "Charge at 2 A", 1, "expected a step: Discharge, Hold, Rest" },
        { "Rest for 1 s\n\n# three\nRepeat 2.5 times:\n  Rest for 1 s", 4,
            "expected a whole number of times" },
        { "Repeat 20000 times:\n  Rest for 1 s", 1, "expected a count of repeats from 1 to 10000" },
        { "Repeat 3 times\n  Rest for 1 s", 1, "expected \":\"" },
        { "Repeat 3 times:\nRest for 1 s", 2, "expected the steps of the loop on line 1, indented further" },
        { "Rest for 1 s\nRepeat 3 times:\n", 4, "found the end of the file" },
        { "Rest for 1 s\n  Rest for 1 s", 2, "expected the indentation of a step above" },
        { "Repeat 2 times:\n    Rest for 1 s\n  Rest for 1 s", 3,
            "expected the indentation of a step above" },
        { "Repeat 2 times:\n  Rest for 1 s\n  Stop the run at 3 V", 3,
            "expected \"Stop the run\" outside any loop" },
        { "Stop the run at 3 A\nRest for 1 s", 1, "expected a voltage such as \"3.0 V\"" },
        { "Stop the run after 3 V\nRest for 1 s", 1, "expected a duration such as \"10 hours\"" },
        { "Stop the run at 3 V\nStop the run at 2.9 V\nRest for 1 s", 2, "expected each kind of end once" },
        { "# nothing but a comment\n", 2, "expected at least one step" },
        { nineDeep, 9, "expected loops nested at most 8 deep" },
        { "{\"steps\": [{\"kind\": \"discharge\", \"current\": 2, \"power\": 3, \"until\": {\"seconds\": "
          "1}}]}",
            1, "expected one of \"current\", \"power\" or \"resistance\", found 2 of them" },
        { "{\"steps\": [\n {\"kind\": \"rest\", \"until\": {\"seconds\": 1}},\n {\"kind\": \"fly\"}]}", 3,
            "expected \"kind\": one of discharge" },
        { "{\"steps\": []}", 1, "expected \"steps\": a list of at least one step" },
        { "{\"steps\": [\n{\"kind\": \"discharge\", \"current\": 2,\n \"untill\": {\"voltageBelow\": 3}}]}",
            2, "expected \"until\": an object" },
        { "{\"steps\": [{\"kind\": \"discharge\", \"current\": 2, \"until\": {\"voltageBelow\": 3},\n"
          "\"measureResistanceEvry\": {\"seconds\": 60}}]}",
            1, "expected for a discharge step one of" },
        { "{\"steps\": [{\"kind\": \"repeat\", \"times\": 2, \"steps\": [\n"
          "{\"kind\": \"pulse\", \"current\": 2, \"seconds\": 100}]}]}",
            2, "expected a pulse length from" },
        { "{\"steps\": [{\"kind\": \"rest\", \"until\": {\"seconds\": 1}}],\n\"limit\": {\"currentBelow\": "
          "1}}",
            2, "expected a limit" },
        { "{\"steps\": [{\"kind\": \"rest\", \"until\": {\"seconds\": \"1\"}}]}", 1,
            "expected \"seconds\": a number" },
        { "{\n\"steps\": [ , ] }", 2, "expected well-formed JSON" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.left(120).toStdString());
        try {
            ReadProfile(c.text);
            ADD_FAILURE() << "taken";
        } catch (const EProfile& e) {
            EXPECT_EQ(e.line(), c.line) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
            EXPECT_LT(std::string(e.what()).size(), 300u) << e.what();
        }
    }
}

const QByteArray kThreeStages = R"(# A capacity check with resistance points on the way
Stop the run at 2.5 V or after 10 hours
Discharge at 2 A until 3.0 V, measuring resistance every 5 minutes with a 4 A pulse

Repeat 3 times:
    Pulse 2 A for 1 s
    Rest for 10 minutes   # let the cell settle
    Repeat 2 times:
        Measure resistance with a 1 A pulse for 0,5 s
    Discharge at 4 ohm for 100 mAh or until 2.9 V
Hold 3.6 V until 0.1 A or for 2 hours
Rest until above 3.2 V or for 90 s
)";

TEST(Profile, TextAndJsonCarryTheSameProfileBothWays)
{
    const Profile profile = ReadProfile(kThreeStages);
    ASSERT_EQ(profile.steps.size(), 4u);
    ASSERT_EQ(profile.steps[1].steps.size(), 4u);
    EXPECT_EQ(profile.steps[1].times, 3);
    EXPECT_EQ(profile.steps[1].steps[2].steps.size(), 1u);
    EXPECT_EQ(profile.steps[1].line, 5);
    EXPECT_EQ(
        profile.limit, (EndConditions { { EndKind::VoltageBelow, 2.5 }, { EndKind::Duration, 36000 } }));

    const Profile fromJson = ReadProfile(WriteProfileJson(profile));
    EXPECT_EQ(fromJson, profile);
    EXPECT_EQ(ReadProfile(WriteProfileText(fromJson)), profile);
    EXPECT_EQ(WriteProfileText(fromJson), WriteProfileText(profile));
    EXPECT_EQ(WriteProfileJson(ReadProfile(WriteProfileText(profile))), WriteProfileJson(profile));

    // The JSON a person writes by hand, keys in any order, reads like the line it mirrors.
    EXPECT_EQ(ReadProfile(R"({"steps":[{"until":{"voltageBelow":3.0},"kind":"discharge","current":2}]})"),
        ReadProfile("Discharge at 2 A until 3.0 V"));
}

TEST(Profile, LowestCutOffIsTheLowestVoltageBelowAnywhere)
{
    const struct
    {
        const char* text;
        double lowest;
    } cases[] = {
        { "Discharge at 2 A until 3 V\nDischarge at 1 A until 2.8 V or for 1 h", 2.8 },
        { "Discharge at 2 A until 3 V\nRepeat 2 times:\n  Repeat 2 times:\n    Discharge at 1 A until 2.7 V",
            2.7 },
        { "Stop the run at 2.5 V\nDischarge at 2 A until 3 V", 2.5 },
        { "Stop the run above 4.3 V or after 1 h\nDischarge at 2 A until 3 V", 3 },
        { "Rest until above 3.6 V\nHold 2 V for 1 s\nDischarge at 2 A for 1 h", 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(LowestCutOff(ReadProfile(c.text)), c.lowest);
    }
}

} // namespace
