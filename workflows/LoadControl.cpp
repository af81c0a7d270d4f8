// The operator's direct control of the load on the Main page: protection limits, load
// pattern, input on/off, trigger, sensing, and the rule that keeps a running test's page
// in front.
#include "replies/Numbers.h"
#include "ui/main.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <iterator>

namespace {

constexpr int kMainPage = 0;
constexpr int kBatteryPage = 1;
constexpr int kListPage = 2;

bool Runs(const QPushButton* startButton)
{
    return startButton->text() == u"Stop";
}

// The sense command goes out three times, one line per pacing tick.
std::vector<CommandPipeline::Entry> SenseCommands(const QString& command)
{
    return { { command, 0 }, { command, 0 }, { command, 0 } };
}

} // namespace

void TForm1::fuZaiButtonClick(QObject*)
{
    fetchTimer->stop();
    for (const QLineEdit* edit : { MaxV, MaxI, MaxP, MinVOn, MinVOff }) {
        if (RefuseEmpty(edit))
            return;
    }
    // Each maximum is stored right after its command is queued, so a text that is not a
    // number ends the action with the commands before it already on their way.
    QueueCommand(QStringLiteral("mset:vmax ") + MaxV->text(), 0);
    StoredVoltageMax = StrToFloat(MaxV->text());
    QueueCommand(QStringLiteral("mset:imax ") + MaxI->text(), 0);
    StoredCurrentMax = StrToFloat(MaxI->text());
    QueueCommand(QStringLiteral("mset:pmax ") + MaxP->text(), 0);
    StoredPowerMax = StrToFloat(MaxP->text());
    QueueCommand(QStringLiteral("mset:von ") + MinVOn->text(), 0);
    QueueCommand(QStringLiteral("mset:voff ") + MinVOff->text(), 0);
    if (CheckBox29->isChecked())
        QueueCommand(QStringLiteral("mset:aoff ") + AutoOff->text(), 0);
}

void TForm1::modeButtonClick(QObject*)
{
    fetchTimer->stop();

    struct SetPointPattern
    {
        QRadioButton* button;
        QLineEdit* edit;
        double maximum;
        const char* mode;
        const char* command;
    };
    const SetPointPattern setPoints[] = {
        { loadI, ISet, StoredCurrentMax, "load:mode cc", "load:curr " },
        { loadV, VSet, StoredVoltageMax, "load:mode cv", "load:volt " },
        { loadP, PSet, StoredPowerMax, "load:mode cp", "load:pow " },
        { loadR, RSet, ResistanceMax, "load:mode cr", "load:res " },
    };
    const auto* setPoint = std::find_if(std::begin(setPoints), std::end(setPoints),
        [](const SetPointPattern& p) { return p.button->isChecked(); });
    if (setPoint != std::end(setPoints)) {
        if (RefuseEmpty(setPoint->edit))
            return;
        const QString text = setPoint->edit->text();
        // A refused value keeps whatever was pending; "Begin" becomes pressable all the same.
        if (dataRuleCheck(static_cast<float>(StrToFloat(text)), static_cast<float>(setPoint->maximum)) == 2)
            ReplaceQueue({ { QString::fromLatin1(setPoint->mode), 0 },
                { QString::fromLatin1(setPoint->command) + text, 0 } });
    } else if (loadS->isChecked()) {
        ReplaceQueue({ { QStringLiteral("load:mode sh"), 0 } });
    } else if (loadD->isChecked()) {
        ReplaceQueue({ { QStringLiteral("load:mode tran"), 0 } });
        QueueCommand(QStringLiteral("tran:lmod ")
                + (TranType->isChecked() ? QStringLiteral("cv") : QStringLiteral("cc")),
            0);
        const QString mode = TranMode0->isChecked() ? QStringLiteral("cont")
            : TranMode1->isChecked()                ? QStringLiteral("puls")
                                                    : QStringLiteral("trig");
        QueueCommand(QStringLiteral("tran:tmod ") + mode, 0);
        QueueCommand(QStringLiteral("tran:leva ") + TranA0->text() + u',' + TranA1->text(), 0);
        QueueCommand(QStringLiteral("tran:levb ") + TranB0->text() + u',' + TranB1->text(), 0);
    }
    startButton->setEnabled(true);
}

void TForm1::startButtonClick(QObject*)
{
    if (startButton->text() == u"Begin") {
        QueueCommand(QStringLiteral("load on"), 0);
        startButton->setText(QStringLiteral("Stop"));
        fuZaiButton->setEnabled(false);
        modeButton->setEnabled(false);
        fetchTimer->start();
    } else {
        QueueCommand(QStringLiteral("load off"), 0);
        startButton->setText(QStringLiteral("Begin"));
        fuZaiButton->setEnabled(true);
        modeButton->setEnabled(true);
        fetchTimer->stop();
    }
}

void TForm1::DButtonClick(QObject*)
{
    QueueCommand(QStringLiteral("trig"), 0);
}

// The sense handlers are wired to the buttons' clicked(), which only the operator's own
// selection raises: a read-back that selects "Local" or "Remote" must not replace the
// queue and with it the read-back queries still pending.
void TForm1::MeasureMode0Click(QObject*)
{
    if (MeasureMode0->isChecked() && startButton->text() == u"Begin")
        ReplaceQueue(SenseCommands(QStringLiteral("mset:rsen off")));
}

void TForm1::MeasureMode1Click(QObject*)
{
    if (MeasureMode1->isChecked() && startButton->text() == u"Begin")
        ReplaceQueue(SenseCommands(QStringLiteral("mset:rsen on")));
}

void TForm1::PageControl1Change(QObject*)
{
    if (PageShownByProgram)
        return;
    const int selected = PageControl1->currentIndex();
    if (selected != kMainPage && selected != kBatteryPage && selected != kListPage)
        return;
    TestMode = selected;

    // At most one test runs at a time, so at most one check holds.
    int shown = selected;
    if (selected == kMainPage) {
        if (Runs(startButtonB))
            shown = kBatteryPage;
        else if (Runs(startButtonL))
            shown = kListPage;
    } else if (selected == kBatteryPage) {
        if (Runs(startButton))
            shown = kMainPage;
        else if (Runs(startButtonL))
            shown = kListPage;
    } else {
        if (Runs(startButtonB))
            shown = kBatteryPage;
        else if (Runs(startButton))
            shown = kMainPage;
    }
    if (shown != selected) {
        ShowPage(shown);
        TestMode = shown;
    }

    // The list must be sent again before it can be started or stepped. A list that runs
    // keeps its "Stop": otherwise the operator could not switch its load off.
    if (selected == kListPage) {
        if (!Runs(startButtonL))
            startButtonL->setEnabled(false);
        for (QPushButton* step : StepButton)
            step->setEnabled(false);
    }
}

void TForm1::ShowPage(int index)
{
    PageShownByProgram = true;
    PageControl1->setCurrentIndex(index);
    PageShownByProgram = false;
}
