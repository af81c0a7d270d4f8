#include "ui/StepFiles.h"

#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"
#include "ui/main.h"
#include "workflows/InputRules.h"

#include <QAction>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSaveFile>

namespace {

const FileChoice kStepFile { QStringLiteral("List steps"), QStringLiteral("list-steps.json"),
    QStringLiteral("List programs (*.json);;All files (*)"), QStringLiteral("json") };

void Tell(TForm1& form, const QString& text)
{
    form.MessageBoxes().ShowMessage(&form, text);
}

} // namespace

std::optional<ListProgram> EditorProgram(TForm1& form)
{
    ListProgram program;
    const std::optional<int> steps = ListStepCount(form.ListSetNum->currentText());
    if (!steps) {
        Tell(
            form, QStringLiteral("\"List Nr.\" needs a whole number of steps from 1 to %1.").arg(kListSteps));
        return std::nullopt;
    }
    program.steps = *steps;
    program.autoStep = form.StepAuto->isChecked();
    program.repeat = form.StepRepeatY->isChecked();
    for (int n = 0; n < kListSteps; ++n) {
        const auto i = static_cast<size_t>(n);
        ListRow& row = program.rows[i];
        row.mode = form.ModeStep[i]->currentText().toUpper();
        const int compare = form.ListC[i]->currentIndex();
        row.compare = QStringList { "curr", "volt", "pow", "off" }.value(compare);
        row.value = form.ValStep[i]->text();
        row.delay = form.DelayStep[i]->text();
        row.low = form.LmtLStep[i]->text();
        row.high = form.LmtHStep[i]->text();
        if (ModeItem(row.mode) < 0 || CompareItem(row.compare) < 0) {
            Tell(form, QStringLiteral("Step %1: choose a mode and a compare from the lists.").arg(n));
            return std::nullopt;
        }
        for (const auto& [field, text] :
            { std::pair { "Value", row.value }, std::pair { "Delay Time", row.delay },
                std::pair { "Limit Low", row.low }, std::pair { "Limit High", row.high } }) {
            if (!PlainDecimal(text)) {
                Tell(form,
                    QStringLiteral("Step %1, \"%2\": a number such as 12.5 is needed, not \"%3\".")
                        .arg(n)
                        .arg(QLatin1String(field), text));
                return std::nullopt;
            }
        }
    }
    return program;
}

void ShowProgram(TForm1& form, const ListProgram& program)
{
    form.ListSetNum->setCurrentText(QString::number(program.steps));
    (program.autoStep ? form.StepAuto : form.StepTrig)->setChecked(true);
    (program.repeat ? form.StepRepeatY : form.StepRepeatN)->setChecked(true);
    for (int n = 0; n < kListSteps; ++n) {
        const auto i = static_cast<size_t>(n);
        const ListRow& row = program.rows[i];
        form.ModeStep[i]->setCurrentIndex(ModeItem(row.mode));
        form.ListC[i]->setCurrentIndex(CompareItem(row.compare));
        form.ValStep[i]->setText(row.value);
        form.DelayStep[i]->setText(row.delay);
        form.LmtLStep[i]->setText(row.low);
        form.LmtHStep[i]->setText(row.high);
    }
}

bool SaveSteps(TForm1& form, const QString& path)
{
    const std::optional<ListProgram> program = EditorProgram(form);
    if (!program)
        return false;
    // Written aside and renamed: a failed save leaves the earlier file whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(WriteListProgram(*program)) < 0 || !file.commit()) {
        Tell(
            form, QStringLiteral("The steps could not be saved to \"%1\": %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

bool LoadSteps(TForm1& form, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Tell(form, QStringLiteral("\"%1\" could not be read: %2").arg(path, file.errorString()));
        return false;
    }
    try {
        ShowProgram(form, ReadListProgram(file.readAll()));
    } catch (const EListFile& e) {
        Tell(form,
            QStringLiteral("\"%1\" is no list program. %2")
                .arg(QFileInfo(path).fileName(), QString::fromUtf8(e.what())));
        return false;
    }
    return true;
}

std::pair<QAction*, QAction*> InstallStepFileMenu(TForm1& form)
{
    QWidget* editor = form.GroupBox8;
    auto* save = new QAction(QStringLiteral("Save steps…"), editor);
    auto* load = new QAction(QStringLiteral("Load steps…"), editor);
    save->setObjectName(QStringLiteral("SaveStepsAction"));
    load->setObjectName(QStringLiteral("LoadStepsAction"));
    QObject::connect(save, &QAction::triggered, &form, [&form] {
        if (const auto path = AskFileToSave(&form, kStepFile))
            SaveSteps(form, *path);
    });
    QObject::connect(load, &QAction::triggered, &form, [&form] {
        if (const auto path = AskFileToOpen(&form, kStepFile))
            LoadSteps(form, *path);
    });
    editor->addActions({ save, load });
    editor->setContextMenuPolicy(Qt::ActionsContextMenu);
    return { load, save };
}
