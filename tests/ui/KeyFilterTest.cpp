// The key filters as the operator meets them: real key presses sent to the named edits.
#include "WindowFixture.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>

namespace {

QLineEdit* Cleared(QLineEdit* edit)
{
    edit->clear();
    edit->setFocus();
    return edit;
}

// Every edit that carries a filter; the step rows from 3 on have none.
const char* const kFilteredEdits[] = { "ISet", "VSet", "PSet", "RSet", "MaxV", "MaxI", "MaxP", "MinVOn",
    "MinVOff", "AutoOff", "TranA0", "TranB0", "TranA1", "TranB1", "AdrValue", "BChargeI", "BOffV",
    "testInteral", "ValStep0", "ValStep1", "ValStep2", "DelayStep0", "DelayStep1", "DelayStep2", "LmtHStep0",
    "LmtHStep1", "LmtHStep2", "LmtLStep0", "LmtLStep1", "LmtLStep2" };
const char* const kWholeNumberEdits[] = { "TranA1", "TranB1", "AdrValue" };

} // namespace

TEST_F(WindowTest, TypedCharactersPassOrAreSwallowedByEachEditsFilter)
{
    struct Case
    {
        const char* edit;
        const char* typed;
        const char* shown;
    };
    const Case cases[] = {
        { "ISet", "a", "" },
        { "ISet", "-", "" },
        { "ISet", ",", "." }, // the decimal comma is the decimal point
        { "ISet", "1,5", "1.5" },
        { "ISet", " ", "" },
        { "ISet", "1.5", "1.5" },
        // One character at a time: a second point is not the filter's business.
        { "ISet", "1..5", "1..5" },
        { "RSet", "4000e1", "40001" },
        { "TranA1", ".", "" },
        { "TranA1", "1.5", "15" },
        { "TranB1", "2,5", "25" },
        { "AdrValue", "1a2", "12" },
        { "MaxV", "12.5V", "12.5" },
        // Reads whole seconds later, yet shares the cut-off voltage's decimal filter.
        { "testInteral", "2.5", "2.5" },
        { "ValStep2", "abc", "" },
        { "LmtLStep0", "x0.1", "0.1" },
        { "ValStep3", "abc", "abc" },
        { "DelayStep14", "5 s", "5 s" },
        { "LmtHStep3", "-1,5", "-1.5" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.edit) + " <- \"" + c.typed + "\"");
        QLineEdit* edit = Cleared(Find<QLineEdit>(c.edit));
        ASSERT_NE(edit, nullptr);
        TypeKeys(edit, c.typed);
        EXPECT_EQ(edit->text(), c.shown);
    }
}

// A decimal comma pasted into any decimal field is its decimal point; one pasted into a
// whole-number field is left for the entry's own check to refuse.
TEST_F(WindowTest, PastedDecimalCommasBecomePoints)
{
    const std::pair<const char*, const char*> cases[] = { { "ISet", "1.5" }, { "BOffV", "1.5" },
        { "ValStep0", "1.5" }, { "LmtHStep14", "1.5" }, { "TranA1", "1,5" } };
    for (const auto& [name, shown] : cases) {
        SCOPED_TRACE(name);
        QLineEdit* edit = Cleared(Find<QLineEdit>(name));
        QApplication::clipboard()->setText(QStringLiteral("1,5"));
        edit->paste();
        EXPECT_EQ(edit->text(), QLatin1String(shown));
    }
}

TEST_F(WindowTest, EditingKeysWorkInEveryFilteredEdit)
{
    for (const char* name : kFilteredEdits) {
        SCOPED_TRACE(name);
        QLineEdit* edit = Find<QLineEdit>(name);
        ASSERT_NE(edit, nullptr);
        edit->setText("123");
        edit->setCursorPosition(3);
        PressKey(edit, Qt::Key_Backspace, "\b");
        EXPECT_EQ(edit->text(), "12");
        PressKey(edit, Qt::Key_Home);
        // X11 attaches DEL (127) to the Delete key; it is still an editing key.
        PressKey(edit, Qt::Key_Delete, "\x7f");
        EXPECT_EQ(edit->text(), "2");
        PressKey(edit, Qt::Key_Right);
        PressKey(edit, Qt::Key_7, "7");
        EXPECT_EQ(edit->text(), "27");
        PressKey(edit, Qt::Key_Return, "\r");
        EXPECT_EQ(edit->text(), "27");
    }
}

TEST_F(WindowTest, CtrlVIsSwallowedByFilteredEditsOnly)
{
    // Digits on the clipboard would pass the filter if pasted; Ctrl+V (code 22) must not.
    // Platforms differ in the text they attach: the control code itself, or the letter.
    QGuiApplication::clipboard()->setText("987");
    for (const char* name : { "ISet", "AdrValue", "ValStep0" }) {
        for (const QString& text : { QString("\x16"), QString("v"), QString() }) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(text.size()));
            QLineEdit* edit = Cleared(Find<QLineEdit>(name));
            PressKey(edit, Qt::Key_V, text, Qt::ControlModifier);
            EXPECT_EQ(edit->text(), "");
        }
    }
    QLineEdit* unfiltered = Cleared(Find<QLineEdit>("ValStep3"));
    PressKey(unfiltered, Qt::Key_V, "\x16", Qt::ControlModifier);
    EXPECT_EQ(unfiltered->text(), "987");
}

TEST_F(WindowTest, WholeNumberEditsRefuseThePointDecimalEditsTakeIt)
{
    for (const char* name : kFilteredEdits) {
        const bool whole = std::find_if(std::begin(kWholeNumberEdits), std::end(kWholeNumberEdits),
                               [&](const char* w) { return QString(w) == name; })
            != std::end(kWholeNumberEdits);
        QLineEdit* edit = Cleared(Find<QLineEdit>(name));
        TypeKeys(edit, "0.5");
        EXPECT_EQ(edit->text(), whole ? "05" : "0.5") << name;
    }
}

TEST_F(WindowTest, TabStillMovesTheFocusOutOfAFilteredEdit)
{
    QLineEdit* edit = Cleared(form->MaxV);
    ASSERT_EQ(form->focusWidget(), edit);
    PressKey(edit, Qt::Key_Tab, "\t");
    EXPECT_EQ(edit->text(), "");
    EXPECT_NE(form->focusWidget(), edit);
}
