// The shape of the answer to each query: what is taken as that answer and what is not.
#include "replies/ReplyShapes.h"

#include "replies/MeasurementCuts.h"

#include <gtest/gtest.h>
#include <string_view>

using namespace std::literals;

namespace {

constexpr MeasurementLayout kMain = MeasurementLayout::Main;
constexpr MeasurementLayout kBattery = MeasurementLayout::Battery;
constexpr MeasurementLayout kList = MeasurementLayout::List;

struct FitCase
{
    ReplyCode code;
    MeasurementLayout layout;
    std::string_view reply;
    bool fits;
};

// Every code, in every layout: a reply that fits two of them must be one their families
// say can be confused.
void FitsNoOtherFamily(const FitCase& c, const QString& reply)
{
    for (int n = 0; n <= CodeNumber(StepCompareCode(kReadBackSteps)); ++n) {
        const auto other = static_cast<ReplyCode>(n);
        for (const MeasurementLayout layout : { kMain, kBattery, kList }) {
            if (FitsShape(other, layout, reply)) {
                EXPECT_TRUE(ShapesOverlap(c.code, other)) << "also fits code " << n;
            }
        }
    }
}

TEST(ReplyShapes, AReplyFitsOnlyTheShapeOfItsOwnAnswer)
{
    const FitCase cases[] = {
        // The examples of the simulator's reply texts, each under its own code.
        { ReplyCode::Measurement, kMain, "11.94V,1.000A,11.94W", true },
        { ReplyCode::Measurement, kBattery, "12.55 V,0.300 A,125s,0.010Ah", true },
        { ReplyCode::Measurement, kList, "L2:3,11.97 V,0.500A,", true },
        { ReplyCode::Measurement, kList, "L213,11.97 V,0.500A,", true },
        { ReplyCode::Measurement, kList, "L3:2,1,2,0", true },
        { ReplyCode::Measurement, kList, "L1:0", true },
        { ReplyCode::CurrentSetPoint, kMain, "10.000A", true },
        { ReplyCode::CurrentLimit, kMain, "30.000A", true },
        { ReplyCode::VoltageLimit, kMain, "150.000V", true },
        { ReplyCode::OnVoltage, kMain, "0.000V", true },
        { ReplyCode::OffVoltage, kMain, "0.000V", true },
        { ReplyCode::AutoOffDelay, kMain, "5s", true },
        { ReplyCode::Sense, kMain, "ON", true },
        { ReplyCode::BatteryCurrent, kMain, "0.300A", true },
        { ReplyCode::BatteryCutOff, kMain, "8.000V", true },
        { ReplyCode::TransientLoad, kMain, "CC", true },
        { ReplyCode::TransientMode, kMain, "TRIG", true },
        { ReplyCode::TransientLevelA, kMain, "1.000,10ms", true },
        { ReplyCode::TransientLevelB, kMain, "1.000,10ms", true },
        { ReplyCode::ListSteps, kMain, "1", true },
        { ReplyCode::ListStepMode, kMain, "AUTO", true },
        { ReplyCode::ListRepeat, kMain, "OFF", true },
        { StepLevelCode(0), kMain, "0.200,5s", true },
        { StepLevelCode(14), kMain, "12.000,0.5s", true },
        { StepCompareCode(0), kMain, "curr,0.100,0.300,", true },
        { StepCompareCode(14), kMain, "off,0.000,0.000,", true },

        // Set-points and limits: the unit may be left out, never replaced.
        { ReplyCode::CurrentSetPoint, kMain, "10.000 A", true },
        { ReplyCode::CurrentSetPoint, kMain, "10.000", true },
        { ReplyCode::CurrentSetPoint, kMain, "10.00", true },
        { ReplyCode::CurrentSetPoint, kMain, "1.5A", true },
        { ReplyCode::CurrentSetPoint, kMain, "300.", false }, // "300.000W" cut short by a pause
        { ReplyCode::CurrentSetPoint, kMain, "1.5", false },
        { ReplyCode::CurrentSetPoint, kMain, "10.000A\r\n", true },
        { ReplyCode::PowerSetPoint, kMain, "150.000W", true },
        { ReplyCode::ResistanceSetPoint, kMain, "4000.000R", true },
        { ReplyCode::CurrentSetPoint, kMain, "10.000X", false },
        { ReplyCode::CurrentSetPoint, kMain, "10.000V", false },
        { ReplyCode::CurrentSetPoint, kMain, "10.000a", false },
        { ReplyCode::CurrentSetPoint, kMain, "10.000AA", false },
        { ReplyCode::CurrentSetPoint, kMain, "10.000mA", false },
        { ReplyCode::CurrentSetPoint, kMain, "1,000A", false },
        { ReplyCode::CurrentSetPoint, kMain, "-1.0A", false },
        { ReplyCode::CurrentSetPoint, kMain, " 10.000A", false },
        { ReplyCode::CurrentSetPoint, kMain, "10.000A\0"sv, false },
        { ReplyCode::CurrentSetPoint, kMain, "10.000A ", false },
        { ReplyCode::CurrentSetPoint, kMain, "A", false },
        { ReplyCode::CurrentSetPoint, kMain, "", false },
        { ReplyCode::VoltageSetPoint, kMain, "10.000A", false },
        // Units that must be there.
        { ReplyCode::AutoOffDelay, kMain, "5 s\r", true },
        { ReplyCode::AutoOffDelay, kMain, "5", false },
        { ReplyCode::AutoOffDelay, kMain, "5.0s", false },
        { ReplyCode::BatteryCurrent, kMain, "0.300 A", true },
        { ReplyCode::BatteryCurrent, kMain, "0.300", false },
        { ReplyCode::BatteryCurrent, kMain, "300mA", false },
        { ReplyCode::BatteryCutOff, kMain, "8.000A", false },
        { ReplyCode::ListSteps, kMain, "14\n", true },
        { ReplyCode::ListSteps, kMain, "1.0", false },
        { ReplyCode::ListSteps, kMain, "-1", false },
        // Words.
        { ReplyCode::Sense, kMain, "on", true },
        { ReplyCode::TransientLoad, kMain, "OFF\r\n", true },
        { ReplyCode::ListStepMode, kMain, "ABCDEFGH", true },
        { ReplyCode::ListStepMode, kMain, "ABCDEFGHI", false },
        { ReplyCode::Sense, kMain, "O N", false },
        { ReplyCode::Sense, kMain, "1", false },
        { ReplyCode::Sense, kMain, "", false },
        { ReplyCode::Sense, kMain, "\r\n", false },
        { ReplyCode::ListRepeat, kMain, "ON\0"sv, false },
        // Level and width, level and dwell, comparison.
        { ReplyCode::TransientLevelA, kMain, "1.000,10ms\r", true },
        { ReplyCode::TransientLevelA, kMain, "1.000,10", false },
        { ReplyCode::TransientLevelA, kMain, "1.000,1.5ms", false },
        { ReplyCode::TransientLevelA, kMain, "1.000,10s", false },
        { ReplyCode::TransientLevelA, kMain, "1.000", false },
        { StepLevelCode(3), kMain, "0.200,5s\r\n", true },
        { StepLevelCode(3), kMain, "0.200,5ms", false },
        { StepLevelCode(3), kMain, "0.200,5", false },
        { StepLevelCode(3), kMain, "0.200;5s", false },
        { StepCompareCode(3), kMain, "volt,1.000,2.000,\r\n", true },
        { StepCompareCode(3), kMain, "curr,0.100,0.300", false },
        { StepCompareCode(3), kMain, "curr,0.100,0.300,,", false },
        { StepCompareCode(3), kMain, "1,0.100,0.300,", false },
        { StepCompareCode(3), kMain, "curr,x,0.300,", false },
        // The measurement in the layout of the mode the instrument was put in.
        { ReplyCode::Measurement, kMain, "11.94V,1.000A,11.94W\r\n", true },
        { ReplyCode::Measurement, kMain, "11.94V", false },
        { ReplyCode::Measurement, kMain, "10.000A", false },
        { ReplyCode::Measurement, kMain, "L2:3,11.97 V,0.500A,", false },
        { ReplyCode::Measurement, kBattery, "12.55 V,0.300 A,125s,0.010Ah\r\n", true },
        { ReplyCode::Measurement, kBattery, "12.55 V,0.300 A,125s,0.0", false },
        { ReplyCode::Measurement, kBattery, "11.94V,1.000A,11.94W", false },
        { ReplyCode::Measurement, kList, "L1", true },
        { ReplyCode::Measurement, kList, "L2:3,11.97 V,0.500A,\r\n", true },
        { ReplyCode::Measurement, kList, "L215,11.97 V,0.500A,", false },
        { ReplyCode::Measurement, kList, "L2:x,11.97 V,0.500A,", false },
        { ReplyCode::Measurement, kList, "L3:", false },
        { ReplyCode::Measurement, kList, "L3:x", false },
        { ReplyCode::Measurement, kList, "11.94V,1.000A,11.94W", false },
        { ReplyCode::Measurement, kList, "L4:0", false },
        // A typed command's answer is whatever comes; no answer is awaited for None.
        { ReplyCode::Verbatim, kMain, "anything at all\0"sv, true },
        { ReplyCode::Verbatim, kList, "", true },
        { ReplyCode::None, kMain, "10.000A", false },
        { static_cast<ReplyCode>(2), kMain, "10.000A", false },
        { static_cast<ReplyCode>(128), kMain, "0.200,5s", false },
        { StepLevelCode(15), kMain, "0.200,5s", false }, // the first comparison code
        { StepCompareCode(15), kMain, "curr,0.100,0.300,", false },
        // An identity is told apart from every other answer, which is never taken for one.
        { ReplyCode::Identity, kMain, "KELVARON,4410,KV0012345,1.02", true },
        { ReplyCode::Identity, kMain, "Maker Inc., Load 300W,0,v2.1\r\n", true },
        { ReplyCode::Identity, kMain, "KELVARON", false },
        { ReplyCode::Identity, kMain, "KELVARON,4410\x01", false },
        { ReplyCode::Identity, kMain, "11.94V,1.000A,11.94W", false },
        { ReplyCode::Identity, kMain, "12.55 V,0.300 A,125s,0.010Ah", false },
        { ReplyCode::Identity, kMain, "L3:2,1,2,0", false },
        { ReplyCode::Identity, kMain, "curr,0.100,0.300,", false },
        { ReplyCode::Identity, kMain, "1.000,10ms", false },
    };
    for (const FitCase& c : cases) {
        const QString reply = QString::fromLatin1(c.reply.data(), static_cast<qsizetype>(c.reply.size()));
        SCOPED_TRACE("code " + std::to_string(CodeNumber(c.code)) + " " + QuotedReply(reply).toStdString());
        EXPECT_EQ(FitsShape(c.code, c.layout, reply), c.fits);
        if (c.fits)
            FitsNoOtherFamily(c, reply);
    }
}

// The family of each code, and the operator's message naming what was awaited.
TEST(ReplyShapes, EachCodeBelongsToOneFamilyAndIsToldAsIt)
{
    const struct
    {
        ReplyCode code;
        MeasurementLayout layout;
        ShapeFamily family;
        const char* told;
    } cases[] = {
        { ReplyCode::None, kMain, ShapeFamily::None, "no reply" },
        { static_cast<ReplyCode>(3), kMain, ShapeFamily::None, "no reply" },
        { ReplyCode::Verbatim, kMain, ShapeFamily::Anything, "any reply" },
        { ReplyCode::Identity, kMain, ShapeFamily::Identity, "\"MAKER,MODEL,SERIAL,VERSION\"" },
        { ReplyCode::CurrentSetPoint, kMain, ShapeFamily::Number, "a number with the unit \"A\"" },
        { ReplyCode::VoltageLimit, kMain, ShapeFamily::Number, "a number with the unit \"V\"" },
        { ReplyCode::PowerLimit, kMain, ShapeFamily::Number, "a number with the unit \"W\"" },
        { ReplyCode::ResistanceSetPoint, kMain, ShapeFamily::Number, "a number with the unit \"R\"" },
        { ReplyCode::AutoOffDelay, kMain, ShapeFamily::Number, "a whole number followed by the unit \"s\"" },
        { ReplyCode::BatteryCurrent, kMain, ShapeFamily::Number, "a number followed by the unit \"A\"" },
        { ReplyCode::BatteryCutOff, kMain, ShapeFamily::Number, "a number followed by the unit \"V\"" },
        { ReplyCode::ListSteps, kMain, ShapeFamily::Number, "a whole number" },
        { ReplyCode::Sense, kMain, ShapeFamily::Word, "letters" },
        { ReplyCode::ListRepeat, kMain, ShapeFamily::Word, "letters" },
        { ReplyCode::TransientLevelB, kMain, ShapeFamily::LevelWidth, "\"1.000,10ms\"" },
        { StepLevelCode(0), kMain, ShapeFamily::StepLevel, "\"0.200,5s\"" },
        { StepLevelCode(14), kMain, ShapeFamily::StepLevel, "\"0.200,5s\"" },
        { StepCompareCode(0), kMain, ShapeFamily::StepCompare, "\"curr,0.100,0.300,\"" },
        { StepCompareCode(14), kMain, ShapeFamily::StepCompare, "\"curr,0.100,0.300,\"" },
        { StepCompareCode(15), kMain, ShapeFamily::None, "no reply" },
        { ReplyCode::Measurement, kMain, ShapeFamily::Measurement, "\"11.94V,1.000A,11.94W\"" },
        { ReplyCode::Measurement, kBattery, ShapeFamily::Measurement, "\"12.55 V,0.300 A,125s,0.010Ah\"" },
        { ReplyCode::Measurement, kList, ShapeFamily::Measurement, "\"L2\"" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(CodeNumber(c.code));
        EXPECT_EQ(FamilyOf(c.code), c.family);
        const QString told = ExpectedShape(c.code, c.layout);
        EXPECT_TRUE(told.contains(QLatin1String(c.told))) << told.toStdString();
    }
}

TEST(ReplyShapes, OverlapWithinAFamilyOrWithATypedCommand)
{
    const struct
    {
        ReplyCode a;
        ReplyCode b;
        bool overlap;
    } cases[] = {
        { ReplyCode::CurrentSetPoint, ReplyCode::CurrentSetPoint, true },
        { ReplyCode::CurrentSetPoint, ReplyCode::ListSteps, true }, // "1" answers both
        { ReplyCode::AutoOffDelay, ReplyCode::VoltageLimit, true },
        { ReplyCode::Sense, ReplyCode::ListRepeat, true }, // "ON" answers both
        { StepLevelCode(0), StepLevelCode(14), true },
        { StepCompareCode(2), StepCompareCode(5), true },
        { ReplyCode::TransientLevelA, ReplyCode::TransientLevelB, true },
        { ReplyCode::Measurement, ReplyCode::Measurement, true },
        { ReplyCode::Measurement, StepLevelCode(3), true }, // "0.200,10000s" cuts as a Main reading
        { ReplyCode::Verbatim, ReplyCode::Measurement, true },
        { ReplyCode::Sense, ReplyCode::Verbatim, true },
        { ReplyCode::Verbatim, ReplyCode::Verbatim, true },
        { ReplyCode::CurrentSetPoint, ReplyCode::Sense, false },
        { ReplyCode::Measurement, ReplyCode::CurrentSetPoint, false },
        { ReplyCode::TransientLevelA, StepLevelCode(0), false },
        { StepLevelCode(0), StepCompareCode(0), false },
        { ReplyCode::Sense, StepCompareCode(0), false },
        { ReplyCode::None, ReplyCode::None, false },
        { ReplyCode::None, ReplyCode::Verbatim, false },
        { ReplyCode::None, ReplyCode::CurrentSetPoint, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(CodeNumber(c.a)) + " and " + std::to_string(CodeNumber(c.b)));
        EXPECT_EQ(ShapesOverlap(c.a, c.b), c.overlap);
        EXPECT_EQ(ShapesOverlap(c.b, c.a), c.overlap);
    }
}

} // namespace
