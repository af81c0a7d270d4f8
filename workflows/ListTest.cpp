// The list test: "Set" puts the instrument into list mode, each step button sends its
// step, the start button runs the list, and the instrument's final report is shown and
// stored as one row per step.
#include "replies/MeasurementCuts.h"
#include "store/ResultsQuery.h"
#include "ui/main.h"
#include "workflows/TestRules.h"

#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <stdexcept>

static_assert(kSteps == kListSteps, "the step editor and the list rules must agree on the number of steps");

namespace {

// The position of the item the combo box shows; -1 when its text (typed into the
// editable box) is not that item.
int ShownItem(const QComboBox* box)
{
    const int item = box->currentIndex();
    return item >= 0 && box->itemText(item) == box->currentText() ? item : -1;
}

bool IsShortOrOpen(const QComboBox* mode)
{
    return !ModeTakesLevel(ListModeWord(ShownItem(mode)));
}

void Colour(QLabel* panel, const QColor& colour)
{
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, colour);
    panel->setPalette(palette);
    panel->setAutoFillBackground(true);
}

// The controls of one row of the step editor, found by their names: a prefix plus the
// step number, without regard to letter case ("valStep3" finds ValStep3).
template <typename Control> Control* RowControl(const QObject* form, const char* prefix, int step)
{
    const QString name = QString::fromLatin1(prefix) + QString::number(step);
    for (Control* control : form->findChildren<Control*>()) {
        if (control->objectName().compare(name, Qt::CaseInsensitive) == 0)
            return control;
    }
    throw std::logic_error("The step editor has no control \"" + name.toStdString() + "\".");
}

int StepOf(const QString& step)
{
    const std::optional<int> index = ListStepIndex(step);
    if (!index)
        throw std::out_of_range(
            "There is no list step \"" + step.toStdString() + "\": the steps are 0 to 14.");
    return *index;
}

} // namespace

void TForm1::LSetButtonClick(QObject*)
{
    Pause(200);
    // Checked before anything is queued, so a refused number leaves the pending
    // commands as they were and nothing outside steps 0 to 14 is ever addressed.
    const std::optional<int> steps = ListStepCount(ListSetNum->currentText());
    if (!steps) {
        MessageBoxes().ShowMessage(this,
            QStringLiteral("The List Nr. must be a whole number of steps from 1 to %1!").arg(kListSteps));
        return;
    }
    const QString listMode = QStringLiteral("load:mode list");
    ReplaceQueue({ { listMode, 0 }, { listMode, 0 }, { listMode, 0 } });
    QueueCommand(
        StepAuto->isChecked() ? QStringLiteral("list:smod auto") : QStringLiteral("list:smod trig"), 0);
    QueueCommand(
        StepRepeatY->isChecked() ? QStringLiteral("list:rep on") : QStringLiteral("list:rep off"), 0);
    LastListStep = *steps - 1;
    QueueCommand(QStringLiteral("list:snum ") + QString::number(LastListStep), 0);
    startButtonL->setEnabled(true);
    for (QPushButton* button : StepButton)
        button->setEnabled(true);
}

void TForm1::ListSet(const QString& step)
{
    const int n = StepOf(step);
    const auto* mode = RowControl<QComboBox>(this, "ModeStep", n);
    TStepRecord& record = StepTable[static_cast<size_t>(n)];

    record.LoadPattern = mode->currentText();
    const QString modeWord = ListModeWord(ShownItem(mode));
    std::vector<CommandPipeline::Entry> commands { { StepModeCommand(n, modeWord), 0 } };
    if (!ModeTakesLevel(modeWord)) {
        record.Setpoint = QStringLiteral("0");
    } else {
        record.Setpoint = RowControl<QLineEdit>(this, "valStep", n)->text();
        commands.emplace_back(
            StepLevelCommand(n, record.Setpoint, RowControl<QLineEdit>(this, "DelayStep", n)->text()), 0);

        const QString compareWord = CompareWord(ShownItem(RowControl<QComboBox>(this, "ListC", n)));
        if (compareWord == u"off") {
            record.LowLimit = QStringLiteral("0");
            record.HighLimit = QStringLiteral("0");
        } else {
            record.LowLimit = RowControl<QLineEdit>(this, "LmtLStep", n)->text();
            record.HighLimit = RowControl<QLineEdit>(this, "LmtHStep", n)->text();
        }
        commands.emplace_back(StepCompareCommand(n, compareWord, record.LowLimit, record.HighLimit), 0);
    }
    // The step's commands go out together or not at all (a pasted ">" refuses them all).
    QueueCommands(commands);
}

void TForm1::ValueSet(const QString& step)
{
    const int n = StepOf(step);
    const bool takesLevel = !IsShortOrOpen(RowControl<QComboBox>(this, "ModeStep", n));
    RowControl<QLineEdit>(this, "valStep", n)->setEnabled(takesLevel);
    RowControl<QLineEdit>(this, "DelayStep", n)->setEnabled(takesLevel);
}

void TForm1::startButtonLClick(QObject*)
{
    if (startButtonL->text() != u"Begin") {
        QueueCommand(QStringLiteral("load off"), 0);
        startButtonL->setText(QStringLiteral("Begin"));
        fetchTimer->stop();
        return;
    }
    QueueCommand(QStringLiteral("load on"), 0);
    startButtonL->setText(QStringLiteral("Stop"));
    for (QLabel* panel : { ListR1, ListR2, ListR3 })
        Colour(panel, Qt::black);
    for (int n = 0; n < kSteps; ++n) {
        RowControl<QLabel>(this, "cRes", n)->clear();
        // The editor may have changed since the step buttons were pressed; the rows
        // stored at the end describe what it shows now. Readings stay as they are.
        TStepRecord& record = StepTable[static_cast<size_t>(n)];
        record.LoadPattern = RowControl<QComboBox>(this, "ModeStep", n)->currentText();
        const QLineEdit* value = RowControl<QLineEdit>(this, "valStep", n);
        record.Setpoint = value->isEnabled() ? value->text() : QStringLiteral("0");
        if (CompareWord(ShownItem(RowControl<QComboBox>(this, "ListC", n))) == u"off") {
            record.LowLimit = QStringLiteral("0");
            record.HighLimit = QStringLiteral("0");
        } else {
            record.LowLimit = RowControl<QLineEdit>(this, "LmtLStep", n)->text();
            record.HighLimit = RowControl<QLineEdit>(this, "LmtHStep", n)->text();
        }
    }
    fetchTimer->start();
}

void TForm1::TrigButtonClick(QObject*)
{
    QueueCommand(QStringLiteral("trig"), 0);
}

void TForm1::StepReadingArrived(const StepReading& reading)
{
    if (reading.stepIndex < 0 || reading.stepIndex >= kSteps)
        throw std::out_of_range("The instrument reported list step " + std::to_string(reading.stepIndex)
            + "; the steps are 0 to 14.");
    TStepRecord& record = StepTable[static_cast<size_t>(reading.stepIndex)];
    record.Nr = reading.step;
    record.mValueV = reading.voltage;
    record.mValueI = reading.current;
}

void TForm1::ListVerdictArrived(const QString& reply)
{
    switch (ListVerdict(reply)) {
    case 0:
        Colour(ListR1, QColor(0, 0, 255));
        break;
    case 1:
        Colour(ListR2, QColor(128, 255, 128));
        break;
    case 2:
        Colour(ListR3, QColor(255, 0, 0));
        break;
    default:
        break;
    }

    const int lastStep = std::clamp(LastListStep, 0, kSteps - 1);
    int judged = 0;
    while (judged <= lastStep) {
        const QString verdict = StepVerdict(reply, judged);
        if (verdict.size() != 1 || !verdict[0].isDigit())
            break;
        TStepRecord& record = StepTable[static_cast<size_t>(judged)];
        record.Result = verdict;
        ADOQuery1->Insert(
            { record.Nr, record.LoadPattern, record.Setpoint, record.mValueV, record.mValueI, record.LowLimit,
                record.HighLimit, MeasurementTimestamp(QDateTime::currentDateTime()), record.Result });
        ShowNewestRow(DBGrid1);
        RowControl<QLabel>(this, "cRes", judged)->setText(StepVerdictCaption(verdict));
        ++judged;
    }
    if (judged <= lastStep) {
        // A cut-short report: what it judged is kept, the run goes on so that a complete
        // report still counts.
        ShowGeneralError(QStringLiteral("The list report \"%1\" holds verdicts for %2 of %3 steps.")
                             .arg(reply.trimmed())
                             .arg(judged)
                             .arg(lastStep + 1));
        return;
    }
    if (!StepRepeatY->isChecked())
        startButtonL->setText(QStringLiteral("Begin"));
}
