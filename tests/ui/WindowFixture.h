#pragma once
// A fresh main window in a temporary working directory (so db.sqlite lands there), shown
// offscreen, with message boxes recorded instead of shown, the session's pauses recorded
// but not slept, and the pacing timer stopped so that queued commands stay visible until
// a test wants traffic on the wire. ConnectTo puts the instrument simulator behind a real
// pseudo-terminal and connects the way the operator does.
#include "comm/SerialComm.h"
#include "sim/SimulatorHost.h"
#include "store/ResultsFile.h"
#include "support/EventLoop.h"
#include "support/RecordingBoxes.h"
#include "support/SimWire.h"
#include "support/TempWorkDir.h"
#include "ui/BatteryChart.h"
#include "ui/main.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <vector>

// Readable texts and commands in test failures.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const Command& c, std::ostream* out)
{
    *out << '{' << '"' << c.text.toStdString() << "\", " << CodeNumber(c.code) << '}';
}

// A key press and release as the platform delivers them, `text` being what the key types.
inline void PressKey(
    QWidget* target, Qt::Key key, const QString& text = {}, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(target, &release);
}

// Types printable ASCII characters one key at a time (Qt's key codes of printable ASCII
// are the upper-case character codes).
inline void TypeKeys(QWidget* target, const QString& chars)
{
    for (QChar c : chars)
        PressKey(target, static_cast<Qt::Key>(c.toUpper().unicode()), QString(c));
}

// The commands not yet sent, each with the code its answer will be read with.
inline std::vector<Command> Pending(TForm1& form)
{
    const auto& pending = form.Session().Pipeline().Pending();
    return { pending.begin(), pending.end() };
}

// The texts of the commands not yet sent, in order.
inline QStringList PendingTexts(TForm1& form)
{
    QStringList texts;
    for (const Command& c : form.Session().Pipeline().Pending())
        texts.append(c.text);
    return texts;
}

// The texts of one row of a results model (Id first).
inline QStringList Row(const QAbstractItemModel& model, int row)
{
    QStringList texts;
    for (int column = 0; column < model.columnCount(); ++column)
        texts.append(model.index(row, column).data().toString());
    return texts;
}

// Rows of a table as another program reading db.sqlite sees them, without Id.
inline std::vector<QStringList> StoredRows(const QString& table)
{
    std::vector<QStringList> rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
        db.setDatabaseName(QStringLiteral("db.sqlite"));
        EXPECT_TRUE(db.open());
        QSqlQuery query(db);
        EXPECT_TRUE(query.exec(QStringLiteral("select * from ") + table + QStringLiteral(" order by Id")));
        while (query.next()) {
            QStringList row;
            for (int column = 1; column < query.record().count(); ++column)
                row.append(query.value(column).toString());
            rows.push_back(row);
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
    return rows;
}

// Each connect to "SIM" starts a fresh simulator, as the program's --simulator does.
inline VirtualPortMaker SimulatorPort()
{
    return [] {
        auto host = std::make_shared<SimulatorHost>();
        host->Start();
        return VirtualPort { host->SlavePath(), host };
    };
}

// The answer to "*idn?" of the simulator ConnectTo starts.
inline const std::string kTestInstrument = "KELVARON,4410,SIM0001,1.0";

class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FWorkDir.IsValid());
        form = std::make_unique<TForm1>();
        if (buildAllPages)
            form->BuildAllPages();
        boxes = RecordingBoxes::InstallOn(*form);
        pauses.clear();
        pendingAtPause.clear();
        form->Session().Pause = [this](int ms) {
            pauses.push_back(ms);
            pendingAtPause.push_back(PendingTexts(*form));
        };
        form->CoTimer->stop();
        form->show();
        // The results file is emptied once the event loop runs.
        ASSERT_TRUE(WaitUntil([this] { return form->Results().Emptied(); }));
    }

    void TearDown() override
    {
        form.reset(); // the port closes before the simulator goes
        host.reset();
    }

    // A fresh window, for one case of a table that must not see the last one's state.
    void Restart()
    {
        TearDown();
        SetUp();
    }

    template <class T = QWidget> T* Find(const QString& name) const
    {
        T* control = form->findChild<T*>(name);
        EXPECT_NE(control, nullptr) << name.toStdString();
        return control;
    }

    InstrumentSession& Session() { return form->Session(); }

    // Runs a handler the way the window does: what it throws goes to the error display.
    void Guarded(const std::function<void()>& handler) { form->RunGuarded(handler); }

    // Connects to the port the way the operator does after start-up: the first click
    // only closes, the second connects.
    void Connect(const QString& port)
    {
        if (form->combutton->text() != u"Connect")
            form->combutton->click();
        form->Combo->setEditText(port);
        form->combutton->click();
        ASSERT_EQ(form->combutton->text(), QStringLiteral("Disconnect"))
            << boxes->messages.join(u'\n').toStdString();
    }

    // Opens a port to a fresh simulator and nothing else: no connect sequence, and with the
    // pacing stopped nothing queued goes out. For tests of what an action queues, which an
    // action does only with a port open.
    void OpenQuietly()
    {
        host = std::make_unique<SimulatorHost>();
        host->Start();
        Session().Open(host->SlavePath(), 9600);
    }

    // Starts the simulator, connects to it and lets the connect sequence go out.
    void ConnectTo(const SimOptions& options = {})
    {
        // A quiet port closes before its simulator goes, so no hang-up of it reaches the new one.
        if (Session().Port() == PortState::Open)
            Session().Close();
        // An instrument that says who it is: a silent one would hold every connect up by a
        // reply time-out (its silence is tested where it matters).
        SimOptions answering = options;
        if (answering.identity.empty())
            answering.identity = kTestInstrument;
        host = std::make_unique<SimulatorHost>(answering);
        host->Start();
        Connect(host->SlavePath());
        ASSERT_TRUE(DrainQueue());
    }

    // Lets the pacing timer send everything queued and waits until nothing is awaited
    // (a recall's read-back takes 51 ticks) and the last line has left the port.
    bool DrainQueue()
    {
        form->CoTimer->start();
        const bool drained
            = WaitUntil([this] { return Session().Pipeline().Idle(); }, std::chrono::seconds(30));
        WaitUntil([this] { return form->Comm1->SendDataEmpty(); }, std::chrono::seconds(2));
        // The last line may still be on its way through the pty to the instrument.
        WaitUntil([] { return false; }, std::chrono::milliseconds(50));
        return drained;
    }

    // Waits until the simulator has received `line` as its latest line.
    bool WaitForLastLine(const QString& line)
    {
        return WaitUntil([&] {
            const QStringList lines = WireLines(*host);
            return !lines.isEmpty() && lines.last() == line;
        });
    }

    // Every page is built before a test; a test of building them when first shown clears this.
    bool buildAllPages = true;
    std::unique_ptr<TForm1> form;
    RecordingBoxes* boxes = nullptr;
    std::unique_ptr<SimulatorHost> host;
    std::vector<int> pauses;
    std::vector<QStringList> pendingAtPause;

private:
    TempWorkDir FWorkDir;
};

// A window with a port open to a quiet simulator (see OpenQuietly): actions queue what they
// send, and nothing goes out until a test lets the pacing run.
class WithPortTest : public WindowTest
{
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        OpenQuietly();
    }
};
