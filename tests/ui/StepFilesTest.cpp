// The step editor saved to and loaded from a list program file: what was saved comes
// back, and a file that is no list program is refused without touching the editor.
#include "WindowFixture.h"

#include "ui/StepFiles.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>

namespace {

class StepFilesTest : public WindowTest
{
protected:
    // Every field of the editor, to see whether anything changed.
    QStringList EditorTexts() const
    {
        QStringList texts { form->ListSetNum->currentText(), form->StepAuto->isChecked() ? "auto" : "trig",
            form->StepRepeatY->isChecked() ? "repeat" : "once" };
        for (size_t n = 0; n < kListSteps; ++n)
            texts << form->ModeStep[n]->currentText() << form->ValStep[n]->text()
                  << form->DelayStep[n]->text() << form->ListC[n]->currentText() << form->LmtLStep[n]->text()
                  << form->LmtHStep[n]->text();
        return texts;
    }

    QTemporaryDir dir;
};

TEST_F(StepFilesTest, SavedStepsLoadBackIntoTheEditor)
{
    form->ListSetNum->setCurrentText(QStringLiteral("12"));
    form->StepTrig->setChecked(true);
    form->StepRepeatY->setChecked(true);
    for (size_t n = 0; n < kListSteps; ++n) {
        form->ModeStep[n]->setCurrentIndex(static_cast<int>(n % 6));
        form->ListC[n]->setCurrentIndex(static_cast<int>(n % 4));
        form->ValStep[n]->setText(QString::number(n * 1.5));
        form->LmtHStep[n]->setText(QString::number(n + 10));
    }
    const QStringList saved = EditorTexts();
    const QString path = dir.filePath(QStringLiteral("steps.json"));
    ASSERT_TRUE(SaveSteps(*form, path)) << boxes->messages.join(u'\n').toStdString();

    Restart();
    ASSERT_NE(EditorTexts(), saved);
    ASSERT_TRUE(LoadSteps(*form, path)) << boxes->messages.join(u'\n').toStdString();
    EXPECT_EQ(EditorTexts(), saved);
    // A SHORT step takes no level: its fields are greyed as when chosen by hand.
    EXPECT_FALSE(form->ValStep[4]->isEnabled());
}

TEST_F(StepFilesTest, RefusalsLeaveTheEditorAndTheFileAlone)
{
    const QString bad = dir.filePath(QStringLiteral("bad.json"));
    QFile file(bad);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{ \"steps\": 3,\n  \"stepping\": \"auto\",\n  \"repeat\": maybe }");
    file.close();
    const QStringList before = EditorTexts();
    const struct
    {
        std::function<bool()> act;
        const char* message;
    } cases[] = {
        { [&] { return LoadSteps(*form, bad); }, "\"bad.json\" is no list program. Line 3:" },
        { [&] { return LoadSteps(*form, dir.filePath(QStringLiteral("missing.json"))); },
            "could not be read" },
        { [&] {
             form->LmtLStep[2]->setText(QStringLiteral("0,1"));
             return SaveSteps(*form, bad);
         },
            "Step 2, \"Limit Low\": a number such as 12.5 is needed, not \"0,1\"" },
        { [&] {
             form->LmtLStep[2]->setText(QStringLiteral("0.1"));
             return SaveSteps(*form, dir.filePath(QStringLiteral("no/such/folder/steps.json")));
         },
            "could not be saved" },
    };
    for (const auto& c : cases) {
        boxes->messages.clear();
        EXPECT_FALSE(c.act());
        ASSERT_EQ(boxes->messages.size(), 1);
        EXPECT_TRUE(boxes->messages[0].contains(QLatin1String(c.message)))
            << boxes->messages[0].toStdString();
    }
    EXPECT_EQ(EditorTexts(), before);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("maybe")) << "a refused save must not replace the file";
}

} // namespace
