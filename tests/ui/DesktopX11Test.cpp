// What a desktop program owes its operator, tried on a real X server (Xvfb): the close box
// that will not leave the load drawing current, the decimal comma typed as keys, a menu bar
// that reaches every action, and settings that come back after a restart without a word
// to the instrument.
#include "WindowFixture.h"

#include "ui/MessageBoxes.h"
#include "ui/ProfileWindow.h"
#include "ui/TrafficConsole.h"
#include "ui/WindowSettings.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QTabWidget>
#include <QTest>
#include <QUrl>
#include <functional>
#include <map>

namespace {

using DesktopX11Test = WindowTest;

// Catches the URLs the program asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

} // namespace

TEST_F(DesktopX11Test, ClosingWithTheInputOnAsksAndSwitchesOffBeforeTheWindowGoes)
{
    const struct
    {
        QString answer; // empty: the input is off, nothing is asked
        bool closes;
        bool loadOffWritten;
    } cases[] = {
        { QStringLiteral("Switch the input off and close"), true, true },
        { QStringLiteral("Leave the input on and close"), true, false },
        { QStringLiteral("Cancel"), false, false },
        { QString(), true, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.toStdString());
        Restart();
        ConnectTo();
        form->ISet->setText(QStringLiteral("2"));
        form->modeButton->click();
        if (!c.answer.isEmpty()) {
            form->startButton->click();
            ASSERT_TRUE(DrainQueue());
            ASSERT_TRUE(WireLines(*host).contains(QStringLiteral("load on")));
            boxes->answers = { c.answer };
        }
        const qsizetype before = WireLines(*host).size();
        form->close();
        if (c.closes) {
            EXPECT_TRUE(WaitUntil([&] { return !form->isVisible(); }));
        } else {
            EXPECT_TRUE(form->isVisible());
        }
        EXPECT_EQ(boxes->questions.size(), c.answer.isEmpty() ? 0 : 1);
        if (!boxes->questions.isEmpty()) {
            EXPECT_TRUE(boxes->questions[0].endsWith(
                QStringLiteral(" | Switch the input off and close | Leave the input on and close | Cancel")));
        }
        // The simulator saw the switch-off while the window was still there to send it.
        const QStringList after = WireLines(*host).mid(before);
        EXPECT_EQ(after.contains(QStringLiteral("load off")), c.loadOffWritten)
            << after.join(u',').toStdString();
    }
}

// The real box: Enter takes the preferred choice, Escape the way back.
TEST_F(DesktopX11Test, TheQuestionBoxAnswersEnterWithThePreferredAndEscapeWithTheLastChoice)
{
    const std::unique_ptr<IMessageBoxes> real = MakeQtMessageBoxes();
    const Question question { QStringLiteral("Close?"), QStringLiteral("Details"),
        { QStringLiteral("Off and close"), QStringLiteral("On and close"), QStringLiteral("Cancel") }, 0,
        true };
    for (const auto& [key, expected] : { std::pair { Qt::Key_Return, 0 }, std::pair { Qt::Key_Escape, 2 } }) {
        QTimer::singleShot(0, form.get(), [key = key] {
            ASSERT_TRUE(WaitUntil([] { return QApplication::activeModalWidget() != nullptr; }));
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            QTest::keyClick(box, key);
        });
        EXPECT_EQ(real->Ask(form.get(), question), expected) << key;
    }
}

TEST_F(DesktopX11Test, ADecimalCommaTypedIsAPoint)
{
    OpenQuietly();
    const struct
    {
        QLineEdit* field;
        const char* typed;
        QString shown;
    } cases[] = {
        { form->ISet, "1,5", QStringLiteral("1.5") },
        { form->BChargeI, "0,25", QStringLiteral("0.25") },
        { form->MaxP, "12,75", QStringLiteral("12.75") },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        c.field->clear();
        c.field->setFocus();
        QTest::keyClicks(c.field, QString::fromLatin1(c.typed));
        EXPECT_EQ(c.field->text(), c.shown);
    }
    Session().ClearQueues();
    Session().Maxima() = { 5, 20, 100 };
    form->loadI->click();
    form->modeButton->click();
    EXPECT_TRUE(PendingTexts(*form).contains(QStringLiteral("load:curr 1.5")))
        << PendingTexts(*form).join(u',').toStdString() << boxes->messages.join(u'\n').toStdString();
}

// Every entry of the menu bar does something the test can see; an entry added without a
// row here fails the test.
TEST_F(DesktopX11Test, TheMenuBarReachesEveryAction)
{
    // A file dialog opened by an entry: its title, then cancelled.
    QString dialogTitle;
    const auto cancelDialog = [&] {
        QTimer::singleShot(0, form.get(), [&] {
            ASSERT_TRUE(WaitUntil([] { return QApplication::activeModalWidget() != nullptr; }));
            QWidget* dialog = QApplication::activeModalWidget();
            dialogTitle = dialog->windowTitle();
            QMetaObject::invokeMethod(qobject_cast<QDialog*>(dialog), &QDialog::reject);
        });
    };
    UrlCatcher urls;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &urls, "Open");
    const std::map<QString, std::function<void(QAction*)>> expected = {
        { "Export battery results to CSV…",
            [&](QAction* a) {
                cancelDialog();
                a->trigger();
                EXPECT_EQ(dialogTitle, "Export to CSV");
            } },
        { "Export list results to CSV…",
            [&](QAction* a) {
                cancelDialog();
                a->trigger();
                EXPECT_EQ(dialogTitle, "Export to CSV");
            } },
        { "Whole run…",
            [&](QAction* a) {
                cancelDialog();
                a->trigger();
                EXPECT_EQ(dialogTitle, "Save the whole run as");
            } },
        { "Visible span…",
            [&](QAction* a) {
                cancelDialog();
                a->trigger();
                EXPECT_EQ(dialogTitle, "Save the visible span as");
            } },
        { "Load list program…",
            [&](QAction* a) {
                cancelDialog();
                a->trigger();
                EXPECT_EQ(dialogTitle, "List steps");
            } },
        { "Save list program…",
            [&](QAction* a) {
                cancelDialog();
                a->trigger();
                EXPECT_EQ(dialogTitle, "List steps");
            } },
        { "Profile…",
            [&](QAction* a) {
                a->trigger();
                EXPECT_TRUE(form->Profile()->isVisible());
                form->Profile()->hide();
            } },
        { "Analysis of the battery run…",
            [&](QAction* a) {
                boxes->Clear();
                a->trigger();
                EXPECT_EQ(boxes->messages, QStringList { "The battery grid holds no readings to analyse." });
            } },
        { "Export battery results to BDF…",
            [&](QAction* a) {
                cancelDialog();
                a->trigger();
                EXPECT_EQ(dialogTitle, "Export to BDF");
            } },
        { "Battery run report…",
            [&](QAction* a) {
                cancelDialog();
                a->trigger();
                EXPECT_EQ(dialogTitle, "Run report");
            } },
        { "&Traffic console",
            [&](QAction* a) {
                a->trigger();
                EXPECT_TRUE(form->Traffic()->isVisible());
                form->Traffic()->hide();
            } },
        { "Whole run",
            [&](QAction* a) {
                a->trigger();
                EXPECT_TRUE(form->Chart().WholeRunShown());
            } },
        { "&Documentation",
            [&](QAction* a) {
                a->trigger();
                ASSERT_EQ(urls.opened.size(), 1);
                EXPECT_TRUE(urls.opened[0].toLocalFile().endsWith("/docs"))
                    << urls.opened[0].toString().toStdString();
            } },
        { "&About",
            [&](QAction* a) {
                a->trigger();
                EXPECT_EQ(form->PageControl1->currentWidget(), form->TabSheet5);
            } },
        { "&Quit",
            [&](QAction* a) {
                a->trigger();
                EXPECT_TRUE(WaitUntil([&] { return !form->isVisible(); }));
            } },
    };
    std::vector<QAction*> entries;
    const std::function<void(QMenu*)> walk = [&](QMenu* menu) {
        for (QAction* action : menu->actions()) {
            if (action->isSeparator())
                continue;
            if (action->menu())
                walk(action->menu());
            else
                entries.push_back(action);
        }
    };
    for (QAction* top : form->menuBar()->actions())
        walk(top->menu());
    QStringList untested;
    for (QAction* entry : entries) {
        const auto check = expected.find(entry->text());
        if (check == expected.end()) {
            untested << entry->text();
            continue;
        }
        SCOPED_TRACE(entry->text().toStdString());
        check->second(entry);
    }
    EXPECT_TRUE(untested.isEmpty()) << untested.join(u',').toStdString();
    EXPECT_EQ(entries.size(), expected.size());
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    // Ctrl+T opens the console from any field.
    Restart();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    form->ISet->setFocus();
    QTest::keyClick(form->ISet, Qt::Key_T, Qt::ControlModifier);
    EXPECT_TRUE(WaitUntil([&] { return form->Traffic()->isVisible(); }));
}

TEST_F(DesktopX11Test, SettingsComeBackAfterARestartAndNothingIsSent)
{
    OpenWindowSettings()->clear();
    form->RememberSettings();
    const std::vector<std::pair<QString, QString>> fields = {
        { "Combo", "/dev/ttyUSB7" },
        { "BaudRate", "19200" },
        { "AdrValue", "5" },
        { "BChargeI", "1.25" },
        { "BOffV", "10.5" },
        { "testInteral", "4" },
        { "ListSetNum", "7" },
        { "ModeStep3", "CV" },
        { "ValStep3", "2.5" },
        { "LmtHStep14", "9.75" },
    };
    const auto text = [&](const QString& name) {
        QWidget* control = form->findChild<QWidget*>(name);
        if (auto* edit = qobject_cast<QLineEdit*>(control))
            return edit->text();
        if (auto* box = qobject_cast<QComboBox*>(control))
            return box->currentText();
        return QStringLiteral("(no such control)");
    };
    for (const auto& [name, value] : fields) {
        QWidget* control = form->findChild<QWidget*>(name);
        if (auto* edit = qobject_cast<QLineEdit*>(control))
            edit->setText(value);
        else if (auto* box = qobject_cast<QComboBox*>(control))
            box->setCurrentText(value);
        ASSERT_EQ(text(name), value) << name.toStdString();
    }
    form->MeasureMode0->setChecked(true);
    form->StepAuto->setChecked(true);
    form->move(140, 90);
    const QPoint position = form->pos();
    ASSERT_TRUE(form->close());

    Restart();
    for (const auto& [name, value] : fields)
        EXPECT_NE(text(name), value) << name.toStdString()
                                     << ": a window without RememberSettings starts as built";
    form->RememberSettings();
    for (const auto& [name, value] : fields)
        EXPECT_EQ(text(name), value) << name.toStdString();
    EXPECT_TRUE(form->MeasureMode0->isChecked());
    EXPECT_TRUE(form->StepAuto->isChecked());
    EXPECT_EQ(form->pos(), position);
    EXPECT_NE(Session().Port(), PortState::Open);
    EXPECT_TRUE(PendingTexts(*form).isEmpty()) << PendingTexts(*form).join(u',').toStdString();
    EXPECT_TRUE(boxes->messages.isEmpty()) << boxes->messages.join(u'\n').toStdString();
    EXPECT_TRUE(form->StatusNote->text().isEmpty()) << form->StatusNote->text().toStdString();

    // Each file dialog opens in the folder its kind of file was last taken from.
    QDir::current().mkdir(QStringLiteral("programs"));
    const QString folder = QDir::current().absoluteFilePath(QStringLiteral("programs"));
    QString openedIn;
    const auto answer = [&](const QString& file) {
        QTimer::singleShot(0, form.get(), [&, file] {
            ASSERT_TRUE(WaitUntil([] { return QApplication::activeModalWidget() != nullptr; }));
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            openedIn = dialog->directory().absolutePath();
            if (file.isEmpty()) {
                dialog->reject();
                return;
            }
            dialog->selectFile(file);
            QMetaObject::invokeMethod(dialog, &QDialog::accept);
        });
    };
    QAction* save = form->findChild<QAction*>(QStringLiteral("SaveStepsAction"));
    ASSERT_NE(save, nullptr);
    answer(folder + QStringLiteral("/steps.json"));
    save->trigger();
    ASSERT_TRUE(QFileInfo::exists(folder + QStringLiteral("/steps.json")));
    answer(QString());
    form->findChild<QAction*>(QStringLiteral("LoadStepsAction"))->trigger();
    EXPECT_EQ(openedIn, folder);
    OpenWindowSettings()->clear();
}

#include "DesktopX11Test.moc"
