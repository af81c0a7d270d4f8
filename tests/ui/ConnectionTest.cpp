// Start-up, the port box, connecting, disconnecting and losing the port, against the
// instrument simulator on a real pseudo-terminal.
#include "WindowFixture.h"
#include "comm/CommTestSupport.h"
#include "replies/Numbers.h"
#include "store/ResultsQuery.h"
#include "ui/ToolTips.h"
#include "workflows/ConnectionRules.h"
#include "workflows/InputRules.h"

#include <QAbstractItemView>
#include <QLabel>
#include <QLineEdit>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTabWidget>
#include <QTest>
#include <QValueAxis>

namespace {

int RowsIn(const QString& table)
{
    int rows = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "conn_test_rows");
        db.setDatabaseName("db.sqlite");
        EXPECT_TRUE(db.open());
        QSqlQuery query("select count(*) from " + table, db);
        if (query.next())
            rows = query.value(0).toInt();
    }
    QSqlDatabase::removeDatabase("conn_test_rows");
    return rows;
}

const std::vector<Command> kConnectSequence {
    { "*adr 8" },
    { "load off" },
    { "load:mode cc" },
    { "mset:imax?", ReplyCode::CurrentLimit },
    { "mset:vmax?", ReplyCode::VoltageLimit },
    { "mset:pmax?", ReplyCode::PowerLimit },
    { "mset:von?", ReplyCode::OnVoltage },
    { "mset:voff?", ReplyCode::OffVoltage },
    { "mset:aoff?", ReplyCode::AutoOffDelay },
    { "load:curr?", ReplyCode::CurrentSetPoint },
    { "load:volt?", ReplyCode::VoltageSetPoint },
    { "load:pow?", ReplyCode::PowerSetPoint },
    { "load:res?", ReplyCode::ResistanceSetPoint },
    { "trig:sour bus" },
    // Who the instrument is, for the records of the runs on this connection.
    { "*idn?", ReplyCode::Identity },
};

using Startup = WindowTest;

TEST_F(Startup, WindowComesUpClosedWithControlsLocked)
{
    EXPECT_EQ(form->combutton->text(), QStringLiteral("Select"));
    for (QPushButton* button :
        { form->fuZaiButton, form->startButton, form->modeButton, form->startButtonB, form->startButtonL })
        EXPECT_FALSE(button->isEnabled()) << button->objectName().toStdString();
    EXPECT_EQ(form->PageControl1->currentIndex(), 0);
    EXPECT_EQ(Session().Mode(), TestMode::Normal);
    EXPECT_EQ(form->BaudRate->currentText(), QStringLiteral("9600"));
    // The port list is read off the way to the first paint and arrives just after.
    const auto items = [this] {
        QStringList texts;
        for (int i = 0; i < form->Combo->count(); ++i)
            texts.append(form->Combo->itemText(i));
        return texts;
    };
    EXPECT_TRUE(WaitUntil([&] { return items() == ListPortDescriptions(false); }))
        << items().join(' ').toStdString();
    EXPECT_EQ(form->Combo->currentText(), items().first());
    EXPECT_EQ(form->BottomAxis->min(), 0);
    EXPECT_EQ(form->BottomAxis->max(), 40);
    EXPECT_TRUE(Session().Pipeline().Idle());
}

TEST_F(Startup, ResultTablesOfTheLastRunAreEmptied)
{
    form->ADOQuery2->Insert({ "12.1", "0.3", "5", "0.001", "now" });
    form->ADOQuery1->Insert({ "0", "CC", "0.2", "12.0", "0.2", "0.1", "0.3", "now", "1" });
    ASSERT_EQ(RowsIn("battery"), 1);
    ASSERT_EQ(RowsIn("listS"), 1);
    form.reset();

    form = std::make_unique<TForm1>();
    form->BuildAllPages();
    ASSERT_TRUE(WaitUntil([this] { return form->Results().Emptied(); }));
    EXPECT_EQ(RowsIn("battery"), 0);
    EXPECT_EQ(RowsIn("listS"), 0);
}

// Before a port is open every action that would send something says so, once, and queues
// nothing: no range message against limits never read, no run that "runs" on no port.
TEST_F(Startup, EveryActionWithoutAPortSaysConnectFirstAndQueuesNothing)
{
    using Handler = void (TForm1::*)(QObject*);
    const std::pair<const char*, Handler> actions[] = { { "Load Setup Set", &TForm1::fuZaiButtonClick },
        { "Load Pattern Set", &TForm1::modeButtonClick }, { "Trigger", &TForm1::DButtonClick },
        { "Save", &TForm1::BitBtn1Click }, { "Load", &TForm1::LoadFileClick },
        { "Control Panel", &TForm1::BitBtn2Click }, { "battery Set up", &TForm1::BSetButtonClick },
        { "battery Start", &TForm1::StartButtonBClick }, { "list Set", &TForm1::LSetButtonClick },
        { "list Start", &TForm1::startButtonLClick }, { "list Trig", &TForm1::TrigButtonClick } };
    for (const auto& [name, handler] : actions) {
        SCOPED_TRACE(name);
        boxes->Clear();
        Guarded([&] { (form.get()->*handler)(form.get()); });
        EXPECT_EQ(boxes->messages, QStringList { kConnectFirstMessage });
        EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
        EXPECT_TRUE(Session().Pipeline().Idle());
    }
    boxes->Clear();
    Guarded([&] { form->ListSet(QStringLiteral("0")); });
    EXPECT_EQ(boxes->messages.size(), 1) << "a step button too";
    EXPECT_EQ(form->startButtonB->text(), u"Start");
    EXPECT_EQ(form->startButtonL->text(), u"Start");
}

using PortBox = WindowTest;

TEST_F(PortBox, ChosenEntryLeavesOnlyItsPortName)
{
    const std::pair<QString, QString> cases[] = {
        { "ttyUSB0 | FT232R USB UART | usb", "ttyUSB0" },
        { "SIM | Built-in instrument simulator | sim", "SIM" },
        { "/dev/pts/7", "/dev/pts/7" }, // typed by hand: kept as typed
        { "tcp://127.0.0.1:7000", "tcp://127.0.0.1:7000" },
        { "rfc2217://[::1]:2217", "rfc2217://[::1]:2217" },
    };
    for (const auto& [chosen, shown] : cases) {
        form->Combo->addItem(chosen);
        form->Combo->setCurrentIndex(form->Combo->count() - 1);
        form->Combo->setEditText(chosen);
        form->ComboCloseUp(form->Combo);
        // Posted: the box must first finish taking over the entry.
        EXPECT_EQ(form->Combo->currentText(), chosen);
        QCoreApplication::processEvents();
        EXPECT_EQ(form->Combo->currentText(), shown);
    }
}

TEST_F(PortBox, DropDownRebuildsTheListAndKeepsTheText)
{
    form->EnableSimulatorPort(SimulatorPort());
    form->Combo->clear();
    form->Combo->setEditText("ttyTyped");
    form->ComboDropDown(form->Combo);
    EXPECT_EQ(form->Combo->count(), ListPortDescriptions(true).size());
    EXPECT_EQ(form->Combo->itemText(form->Combo->count() - 1), kSimulatorEntry);
    EXPECT_EQ(form->Combo->currentText(), QStringLiteral("ttyTyped"));
    EXPECT_GE(form->Combo->view()->minimumWidth(), 160);
}

using Connecting = WindowTest;

TEST_F(Connecting, PortThatCannotOpenIsReportedAndChangesNothing)
{
    form->combutton->click();
    ASSERT_EQ(form->combutton->text(), QStringLiteral("Connect"));
    ASSERT_EQ(form->StatusPanel0->text(), QStringLiteral("Serial Port closed"));

    // A missing device, and a whole entry typed by hand, which is no device name.
    for (const QString port : { "ttyNoSuchPort9", "ttyNoSuch | Some Adapter | usb" }) {
        boxes->messages.clear();
        form->Combo->setEditText(port);
        form->combutton->click();
        ASSERT_EQ(boxes->messages.size(), 1) << port.toStdString();
        EXPECT_FALSE(boxes->messages[0].isEmpty());
        EXPECT_EQ(form->combutton->text(), QStringLiteral("Connect"));
        EXPECT_EQ(form->StatusPanel0->text(), QStringLiteral("Serial Port closed"));
        EXPECT_TRUE(Session().Pipeline().Idle());
        EXPECT_FALSE(form->fuZaiButton->isEnabled());
        EXPECT_EQ(form->Comm1->CommName(), port);
        // The status bar adds the system's reason and what to check.
        EXPECT_EQ(form->StatusError->toolTip(),
            "Error opening serial port: No such file or directory: is the adapter plugged in?");
        // The box says it too.
        EXPECT_EQ(boxes->messages[0],
            "Error opening serial port\nNo such file or directory: is the adapter plugged in?");
    }
    EXPECT_TRUE(boxes->errors.isEmpty());
    // The next connect that succeeds clears the error line.
    ConnectTo();
    EXPECT_TRUE(form->StatusError->text().isEmpty()) << form->StatusError->text().toStdString();
}

TEST_F(Connecting, BaudRateThatIsNoNumberStopsBeforeOpening)
{
    SimulatorHost host;
    host.Start();
    form->combutton->click();
    form->Combo->setEditText(host.SlavePath());
    form->BaudRate->setEditText("96x0");
    form->combutton->click();
    EXPECT_EQ(boxes->errors.size(), 1);
    EXPECT_TRUE(boxes->messages.isEmpty());
    EXPECT_EQ(form->combutton->text(), QStringLiteral("Connect"));
    EXPECT_EQ(form->Comm1->Handle(), 0);
    EXPECT_TRUE(Session().Pipeline().Idle());
}

TEST_F(Connecting, SequenceReadsTheInstrumentBackIntoTheWindow)
{
    SimulatorHost host;
    host.Start();
    // The first click after start-up only closes.
    form->Combo->setEditText(host.SlavePath());
    form->combutton->click();
    EXPECT_EQ(form->combutton->text(), QStringLiteral("Connect"));
    EXPECT_EQ(form->Comm1->Handle(), 0);

    form->MaxI->clear();
    form->DButton->click(); // nothing goes to an instrument not yet connected
    EXPECT_EQ(boxes->messages, QStringList { kConnectFirstMessage });
    form->combutton->click();
    ASSERT_EQ(form->combutton->text(), QStringLiteral("Disconnect"))
        << boxes->messages.join(' ').toStdString();
    EXPECT_EQ(form->StatusPanel0->text(), "Serial Port: " + host.SlavePath() + ". Baud Rate: 9600");
    const std::vector<Command> expected = kConnectSequence;
    EXPECT_EQ(Pending(*form), expected);
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Begin"));
    EXPECT_TRUE(form->fuZaiButton->isEnabled());
    EXPECT_TRUE(form->modeButton->isEnabled());
    EXPECT_FALSE(form->startButton->isEnabled());

    ASSERT_TRUE(DrainQueue());
    QStringList sent;
    for (const Command& c : expected)
        sent.append(c.text);
    EXPECT_EQ(WireLines(host), sent);
    // The simulator powers up with limits of 30 A, 150 V and 300 W.
    EXPECT_EQ(Session().Maxima().current, 30);
    EXPECT_EQ(Session().Maxima().voltage, 150);
    EXPECT_EQ(Session().Maxima().power, 300);
    EXPECT_EQ(StrToFloat(form->MaxI->text()), 30);
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(' ').toStdString();
}

TEST_F(Connecting, BuiltInSimulatorAnswersLikeAnInstrument)
{
    form->EnableSimulatorPort(SimulatorPort());
    form->MaxV->clear();
    Connect(kSimulatorPort);
    EXPECT_EQ(form->StatusPanel0->text(), QStringLiteral("Serial Port: SIM. Baud Rate: 9600"));
    ASSERT_TRUE(DrainQueue());
    EXPECT_EQ(Session().Maxima().voltage, 150);
    EXPECT_FALSE(form->MaxV->text().isEmpty());

    form->combutton->click();
    EXPECT_EQ(form->combutton->text(), QStringLiteral("Connect"));
    EXPECT_EQ(form->Comm1->Handle(), 0);
    // Connecting again starts a fresh simulator.
    Connect(kSimulatorPort);
    EXPECT_NE(form->Comm1->Handle(), 0);
}

// With the input on, "Disconnect" switches it off first and closes once "load off" has
// left; nothing else queued before goes out.
TEST_F(Connecting, DisconnectSwitchesTheInputOffFirstAndDropsWhatWasQueued)
{
    ConnectTo();
    form->loadS->click();
    form->modeButton->click();
    form->startButton->click();
    ASSERT_TRUE(WaitUntil([&] { return WireLines(*host).contains(u"fetch?"); }));
    form->DButton->click();
    ASSERT_EQ(form->startButton->text(), QStringLiteral("Stop"));

    form->combutton->click();
    EXPECT_EQ(form->StatusPanel0->text(), QStringLiteral("Switching the input off, then closing the port"));
    EXPECT_FALSE(form->fetchTimer->isActive());
    ASSERT_TRUE(WaitUntil([&] { return form->combutton->text() == u"Connect"; }));
    EXPECT_EQ(WireLines(*host).last(), u"load off");
    EXPECT_FALSE(WireLines(*host).contains(u"trig"));
    EXPECT_EQ(form->StatusPanel0->text(), QStringLiteral("Serial Port closed after switching the input off"));
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Begin"));
    for (QPushButton* button : { form->fuZaiButton, form->startButton, form->modeButton })
        EXPECT_FALSE(button->isEnabled()) << button->objectName().toStdString();
    EXPECT_TRUE(Session().Pipeline().Idle());
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();

    // With the input off it closes at once.
    ConnectTo();
    form->combutton->click();
    EXPECT_EQ(form->combutton->text(), QStringLiteral("Connect"));
    EXPECT_EQ(form->StatusPanel0->text(), QStringLiteral("Serial Port closed"));
}

TEST_F(Connecting, LostPortShowsConnectAndStopsPolling)
{
    auto host = std::make_unique<SimulatorHost>();
    host->Start();
    const QString path = host->SlavePath();
    Connect(path);
    ASSERT_TRUE(DrainQueue());
    form->loadS->click();
    form->modeButton->click();
    form->startButton->click();
    ASSERT_TRUE(form->fetchTimer->isActive());

    host->Stop(); // the adapter is pulled
    ASSERT_TRUE(WaitUntil([this] { return form->combutton->text() == u"Connect"; }));
    EXPECT_EQ(form->StatusPanel0->text(), "Serial Port lost: " + path + " stopped answering (unplugged?)");
    EXPECT_EQ(form->Comm1->Handle(), 0);
    EXPECT_FALSE(form->fetchTimer->isActive());
    EXPECT_EQ(form->startButton->text(), QStringLiteral("Begin")) << "nothing is known of the load any more";
    for (QPushButton* button : { form->fuZaiButton, form->startButton, form->modeButton })
        EXPECT_FALSE(button->isEnabled()) << button->objectName().toStdString();
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(' ').toStdString();

    // Plugged in again: connecting works as before.
    host = std::make_unique<SimulatorHost>();
    host->Start();
    Connect(host->SlavePath());
    ASSERT_TRUE(DrainQueue());
    EXPECT_TRUE(WireLines(*host).contains("trig:sour bus")) << WireLines(*host).join(' ').toStdString();
}

// A device server typed into the box, key by key past the list's completion, is opened as
// typed; its connection dropping is a lost port like an adapter pulled.
TEST_F(Connecting, TypedNetworkPortConnectsAndItsLossShows)
{
    auto server = std::make_unique<SimulatorHost>();
    server->Listen("127.0.0.1", 0);
    server->Start();
    const QString port = QStringLiteral("tcp://127.0.0.1:%1").arg(server->ListenPort());
    form->combutton->click(); // the first click after start-up only closes
    form->Combo->addItem(QStringLiteral("ttyS0 | Serial Port (ttyS0) | pnp"));
    form->Combo->setEditText(QString());
    form->Combo->setFocus();
    QTest::keyClicks(form->Combo->lineEdit(), port);
    ASSERT_EQ(form->Combo->currentText(), port);
    form->combutton->click();
    EXPECT_EQ(form->combutton->text(), QStringLiteral("Connecting…"));
    EXPECT_TRUE(Session().Pipeline().Idle());
    ASSERT_TRUE(WaitUntil([this] { return form->combutton->text() != u"Connecting…"; }));
    ASSERT_EQ(form->combutton->text(), QStringLiteral("Disconnect"))
        << boxes->messages.join(' ').toStdString();
    EXPECT_EQ(form->StatusPanel0->text(), "Serial Port: " + port + ". Baud Rate: 9600");
    EXPECT_EQ(Pending(*form), kConnectSequence);
    ASSERT_TRUE(DrainQueue());
    EXPECT_EQ(Session().Maxima().current, 30);

    server->Stop();
    ASSERT_TRUE(WaitUntil([this] { return form->combutton->text() == u"Connect"; }));
    EXPECT_EQ(form->StatusPanel0->text(), "Serial Port lost: " + port + " stopped answering (unplugged?)");
    EXPECT_EQ(form->Comm1->Handle(), 0);
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(' ').toStdString();
}

// A device server that does not answer holds nothing but the button: it reads
// "Connecting…" while the window goes on, and pressing it or closing the window gives up,
// leaving no port, worker or descriptor, and nothing that arrives later. One that refuses
// is reported as a local port that cannot open.
TEST_F(Connecting, NetworkPortOpensWhileTheWindowGoesOn)
{
    const TMuteServers mute;
    const struct
    {
        QString port;
        bool closeWindow; // else the button is pressed again
    } cases[] = {
        { mute.Unanswered(), false },
        { mute.Silent(), false },
        { mute.Unanswered(), true },
        { mute.Silent(), true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port.toStdString() + (c.closeWindow ? " closing the window" : " pressing Cancel"));
        form->combutton->click(); // the first click after start-up only closes
        int ticksWhileOpening = 0;
        QTimer owner;
        QObject::connect(&owner, &QTimer::timeout, [&] {
            if (Session().Port() == PortState::Opening)
                ++ticksWhileOpening;
        });
        owner.start(10);
        // Counted once the port list has come, whose lister opens descriptors of its own.
        ASSERT_TRUE(WaitUntil([this] { return form->Combo->count() > 0; }));
        const int fds = OpenFdCount();

        form->Combo->setEditText(c.port);
        form->combutton->click();
        EXPECT_EQ(form->combutton->text(), QStringLiteral("Connecting…"));
        EXPECT_EQ(form->combutton->toolTip(), u"Press to stop connecting");
        EXPECT_EQ(form->StatusPanel0->text(), "Connecting to " + c.port + "…");
        EXPECT_FALSE(form->fuZaiButton->isEnabled());
        EXPECT_TRUE(
            WaitUntil([&] { return ticksWhileOpening >= 2 || Session().Port() != PortState::Opening; }));
        EXPECT_GE(ticksWhileOpening, 2);

        if (c.closeWindow) {
            form->close();
        } else {
            form->combutton->click();
            EXPECT_EQ(form->combutton->text(), QStringLiteral("Connect"));
            EXPECT_EQ(form->combutton->toolTip(), ToolTipFor(QStringLiteral("combutton")))
                << "its own tip again";
            EXPECT_EQ(form->StatusPanel0->text(), QStringLiteral("Connecting cancelled"));
        }
        EXPECT_EQ(Session().Port(), PortState::Closed);
        EXPECT_EQ(form->Comm1->Handle(), 0);
        EXPECT_TRUE(WaitUntil([] { return ThreadsNamed("comm-open") == 0; }, 2s));
        EXPECT_TRUE(WaitUntil([&] { return OpenFdCount() == fds; }, 2s)) << OpenFdCount() << " for " << fds;
        PumpEvents(50ms);
        EXPECT_EQ(Session().Port(), PortState::Closed);
        EXPECT_TRUE(Session().Pipeline().Idle());
        EXPECT_TRUE(boxes->messages.isEmpty()) << boxes->messages.join(' ').toStdString();
        EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(' ').toStdString();
        Restart();
    }

    const TLoopbackSocket refusing; // bound, never listening
    form->combutton->click();
    form->Combo->setEditText(QStringLiteral("tcp://127.0.0.1:%1").arg(refusing.Port));
    form->combutton->click();
    EXPECT_EQ(form->combutton->text(), QStringLiteral("Connecting…"));
    ASSERT_TRUE(WaitUntil([this] { return form->combutton->text() != u"Connecting…"; }));
    EXPECT_EQ(form->combutton->text(), QStringLiteral("Connect"));
    ASSERT_EQ(boxes->messages.size(), 1);
    EXPECT_TRUE(boxes->messages[0].startsWith(u"Error opening serial port\n"))
        << boxes->messages[0].toStdString();
    EXPECT_TRUE(boxes->messages[0].endsWith(u"is the device server running and listening on that port?"));
    EXPECT_EQ(form->StatusPanel0->text(), QStringLiteral("Serial Port closed"));
    EXPECT_TRUE(
        form->StatusError->toolTip().endsWith(u"is the device server running and listening on that port?"))
        << form->StatusError->toolTip().toStdString();
    EXPECT_TRUE(Session().Pipeline().Idle());
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(' ').toStdString();
}

TEST_F(Connecting, ReplyNobodyAwaitedLeavesThePipelineUsable)
{
    SimulatorHost host;
    host.Start();
    Connect(host.SlavePath());
    ASSERT_TRUE(DrainQueue());

    // Asked as if no answer were due: the answer finds no code to be read with, is
    // reported, and takes nothing queued behind it.
    form->MaxV->clear();
    Session().QueueCommand("mset:imax?", ReplyCode::None);
    Session().QueueCommand("mset:vmax?", ReplyCode::VoltageLimit);
    ASSERT_TRUE(WaitUntil([this] { return !boxes->errors.isEmpty(); }));
    EXPECT_TRUE(boxes->errors[0].startsWith("A reply arrived while no answer was awaited"))
        << boxes->errors[0].toStdString();
    ASSERT_TRUE(WaitUntil([this] { return !form->MaxV->text().isEmpty(); }));
    EXPECT_EQ(Session().Maxima().voltage, 150);
}

} // namespace
