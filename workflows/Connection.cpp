// Start-up, the choice of port, connecting and disconnecting, losing the port, and the
// end of the program.
#include "comm/SerialComm.h"
#include "replies/Numbers.h"
#include "sim/SimulatorHost.h"
#include "store/ResultsQuery.h"
#include "ui/main.h"
#include "workflows/ConnectionRules.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QValueAxis>

namespace {

// The state every way of closing the port leaves behind; the start buttons keep their
// captions, so a load switched on stays visibly on.
void ShowPortClosed(TForm1& form, const QString& status)
{
    form.combutton->setText(QStringLiteral("Connect"));
    form.StatusPanel0->setText(status);
    form.fuZaiButton->setEnabled(false);
    form.startButton->setEnabled(false);
    form.modeButton->setEnabled(false);
}

void ReplacePortItems(QComboBox* box, const QStringList& entries)
{
    box->clear();
    box->addItems(entries);
}

} // namespace

void TForm1::FormCreate(QObject*)
{
    ClearQueues();
    Comm1->StopComm();
    Combo->setCurrentIndex(0);
    BaudRate->setCurrentIndex(1);
    for (QPushButton* button : { fuZaiButton, startButton, modeButton, startButtonB, startButtonL })
        button->setEnabled(false);
    ShowPage(0);
    TestMode = 0;
    ReplacePortItems(Combo, ListPortDescriptions(FSimulatorPort));
    ResistanceMax = 4000;
    Comm1->StopComm();
    ADOQuery1->Clear();
    ADOQuery2->Clear();
    ElapsedSeconds = 0;
    BottomAxis->setRange(0, 40);
}

void TForm1::FormClose(QObject*)
{
    Comm1->StopComm();
    FSimulator.reset();
}

void TForm1::ComboDropDown(QObject*)
{
    Combo->view()->setMinimumWidth(160);
    // Rebuilt at every opening so adapters plugged in since show up. The box keeps the
    // text it showed, so closing the list without a choice leaves the port as it was.
    const QString shown = Combo->currentText();
    ReplacePortItems(Combo, ListPortDescriptions(FSimulatorPort));
    Combo->setCurrentIndex(Combo->findText(shown, Qt::MatchExactly | Qt::MatchCaseSensitive));
    Combo->setEditText(shown);
}

void TForm1::ComboCloseUp(QObject*)
{
    // Posted, so it runs after the box has taken over the chosen entry's text.
    QCoreApplication::postEvent(this, new QEvent(PortChoiceMessage));
}

void TForm1::ShowChosenPort()
{
    const std::optional<QString> name = ChosenPortName(Combo->currentText());
    if (!name)
        return;
    Combo->setCurrentIndex(-1);
    Combo->setEditText(*name);
}

void TForm1::SetAddress(const QString& address)
{
    QueueCommand(QStringLiteral("*adr ") + address, 0);
}

void TForm1::combuttonClick(QObject*)
{
    if (combutton->text() != u"Connect") {
        Comm1->StopComm();
        FSimulator.reset();
        ShowPortClosed(*this, QStringLiteral("Serial Port closed"));
        return;
    }

    const QString port = Combo->currentText();
    Comm1->setCommName(port);
    Comm1->setBaudRate(static_cast<uint32_t>(StrToInt(BaudRate->currentText())));
    try {
        if (port == kSimulatorPort) {
            auto simulator = std::make_unique<SimulatorHost>();
            simulator->Start();
            Comm1->setCommName(simulator->SlavePath());
            FSimulator = std::move(simulator);
        }
        Comm1->StartComm();
    } catch (const ECommsError& error) {
        FSimulator.reset();
        MessageBoxes().ShowMessage(this, QString::fromUtf8(error.what()));
        return;
    }
    combutton->setText(QStringLiteral("Disconnect"));
    StatusPanel0->setText(
        QStringLiteral("Serial Port: ") + port + QStringLiteral(". Baud Rate: ") + BaudRate->currentText());
    Pause(200);

    SetAddress(AdrValue->text());
    QueueCommand(QStringLiteral("load off"), 0);
    QueueCommand(QStringLiteral("load:mode cc"), 0);
    startButton->setText(QStringLiteral("Begin"));
    const std::vector<ReadBackQuery> queries = SettingsReadBackQueries();
    for (int i = 0; i < kLimitAndSetPointQueries; ++i)
        QueueCommand(queries[i].first, queries[i].second);
    QueueCommand(QStringLiteral("trig:sour bus"), 0);

    fuZaiButton->setEnabled(true);
    modeButton->setEnabled(true);
}

void TForm1::Comm1RequestHangup(TComm*)
{
    // A hang-up that was already on its way when the operator closed the port.
    if (Comm1->Handle() == 0)
        return;
    const QString port = FSimulator ? kSimulatorPort : Comm1->CommName();
    // Nothing can answer any more; polling would only pile up unanswered queries.
    fetchTimer->stop();
    Comm1->StopComm();
    FSimulator.reset();
    ShowPortClosed(*this, QStringLiteral("Serial Port lost: %1 stopped answering (unplugged?)").arg(port));
}
