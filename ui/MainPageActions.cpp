// The operator's actions on the Main page: the port, the load, sensing and the setting
// memories; and the About page's link.
#include "ui/main.h"

#include "comm/SerialComm.h"
#include "store/ResultsFile.h"
#include "ui/AboutPage.h"
#include "ui/GridExport.h"
#include "ui/PortComboBox.h"
#include "ui/TrafficConsole.h"
#include "workflows/Connection.h"
#include "workflows/ConnectionRules.h"
#include "workflows/InputRules.h"
#include "workflows/LoadControl.h"
#include "workflows/RunRecorder.h"
#include "workflows/SettingMemories.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>
#include <QUrl>
#include <cmath>
#include <tuple>

namespace {

void ReplacePortItems(QComboBox* box, const QStringList& entries)
{
    box->clear();
    box->addItems(entries);
}

} // namespace

void TForm1::combuttonClick(QObject*)
{
    if (FSession->Port() == PortState::Opening) {
        FSession->CancelOpen();
        ShowPortClosed(QStringLiteral("Connecting cancelled"));
        return;
    }
    if (FSession->Port() == PortState::Open && FSession->Disconnecting())
        return; // closes once its "load off" has left
    if (FSession->Port() != PortState::Closed) {
        if (FSession->Disconnect())
            StatusPanel0->setText(QStringLiteral("Switching the input off, then closing the port"));
        else
            ShowPortClosed(QStringLiteral("Serial Port closed"));
        return;
    }
    const QString port = Combo->currentText();
    const QString baudRate = BaudRate->currentText();
    // A local port has opened (or failed) when BeginConnect returns, a network port later.
    const auto opened
        = [this, port, baudRate, before = StatusPanel0->text()](const std::optional<ECommsError>& error) {
              if (!error) {
                  StatusPanel0->setText(
                      QStringLiteral("Serial Port: ") + port + QStringLiteral(". Baud Rate: ") + baudRate);
                  FRecorder->Identify(); // behind the read-back, long before any run
                  ShowStatusError(QString()); // an earlier failure is over
                  return;
              }
              StatusPanel0->setText(before);
              const QString what = QString::fromUtf8(error->what());
              if (error->Reason().isEmpty()) {
                  MessageBoxes().ShowMessage(this, what);
                  return;
              }
              ShowStatusError(what + QStringLiteral(": ") + error->Reason());
              // The box says why, as the status line does.
              MessageBoxes().ShowMessage(this, what + u'\n' + error->Reason());
          };
    if (BeginConnect(*FSession, port, baudRate, AdrValue->text(), *FMessages, opened)
        && FSession->Port() == PortState::Opening)
        StatusPanel0->setText(QStringLiteral("Connecting to ") + port + QStringLiteral("…"));
}

void TForm1::ListPortsInBackground()
{
    FListedPorts = std::async(std::launch::async, ListPresentPorts);
    // Nothing crosses back from the thread but the list itself, taken from the future here.
    FPortListWatch = new QTimer(this);
    FPortListWatch->setInterval(10);
    connect(FPortListWatch, &QTimer::timeout, this, [this] { RunGuarded([this] { ShowPortList(); }); });
    FPortListWatch->start();
}

void TForm1::ShowPortList()
{
    if (!FListedPorts.valid() || FListedPorts.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    // Stopped now: inside a dialog's own event loop the deferred delete may wait, and a
    // tick meanwhile would ask a future already taken.
    FPortListWatch->stop();
    FPortListWatch->deleteLater();
    FPortListWatch = nullptr;
    const std::vector<PresentPort> ports = FListedPorts.get();
    // A port typed or chosen meanwhile stays in the box, and typing goes on where it was:
    // the list may come while the operator types.
    const QString shown = Combo->currentText();
    const int cursor = Combo->lineEdit()->cursorPosition();
    ReplacePortItems(Combo, PortEntries(ports, FSession->HasVirtualPort(kSimulatorPort)));
    if (!shown.isEmpty()) {
        Combo->setCurrentIndex(Combo->findText(shown, Qt::MatchExactly | Qt::MatchCaseSensitive));
        Combo->setEditText(shown);
        Combo->lineEdit()->setCursorPosition(cursor);
    }
}

void TForm1::ComboDropDown(QObject*)
{
    Combo->view()->setMinimumWidth(160);
    // Rebuilt at every opening so adapters plugged in since show up. The box keeps the
    // text it showed, so closing the list without a choice leaves the port as it was.
    const QString shown = Combo->currentText();
    ReplacePortItems(Combo, ListPortDescriptions(FSession->HasVirtualPort(kSimulatorPort)));
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

void TForm1::EnableSimulatorPort(VirtualPortMaker make)
{
    FSession->AddVirtualPort(kSimulatorPort, std::move(make));
    // The list read at start-up offers the entry at once, not only from the next
    // drop-down on; the text in the box stays as it is.
    const QString shown = Combo->currentText();
    if (Combo->findText(kSimulatorEntry, Qt::MatchExactly) < 0)
        Combo->addItem(kSimulatorEntry);
    Combo->setEditText(shown);
}

// ---- the Main page

int TForm1::dataRuleCheck(float value, float maximum)
{
    return ::dataRuleCheck(value, maximum, *FMessages);
}

void TForm1::fuZaiButtonClick(QObject*)
{
    SendLoadSetup(*FSession,
        { MaxV->text(), MaxI->text(), MaxP->text(), MinVOn->text(), MinVOff->text(), AutoOff->text(),
            CheckBox29->isChecked() },
        *FMessages);
}

void TForm1::modeButtonClick(QObject*)
{
    PatternEntries e;
    const std::pair<QRadioButton*, LoadPattern> patterns[] = { { loadI, LoadPattern::Current },
        { loadV, LoadPattern::Voltage }, { loadP, LoadPattern::Power }, { loadR, LoadPattern::Resistance },
        { loadS, LoadPattern::Short }, { loadD, LoadPattern::Transient } };
    for (const auto& [button, pattern] : patterns) {
        if (button->isChecked()) {
            e.pattern = pattern;
            break;
        }
    }
    const std::pair<LoadPattern, QLineEdit*> setPoints[] = { { LoadPattern::Current, ISet },
        { LoadPattern::Voltage, VSet }, { LoadPattern::Power, PSet }, { LoadPattern::Resistance, RSet } };
    for (const auto& [pattern, edit] : setPoints) {
        if (pattern == e.pattern)
            e.setPoint = edit->text();
    }
    e.transientCC = !TranType->isChecked();
    e.transientMode = TranMode0->isChecked() ? TransientMode::Continuous
        : TranMode1->isChecked()             ? TransientMode::Pulse
                                             : TransientMode::Triggered;
    e.levelA = TranA0->text();
    e.widthA = TranA1->text();
    e.levelB = TranB0->text();
    e.widthB = TranB1->text();
    SendLoadPattern(*FSession, e, *FMessages);
}

void TForm1::startButtonClick(QObject*)
{
    SwitchLoadInput(*FSession);
}

void TForm1::DButtonClick(QObject*)
{
    Trigger(*FSession, *FMessages);
}

void TForm1::MeasureMode0Click(QObject*)
{
    SenseChosen(false);
}

void TForm1::MeasureMode1Click(QObject*)
{
    SenseChosen(true);
}

void TForm1::SenseChosen(bool remote)
{
    if (SelectSense(*FSession, remote))
        return;
    // Not sent while the input is on: the buttons go back to what the instrument has.
    FApplyingReadBack = true;
    (remote ? MeasureMode0 : MeasureMode1)->setChecked(true);
    FApplyingReadBack = false;
    ShowNote(QStringLiteral("Switch the input off to change the sense mode"));
}

// ---- setting memories

void TForm1::BitBtn1Click(QObject*)
{
    SaveMemory(*FSession, FileNo->currentText(), *FMessages);
}

void TForm1::LoadFileClick(QObject*)
{
    RecallMemory(*FSession, FileNo->currentText(), *FMessages);
}

void TForm1::BitBtn2Click(QObject*)
{
    ReturnToPanel(*FSession, *FMessages);
}

void TForm1::Label73Click(QObject*)
{
    QDesktopServices::openUrl(QUrl(kAboutWebAddress));
}
