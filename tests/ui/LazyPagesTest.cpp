// The pages other than Main are built when first shown or first needed: nothing the
// operator set, the instrument reported or the last window remembered may be lost on a
// page that did not exist yet, and a page built late works as one built at start. What the
// first paint does not need stays off its path, and the style draws what it no longer reads
// from images.
#include "WindowFixture.h"
#include "ui/WindowSettings.h"

#include "ui/ClassicMetricsStyle.h"

#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

namespace {

class LazyPagesTest : public WindowTest
{
protected:
    LazyPagesTest() { buildAllPages = false; }

    QStringList MenuEntries(const char* menuName) const
    {
        QStringList entries;
        auto* menu = form->menuBar()->findChild<QMenu*>(QLatin1String(menuName));
        for (const QAction* action : menu->actions())
            entries.append(action->isSeparator() ? QStringLiteral("|") : action->text());
        return entries;
    }
};

TEST_F(LazyPagesTest, ShowingAPageBuildsItWithItsControlsVisibleOnce)
{
    const struct
    {
        int index;
        std::vector<const char*> controls;
    } pages[] = {
        { 1, { "startButtonB", "Chart1", "DBGrid2", "BChargeI", "LabelBElapsed" } },
        { 2, { "startButtonL", "DBGrid1", "ScrollBox1", "ValStep14", "ListR3" } },
        { 3, {} },
        { 4, { "Image1", "Label73" } },
    };
    for (const auto& page : pages) {
        QWidget* sheet = form->PageControl1->widget(page.index);
        for (const char* name : page.controls)
            EXPECT_EQ(form->findChild<QWidget*>(name), nullptr) << name << " exists before its page is shown";
        form->PageControl1->setCurrentIndex(page.index);
        ASSERT_TRUE(sheet->isVisible());
        EXPECT_FALSE(sheet->findChildren<QWidget*>().isEmpty()) << page.index;
        for (const char* name : page.controls) {
            QWidget* control = form->findChild<QWidget*>(name);
            ASSERT_NE(control, nullptr) << name;
            EXPECT_TRUE(control->isVisible()) << name;
            EXPECT_FALSE(control->toolTip().isEmpty()) << name;
        }
        const int built = sheet->findChildren<QObject*>().size();
        form->PageControl1->setCurrentIndex(0);
        form->PageControl1->setCurrentIndex(page.index);
        EXPECT_EQ(sheet->findChildren<QObject*>().size(), built) << page.index << " built twice";
    }
    // A page built late follows the session's state like the rest.
    EXPECT_EQ(form->startButtonB->text(), QStringLiteral("Start"));
    EXPECT_FALSE(form->startButtonB->isEnabled());
    EXPECT_FALSE(form->StepButton[0]->isEnabled());
    EXPECT_FALSE(form->Image1->pixmap().isNull());
}

TEST_F(LazyPagesTest, AButtonOfAPageBuiltLateRunsItsHandlerOnce)
{
    OpenQuietly();
    form->ShowPage(1);
    form->BChargeI->clear();
    form->BSetButton->click();
    EXPECT_EQ(boxes->messages.count(QStringLiteral("Discharge Current: input data cannot be empty!")), 1)
        << boxes->messages.join(u'\n').toStdString();
    // Its decimal fields take a comma as the decimal point, as the Main page's do.
    form->BOffV->clear();
    TypeKeys(form->BOffV, QStringLiteral("1,5x"));
    EXPECT_EQ(form->BOffV->text(), QStringLiteral("1.5"));
}

TEST_F(LazyPagesTest, ReadBackFillsFieldsOfPagesNotShownYet)
{
    ReadBackResult readBack;
    readBack.texts = { { QStringLiteral("BOffV"), QStringLiteral("7.25") },
        { QStringLiteral("ValStep3"), QStringLiteral("1.5") } };
    Session().OnReadBack(&Session(), readBack);
    ASSERT_NE(form->BOffV, nullptr);
    EXPECT_EQ(form->BOffV->text(), QStringLiteral("7.25"));
    ASSERT_NE(form->ValStep[3], nullptr);
    EXPECT_EQ(form->ValStep[3]->text(), QStringLiteral("1.5"));
}

TEST_F(LazyPagesTest, RememberedFieldsOfPagesBuiltLaterAreShownAndKept)
{
    {
        const std::unique_ptr<QSettings> settings = OpenWindowSettings();
        settings->clear();
        settings->setValue(QStringLiteral("controls/AdrValue"), QStringLiteral("5"));
        settings->setValue(QStringLiteral("controls/BChargeI"), QStringLiteral("1.75"));
        settings->setValue(QStringLiteral("controls/ValStep3"), QStringLiteral("2.5"));
        settings->setValue(QStringLiteral("controls/StepTrig"), QStringLiteral("1"));
    }
    form->RememberSettings();
    EXPECT_EQ(form->AdrValue->text(), QStringLiteral("5"));
    form->ShowPage(1);
    EXPECT_EQ(form->BChargeI->text(), QStringLiteral("1.75"));
    form->BChargeI->setText(QStringLiteral("0.5"));
    // Closed without the list page ever built: its remembered fields stay for the next start.
    ASSERT_TRUE(form->close());
    const std::unique_ptr<QSettings> settings = OpenWindowSettings();
    EXPECT_EQ(settings->value(QStringLiteral("controls/BChargeI")).toString(), QStringLiteral("0.5"));
    EXPECT_EQ(settings->value(QStringLiteral("controls/ValStep3")).toString(), QStringLiteral("2.5"));
    EXPECT_EQ(settings->value(QStringLiteral("controls/StepTrig")).toString(), QStringLiteral("1"));

    Restart();
    form->RememberSettings();
    form->BuildAllPages();
    EXPECT_EQ(form->BChargeI->text(), QStringLiteral("0.5"));
    EXPECT_EQ(form->ValStep[3]->text(), QStringLiteral("2.5"));
    EXPECT_TRUE(form->StepTrig->isChecked());
}

TEST_F(LazyPagesTest, OpeningAMenuAddsThePagesEntriesInTheirPlacesOnce)
{
    EXPECT_EQ(MenuEntries("FileMenu"), (QStringList { "|", "|", "&Quit" }));
    for (int opened = 0; opened < 2; ++opened) {
        Q_EMIT form->menuBar()->findChild<QMenu*>(QStringLiteral("FileMenu"))->aboutToShow();
        EXPECT_EQ(MenuEntries("FileMenu"),
            (QStringList { "Export battery results to CSV…", "Export list results to CSV…", "Save chart as",
                "|", "Load list program…", "Save list program…", "|", "&Quit" }));
        EXPECT_EQ(MenuEntries("ViewMenu"), (QStringList { "&Traffic console", "Whole run" }));
        EXPECT_EQ(MenuEntries("BatteryMenu"),
            (QStringList { "Profile…", "Analysis of the battery run…", "Export battery results to BDF…",
                "Battery run report…" }));
    }
    EXPECT_NE(form->DBGrid2, nullptr);
    EXPECT_NE(form->GroupBox8, nullptr);
}

// What the first look at the window needs, and nothing else: each of these, loaded on the way
// to the first paint, cost the start-up milliseconds.
TEST(StartUpTest, TheFirstPaintLoadsNoImagePluginNorMqttNorResultsStore)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QProcess window;
    window.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("files"));
    window.setProcessEnvironment(env);
    window.start(QStringLiteral(DCLOAD_EXE), { QStringLiteral("--exit-after-first-paint") });
    ASSERT_TRUE(window.waitForFinished(60000));
    ASSERT_EQ(window.exitCode(), 0);
    const QString loaded = QString::fromLocal8Bit(window.readAllStandardError());
    ASSERT_TRUE(loaded.contains(u"libqoffscreen")) << "the loader's trace is missing";
    const struct
    {
        const char* what;
        const char* library;
    } late[] = {
        { "an image format plugin", "/imageformats/" },
        { "libmosquitto", "libmosquitto" },
        { "the TLS libraries", "libssl" },
        { "the SQL driver", "/sqldrivers/" },
    };
    for (const auto& l : late)
        EXPECT_FALSE(loaded.contains(QLatin1String(l.library))) << l.what << " is loaded before the first paint";
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("db.sqlite")))) << "the results file is opened before the first paint";
}

// The frames and the arrow the style draws without reading images still look as they should.
TEST(ClassicStyleTest, GroupBoxFramesAreDrawnAndTheOverflowArrowIsReadWhenDrawn)
{
    ClassicMetricsStyle style;
    for (const QStyle::StandardPixmap arrow :
        { QStyle::SP_ToolBarHorizontalExtensionButton, QStyle::SP_ToolBarVerticalExtensionButton }) {
        SCOPED_TRACE(arrow);
        const QImage drawn = style.standardIcon(arrow).pixmap(16, 16).toImage();
        const QImage read = style.baseStyle()->standardIcon(arrow).pixmap(16, 16).toImage();
        ASSERT_FALSE(read.isNull());
        EXPECT_EQ(drawn, read);
    }

    const struct
    {
        const char* title;
        int frameTop; // the first row of the frame's left edge
    } boxes[] = { { "", 3 }, { "Load Setup", 0 } };
    for (const auto& b : boxes) {
        SCOPED_TRACE(b.title);
        QGroupBox box(QString::fromLatin1(b.title));
        box.setStyle(&style);
        box.resize(120, 80);
        const QImage image = box.grab().toImage();
        const QColor background = image.pixelColor(60, 40);
        // The left edge is drawn, dark, from below the title down to the bottom.
        const int top = b.frameTop > 0 ? b.frameTop : box.fontMetrics().height() + 3;
        for (const int y : { top + 2, 40, 75 })
            EXPECT_LT(image.pixelColor(0, y).lightness(), background.lightness()) << "row " << y;
        // Above the frame lies the title's row, not a line.
        EXPECT_EQ(image.pixelColor(0, top - 2), background);
    }
}

} // namespace
