// Cutting the three layouts of the measurement reply, and the locale-proof numbers.
#include "replies/MeasurementCuts.h"
#include "replies/Numbers.h"
#include "replies/TextCuts.h"

#include <QLocale>
#include <clocale>
#include <gtest/gtest.h>
#include <string_view>

using namespace std::literals;

namespace {

TEST(TextCuts, NeverFailAtTheEdges)
{
    EXPECT_EQ(CopyText("abc", 0, 2), "ab");
    EXPECT_EQ(CopyText("abc", -5, 2), "ab");
    EXPECT_EQ(CopyText("abc", 2, -1), "");
    EXPECT_EQ(CopyText("abc", 3, 10), "c");
    EXPECT_EQ(CopyText("abc", 4, 1), "");
    EXPECT_EQ(FirstChars("ab", 5), "ab");
    EXPECT_EQ(TextBefore("5", u's'), "");
    EXPECT_EQ(RestAfterComma("abc"), "abc");
    EXPECT_EQ(RestAfterComma("a,"), "");
    EXPECT_EQ(FieldBeforeComma("abc", 2), "");
    EXPECT_EQ(FieldBeforeComma(",x", 2), "");
}

TEST(MainReading, CutsVoltageCurrentAndPower)
{
    struct Case
    {
        const char* reply;
        const char* v;
        const char* i;
        const char* p;
    };
    const Case cases[] = {
        { "12.34,1.111", "12.34", "1.111", "13.70" }, // 13.70974 cut, not rounded
        { "12.34V,1.111A,13.71W", "12.34", "1.111", "13.70" },
        { "12.00V,0.000A,0.000W", "12.00", "0.000", "0.000" }, // the product prints as 0
        { "1.000V,1.000A", "1.000", "1.000", "1" },
        { "0.100V,0.100A", "0.100", "0.100", "0.01" },
        { "5.000V,0.001A", "5.000", "0.001", "0.005" },
        { "11.94V,1.000A,11.94W\r\n", "11.94", "1.000", "11.94" },
    };
    for (const Case& c : cases) {
        const MainReading r = CutMainReading(c.reply);
        EXPECT_EQ(r.voltage, c.v) << c.reply;
        EXPECT_EQ(r.current, c.i) << c.reply;
        EXPECT_EQ(PowerText(r), c.p) << c.reply;
    }
}

// A reply without its current is no reading: its voltage is never shown as the current too.
TEST(MainReading, RefusesAReplyWithoutItsCurrent)
{
    const struct
    {
        const char* reply;
        bool cutShort;
        const char* says;
    } cases[] = {
        { "12.345 V 1.000 A", false, "\"12.345 V 1.000 A\" holds no current." },
        { "12.34xyz,", false, "holds no current" },
        { "1.2", true, "cut short before its current" },
        { "11.94V", true, "cut short before its current" },
        { "11.94 V", true, "cut short before its current" },
        { "11.94V,", true, "cut short before its current" },
        { "11.94V,1", true, "cut short inside its current" },
        { "11.94V,1.00\r\n", true, "cut short inside its current" },
        { "zzzzz", false, "no valid voltage" },
        { "12.34,zz", false, "no valid current" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        try {
            CutMainReading(QString::fromLatin1(c.reply));
            ADD_FAILURE() << "accepted";
        } catch (const EBadReading& e) {
            EXPECT_EQ(e.CutShort(), c.cutShort);
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

// Each field is read by its unit, whatever the number of digits.
TEST(BatteryReading, CutsFourFieldsEachByItsUnit)
{
    const struct
    {
        const char* reply;
        const char *v, *i, *t, *c;
        double volts, amps;
        int seconds;
        double ampereHours;
    } cases[] = {
        { "12.55 V,0.300 A,125s,0.010Ah", "12.55", "0.300", "125", "0.010", 12.55, 0.3, 125, 0.01 },
        { "12.34 V,0.300 A,125s,0.010Ah\r\n", "12.34", "0.300", "125", "0.010", 12.34, 0.3, 125, 0.01 },
        { "12.55V,0.300A,125s,0.010Ah", "12.55", "0.300", "125", "0.010", 12.55, 0.3, 125, 0.01 },
        { "12.55 V,0.300 A,125 s,1.23Ah", "12.55", "0.300", "125", "1.23", 12.55, 0.3, 125, 1.23 },
        { "123.456 V,10 A,0s,12.345 Ah", "123.456", "10", "0", "12.345", 123.456, 10, 0, 12.345 },
        { "01234 V,.5 A,2000000000s,7.Ah", "01234", ".5", "2000000000", "7.", 1234, 0.5, 2000000000, 7 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        const BatteryReading r = CutBatteryReading(QString::fromLatin1(c.reply));
        EXPECT_EQ(r.voltage, c.v);
        EXPECT_EQ(r.current, c.i);
        EXPECT_EQ(r.time, c.t);
        EXPECT_EQ(r.capacity, c.c);
        EXPECT_DOUBLE_EQ(r.voltageValue, c.volts);
        EXPECT_DOUBLE_EQ(r.currentValue, c.amps);
        EXPECT_EQ(r.seconds, c.seconds);
        EXPECT_DOUBLE_EQ(r.capacityValue, c.ampereHours);
    }
}

// A reply that ends early (a pause split it) is told from one that is wrong.
TEST(BatteryReading, RefusesWhatIsCutShortOrNoNumberNamingTheField)
{
    const struct
    {
        std::string_view reply;
        bool cutShort;
        const char* says;
    } cases[] = {
        { "", true, "before its voltage" },
        { "12.3", true, "before its voltage" },
        { "12.34 ", true, "before its voltage" },
        { "12.34 V", true, "before its current" },
        { "12.34 V,", true, "before its current" },
        { "12.34 V,0.3", true, "before its current" },
        { "12.34 V,0.300 A,12", true, "before its time" },
        { "12.34 V,0.300 A,125 ", true, "before its time" },
        { "12.34 V,0.300 A,125s", true, "before its capacity" },
        { "12.34 V,0.300 A,125s,0.0", true, "before its capacity" },
        { "12.34 V,0.300 A,125s,0.010", true, "before its capacity" },
        { "12.34 V,0.300 A,125s,0.010A", true, "before its capacity" },
        { "12.34 X,0.300 A,125s,0.010Ah", false, "no valid voltage" },
        { "nan V,0.300 A,125s,0.010Ah", false, "no valid voltage" },
        { " 12.34 V,0.300 A,125s,0.010Ah", false, "no valid voltage" },
        { "-12.34 V,0.300 A,125s,0.010Ah", false, "no valid voltage" },
        { "12.34V ,0.300 A,125s,0.010Ah", false, "no valid voltage" },
        { "12.34 V,zzzzz A,125s,0.010Ah", false, "no valid current" },
        { "12.34 V,300mA,125s,0.010Ah", false, "no valid current" }, // never 300 A
        { "12.34 V,300m", false, "no valid current" },
        { "12.34 V,0.300  A,125s,0.010Ah", false, "no valid current" },
        { "12.34 V,0.300 a,125s,0.010Ah", false, "no valid current" },
        { "12.34 V,0.3.0 A,125s,0.010Ah", false, "no valid current" },
        { "12.34 V,0.300 A,-10s,0.010Ah", false, "no valid time" },
        { "12.34 V,0.300 A,1.5s,0.010Ah", false, "no valid time" },
        { "12.34 V,0.300 A,1.", false, "no valid time" },
        { "12.34 V,0.300 A,2000000001s,0.010Ah", false, "no valid time" },
        { "12.34 V,0.300 A,125s,1e300Ah", false, "no valid capacity" },
        { "12.34 V,0.300 A,125s,0.010mAh", false, "no valid capacity" },
        { "12.34 V,0.300 A,125s,0.010Ah\0"sv, false, "no valid capacity" },
        { "12.34 V,0.300 A,125s,0.010Ah ", false, "no valid capacity" },
        { "12.34 V,0.300 A,125s,0.010Ah,", false, "more than its four fields" },
        { "12.34 V,0.300 A,125s,0.010Ah,1.000Wh", false, "more than its four fields" },
    };
    for (const auto& c : cases) {
        const QString reply = QString::fromLatin1(c.reply.data(), static_cast<qsizetype>(c.reply.size()));
        SCOPED_TRACE(QuotedReply(reply).toStdString());
        try {
            CutBatteryReading(reply);
            ADD_FAILURE() << "accepted";
        } catch (const EBadReading& e) {
            EXPECT_EQ(e.CutShort(), c.cutShort);
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(QuotedReply, ShowsControlBytesAndAtMostEightyCharacters)
{
    EXPECT_EQ(QuotedReply(QString::fromLatin1("0.5\0\0\r\n", 7)), "\"0.5\\x00\\x00\\x0D\\x0A\"");
    EXPECT_EQ(QuotedReply(QString(100, u'9')), '"' + QString(80, u'9') + "…\"");
}

TEST(ListReplies, StepReadingsAndVerdicts)
{
    const StepReading r = CutStepReading("L2:3,12.34 V,0.300A,");
    EXPECT_EQ(r.step, "3");
    EXPECT_EQ(r.stepIndex, 3);
    EXPECT_EQ(r.voltage, "12.34");
    EXPECT_EQ(r.current, "0.300");
    const StepReading two = CutStepReading("L213,1.000 V,2.000A,");
    EXPECT_EQ(two.step, "13");
    EXPECT_EQ(two.stepIndex, 13);
    EXPECT_THROW(CutStepReading("L2:x,1.000 V,2.000A,"), EBadReading);
    EXPECT_THROW(CutStepReading("L2:3,nan V,2.000A,"), EBadReading);
    EXPECT_THROW(CutStepReading("L2:3,1.000 V,#$%^A,"), EBadReading);

    const QString verdict = "L3:2,1,2,0";
    EXPECT_EQ(ListVerdict(verdict), 2);
    EXPECT_EQ(StepVerdict(verdict, 0), "1");
    EXPECT_EQ(StepVerdict(verdict, 1), "2");
    EXPECT_EQ(StepVerdict(verdict, 2), "0");
    EXPECT_EQ(StepVerdict(verdict, 3), ""); // missing: empty
}

TEST(Numbers, ConversionsIgnoreTheSystemLocale)
{
    const char* old = std::setlocale(LC_ALL, nullptr);
    const std::string saved = old ? old : "C";
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));

    EXPECT_DOUBLE_EQ(StrToFloat("10.5"), 10.5);
    EXPECT_DOUBLE_EQ(StrToFloat(" 3 "), 3.0);
    EXPECT_THROW(StrToFloat("10,5"), EConvertError);
    EXPECT_THROW(StrToFloat("1,000.5"), EConvertError);
    EXPECT_THROW(StrToFloat("."), EConvertError);
    EXPECT_THROW(StrToFloat("1.2.3"), EConvertError);
    EXPECT_THROW(StrToFloat(""), EConvertError);
    EXPECT_THROW(StrToFloat("inf"), EConvertError);
    EXPECT_EQ(StrToInt("14"), 14);
    EXPECT_THROW(StrToInt("2.5"), EConvertError);
    EXPECT_THROW(StrToInt(""), EConvertError);
    EXPECT_EQ(FloatToStr(13.70974), "13.70974");
    EXPECT_EQ(FloatToStr(0.0), "0");
    EXPECT_EQ(FormatRangeValue(12.0f), "12.000");
    EXPECT_EQ(FormatRangeValue(10.001f), "10.000");
    EXPECT_EQ(FormatRangeValue(0.1234f), "0.123");
    EXPECT_EQ(FormatRangeValue(10.5f), "10.500");

    QLocale::setDefault(QLocale::c());
    std::setlocale(LC_ALL, saved.c_str());
}

} // namespace
