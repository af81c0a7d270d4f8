// The traffic console: opened from the window, it lists what crosses the wire and what
// became of it; closed, the session reports nothing; it keeps the newest lines through
// floods and pauses, and saves and copies them as text.
#include "WindowFixture.h"

#include "ui/TrafficConsole.h"

#include <QAction>
#include <QClipboard>
#include <QFile>
#include <QItemSelectionModel>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest/QTest>

namespace {

enum Column { Time, Route, Code, Text };

class TrafficConsoleTest : public WindowTest
{
protected:
    TrafficConsole& Console() { return *form->Traffic(); }

    QString Cell(int row, int column) { return Console().Model()->index(row, column).data().toString(); }

    bool Listed(const QString& route, const QString& textStart)
    {
        for (int row = 0; row < Console().Model()->rowCount(); ++row) {
            if (Cell(row, Route) == route && Cell(row, Text).startsWith(textStart))
                return true;
        }
        return false;
    }

    // Lines numbered from `from` on, as the session would report them.
    void Feed(int from, int count)
    {
        for (int n = from; n < from + count; ++n)
            Console().Append(
                { QTime(12, 0), TrafficRoute::Reading, ReplyCode::Measurement, QString::number(n) });
    }
};

TEST_F(TrafficConsoleTest, OpensFromTheWindowAndListsTheTrafficOnlyWhileOpen)
{
    const struct
    {
        const char* way;
        std::function<void(TForm1&)> open;
    } ways[] = {
        { "Ctrl+T",
            [](TForm1& window) {
                window.activateWindow();
                ASSERT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == &window; }));
                QTest::keyClick(&window, Qt::Key_T, Qt::ControlModifier);
            } },
        { "status bar menu",
            [](TForm1& window) {
                const QList<QAction*> actions = window.StatusBar1->actions();
                ASSERT_EQ(window.StatusBar1->contextMenuPolicy(), Qt::ActionsContextMenu);
                ASSERT_EQ(actions.size(), 1);
                EXPECT_EQ(actions[0]->text(), u"Traffic console…");
                actions[0]->trigger();
            } },
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.way);
        Restart();
        ConnectTo();
        EXPECT_FALSE(Session().OnTraffic) << "nothing listens before the console opens";

        way.open(*form);
        ASSERT_TRUE(Console().isVisible());
        EXPECT_EQ(Console().windowTitle(), u"Traffic");
        ASSERT_TRUE(Session().OnTraffic);

        Session().QueueCommand(QStringLiteral("fetch?"), ReplyCode::Measurement);
        ASSERT_TRUE(DrainQueue());
        ASSERT_TRUE(WaitUntil([&] { return Listed(QStringLiteral("reading"), QString()); }));
        EXPECT_TRUE(Listed(QStringLiteral("sent"), QStringLiteral("fetch?\\r")));
        for (int row = 0; row < Console().Model()->rowCount(); ++row) {
            if (Cell(row, Route) == u"reading") {
                EXPECT_EQ(Cell(row, Code), u"4");
            }
        }

        host->Inject("99.99V,9.999A");
        ASSERT_TRUE(WaitUntil([&] { return Listed(QStringLiteral("unasked"), QStringLiteral("99.99V")); }));

        Console().close();
        EXPECT_FALSE(Session().OnTraffic) << "a closed console costs the session nothing";
    }
}

// The newest kCapacity lines stay, whether they come in one flood, over a full table, or
// while the view is held still; a pause shows nothing new until it ends.
TEST_F(TrafficConsoleTest, KeepsTheNewestLinesThroughFloodsAndPauses)
{
    const struct
    {
        const char* name;
        int before; // lines drawn before the batches
        std::vector<int> batches; // each drawn (unless paused) before the next comes
        bool paused;
        int shown; // in the end
    } cases[] = {
        { "one flood", 0, { 10'050 }, false, 10'000 },
        { "a flood over a full table", 6'000, { 4'050 }, false, 10'000 },
        { "small batches past the limit", 0, { 9'999, 1, 50 }, false, 10'000 },
        { "a short pause", 20, { 5 }, true, 25 },
        { "a flood while paused", 20, { 10'050 }, true, 10'000 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Console().Clear();
        Feed(0, c.before);
        Console().Flush();
        auto* pause = Find<QPushButton>(QStringLiteral("PauseButton"));
        if (c.paused)
            pause->click();
        int total = c.before;
        for (const int batch : c.batches) {
            Feed(total, batch);
            total += batch;
            Console().Flush();
        }
        if (c.paused) {
            EXPECT_EQ(Console().LinesShown(), c.before) << "the view stands still";
            pause->click();
        }
        EXPECT_FALSE(Console().Paused());
        ASSERT_EQ(Console().Model()->rowCount(), c.shown);
        EXPECT_EQ(Console().LinesWaiting(), 0);
        EXPECT_EQ(Cell(0, Text), QString::number(total - c.shown));
        EXPECT_EQ(Cell(c.shown - 1, Text), QString::number(total - 1));
    }
}

// Saved and copied alike: the selected lines, or all when none is selected; a file that
// cannot be written is told.
TEST_F(TrafficConsoleTest, SavesAndCopiesTheLinesAsText)
{
    QTemporaryDir dir;
    const TrafficLine lines[] = {
        { QTime(9, 30, 0, 250), TrafficRoute::Sent, ReplyCode::Measurement, QStringLiteral("fetch?\r") },
        { QTime(9, 30, 0, 280), TrafficRoute::Reading, ReplyCode::Measurement,
            QStringLiteral("12.00V,1.000A") },
        { QTime(9, 30, 0, 900), TrafficRoute::Unsolicited, ReplyCode::None, QStringLiteral("\x01junk") },
    };
    const auto textOf = [&](std::initializer_list<int> rows) {
        QString text;
        for (const int row : rows)
            text += TrafficLineText(lines[row]) + u'\n';
        return text;
    };
    const struct
    {
        const char* name;
        std::vector<int> selected;
        QString path;
        QString saved; // empty: the save fails and says so
    } cases[] = {
        { "all", {}, dir.filePath(QStringLiteral("all.txt")), textOf({ 0, 1, 2 }) },
        { "selected", { 2, 0 }, dir.filePath(QStringLiteral("some.txt")), textOf({ 0, 2 }) },
        { "unwritable", {}, dir.filePath(QStringLiteral("missing/folder/all.txt")), {} },
    };
    for (const TrafficLine& line : lines)
        Console().Append(line);
    Console().Flush();
    auto* view = Find<QTableView>(QStringLiteral("TrafficView"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes->Clear();
        view->clearSelection();
        for (const int row : c.selected)
            view->selectionModel()->select(
                Console().Model()->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);

        EXPECT_EQ(Console().SaveTo(c.path), !c.saved.isEmpty());
        if (c.saved.isEmpty()) {
            ASSERT_EQ(boxes->messages.size(), 1);
            EXPECT_TRUE(boxes->messages[0].contains(QStringLiteral("all.txt")))
                << boxes->messages[0].toStdString();
            continue;
        }
        QFile file(c.path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
        EXPECT_EQ(QString::fromUtf8(file.readAll()), c.saved);
        EXPECT_TRUE(boxes->messages.isEmpty());
        Find<QPushButton>(QStringLiteral("CopyButton"))->click();
        EXPECT_EQ(QApplication::clipboard()->text(), c.saved);
    }
}

} // namespace
