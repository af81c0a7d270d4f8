// The range rule and the empty-field rule with the texts the operator reads, in the C
// locale and again under a German locale, whose decimal comma must never appear; and the
// field each refusal names.
#include "WindowFixture.h"

#include "replies/Numbers.h"
#include "workflows/InputRules.h"
#include "workflows/OperatorMessages.h"

#include <QLineEdit>
#include <QLocale>
#include <clocale>

namespace {

struct RangeCase
{
    float value;
    float maximum;
    int result;
    const char* message; // nullptr: accepted, nothing shown
};

const RangeCase kRangeCases[] = {
    { 12.0f, 10.0f, 1, "The input value 12.000 exceeds the maximum of 10.000!" },
    { 10.0f, 10.0f, 2, nullptr },
    { 10.5f, 10.0f, 1, "The input value 10.500 exceeds the maximum of 10.000!" },
    // Four significant digits leave 10.00 of 10.001.
    { 10.001f, 10.0f, 1, "The input value 10.000 exceeds the maximum of 10.000!" },
    { 9.999f, 10.0f, 2, nullptr },
    { 4000.0f, 4000.0f, 2, nullptr },
    { 4000.5f, 4000.0f, 1, nullptr },
    { 1234.56f, 1000.0f, 1, "The input value 1235.000 exceeds the maximum of 1000.000!" },
    { 0.1234f, 0.1f, 1, "The input value 0.123 exceeds the maximum of 0.100!" },
    // Before any maximum is known: nothing positive passes, zero does.
    { 0.3f, 0.0f, 1, "The input value 0.300 exceeds the maximum of 0.000!" },
    { 0.0f, 0.0f, 2, nullptr },
};

class LocaleGuard
{
public:
    explicit LocaleGuard(bool german)
    {
        if (!german)
            return;
        FActive = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }
    ~LocaleGuard()
    {
        std::setlocale(LC_ALL, "C");
        QLocale::setDefault(QLocale::c());
    }
    bool CLibrarySwitched() const { return FActive; }

private:
    bool FActive = false;
};

class RangeRuleTest : public WindowTest, public ::testing::WithParamInterface<bool>
{
};

} // namespace

TEST_P(RangeRuleTest, RefusesOnlyAboveTheMaximumWithTheMessage)
{
    LocaleGuard locale(GetParam());
    if (GetParam()) {
        ASSERT_TRUE(locale.CLibrarySwitched()) << "de_DE.UTF-8 missing: run scripts/deps";
    }
    for (const RangeCase& c : kRangeCases) {
        SCOPED_TRACE(std::to_string(c.value) + " vs " + std::to_string(c.maximum));
        boxes->Clear();
        EXPECT_EQ(form->dataRuleCheck(c.value, c.maximum), c.result);
        if (c.result == 2) {
            EXPECT_TRUE(boxes->messages.isEmpty());
            continue;
        }
        ASSERT_EQ(boxes->messages.size(), 1);
        if (c.message)
            EXPECT_EQ(boxes->messages.front(), c.message);
        else
            EXPECT_TRUE(boxes->messages.front().endsWith("exceeds the maximum of 4000.000!"))
                << boxes->messages.front().toStdString();
    }
}

TEST_P(RangeRuleTest, FormatsWithAPointAndNoGrouping)
{
    LocaleGuard locale(GetParam());
    const std::pair<float, const char*> cases[] = { { 12.0f, "12.000" }, { 0.1234f, "0.123" },
        { 10.001f, "10.000" }, { 0.0f, "0.000" }, { 0.00004f, "0.000" }, { 1234.56f, "1235.000" },
        { 4000.0f, "4000.000" }, { 99.99f, "99.990" }, { 99.995f, "100.000" } };
    for (const auto& [value, text] : cases)
        EXPECT_EQ(FormatRangeValue(value), text) << value;
}

INSTANTIATE_TEST_SUITE_P(Locales, RangeRuleTest, ::testing::Values(false, true),
    [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "German" : "C"; });

TEST(InputRules, EmptyFieldRuleCountsOnlyAnEmptyText)
{
    struct Told : IOperatorMessages
    {
        QStringList messages;
        void Tell(const QString& message) override { messages << message; }
    };
    const std::pair<const char*, bool> cases[]
        = { { "", true }, { " ", false }, { "0", false }, { ".", false } };
    for (const auto& [text, refused] : cases) {
        Told told;
        EXPECT_EQ(RefuseEmpty(QString::fromLatin1(text), told), refused) << '"' << text << '"';
        EXPECT_EQ(told.messages, refused ? QStringList { "Input data cannot be empty!" } : QStringList {});
    }
}

TEST(InputRules, WhichCharactersEachFilterLetsThrough)
{
    const std::tuple<char16_t, bool, bool> cases[] = {
        // character, decimal filter, whole-number filter
        { u'0', true, true }, { u'9', true, true }, { u'.', true, false }, { 8, true, true },
        { 13, true, true }, { u',', false, false }, { u'-', false, false }, { u'+', false, false },
        { u'e', false, false }, { u' ', false, false }, { u'/', false, false }, { u':', false, false },
        { 22, false, false }, { 10, false, false }, { 127, false, false },
        { u'\u0661', false, false }, // a digit of another script is not a number here
    };
    for (const auto& [key, decimal, whole] : cases) {
        EXPECT_EQ(IsDecimalKey(QChar(key)), decimal) << int(key);
        EXPECT_EQ(IsWholeNumberKey(QChar(key)), whole) << int(key);
    }
}

// A refused entry is named by the caption the window shows beside its field, so the
// operator knows which of several fields to mend; nothing of the refused action is queued.
using FieldMessages = WithPortTest;

TEST_F(FieldMessages, EachRefusalNamesItsFieldByItsCaption)
{
    const struct
    {
        const char* message;
        std::function<void()> act;
    } cases[] = {
        { "Max. Power: input data cannot be empty!",
            [&] {
                form->MaxP->clear();
                form->fuZaiButton->click();
            } },
        { "Off Voltage: input data must be a number such as 12.5!",
            [&] {
                form->MinVOff->setText("1..2");
                form->fuZaiButton->click();
            } },
        { "Auto Delay Off: input data cannot be empty!",
            [&] {
                form->AutoOff->clear();
                form->fuZaiButton->click();
            } },
        { "P-SET: the input value 200.000 exceeds the maximum of 150.000!",
            [&] {
                Session().Maxima().power = 150;
                form->loadP->click();
                form->PSet->setText("200");
                form->modeButton->click();
            } },
        { "Level A: input data cannot be empty!",
            [&] {
                form->loadD->click();
                form->TranA0->clear();
                form->modeButton->click();
            } },
        { "Width B: input data must be a whole number from 0 to 60000!",
            [&] {
                form->loadD->click();
                form->TranB1->setText("70000");
                form->modeButton->click();
            } },
        { "File Nr: input data must be a whole number from 0 to 9!",
            [&] {
                form->FileNo->setEditText("12");
                form->LoadFile->click();
            } },
        { "Address: input data must be a whole number from 0 to 254!",
            [&] {
                Session().Close();
                form->AdrValue->setText("300");
                form->combutton->click();
            } },
        { "Value of step 0: input data cannot be empty!",
            [&] {
                Session().SetArmed(Activity::List, true);
                form->ValStep[0]->clear();
                form->StepButton[0]->click();
            } },
        { "Delay Time of step 1: input data must be a number such as 12.5!",
            [&] {
                Session().SetArmed(Activity::List, true);
                form->DelayStep[1]->setText("5s");
                form->StepButton[1]->click();
            } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        Restart();
        c.act();
        EXPECT_EQ(boxes->messages, QStringList { c.message });
        EXPECT_EQ(PendingTexts(*form), QStringList {});
    }
}
