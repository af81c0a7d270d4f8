#include "ui/WindowSettings.h"

#include "ui/main.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QSignalBlocker>
#include <vector>

namespace {

const QString kControls = QStringLiteral("controls");
const QString kPosition = QStringLiteral("window/position");

// Every control remembered that is built (a page not yet shown has none), by its object name.
std::vector<QWidget*> Remembered(TForm1& form)
{
    std::vector<QWidget*> controls { form.Combo, form.BaudRate, form.AdrValue, form.BChargeI, form.BOffV,
        form.testInteral, form.MeasureMode0, form.MeasureMode1, form.ListSetNum, form.StepTrig, form.StepAuto,
        form.StepRepeatY, form.StepRepeatN };
    for (size_t n = 0; n < kListSteps; ++n)
        controls.insert(controls.end(),
            { form.ModeStep[n], form.ValStep[n], form.DelayStep[n], form.ListC[n], form.LmtLStep[n],
                form.LmtHStep[n] });
    std::erase(controls, nullptr);
    return controls;
}

QString Shown(const QWidget* control)
{
    if (const auto* edit = qobject_cast<const QLineEdit*>(control))
        return edit->text();
    if (const auto* box = qobject_cast<const QComboBox*>(control))
        return box->currentText();
    if (const auto* radio = qobject_cast<const QRadioButton*>(control))
        return radio->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
    return {};
}

} // namespace

void ShowInControl(QWidget* control, const QString& text)
{
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        edit->setText(text);
    } else if (auto* box = qobject_cast<QComboBox*>(control)) {
        // The matching item, or the text as typed.
        const int item = box->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (item >= 0)
            box->setCurrentIndex(item);
        else if (box->isEditable())
            box->setEditText(text);
    }
}

std::unique_ptr<QSettings> OpenWindowSettings()
{
    return std::make_unique<QSettings>(
        QSettings::IniFormat, QSettings::UserScope, QStringLiteral("dcload"), QStringLiteral("dcload"));
}

RememberedControls RestoreWindowPosition(TForm1& form, QSettings& settings)
{
    RememberedControls held;
    settings.beginGroup(kControls);
    for (const QString& name : settings.childKeys())
        held.insert(name, settings.value(name).toString());
    settings.endGroup();
    // Only onto a screen that is still there.
    const QPoint position = settings.value(kPosition).toPoint();
    if (settings.contains(kPosition) && QGuiApplication::screenAt(position + QPoint(40, 40)))
        form.move(position);
    return held;
}

void RestoreControls(TForm1& form, RememberedControls& held)
{
    if (held.isEmpty())
        return;
    for (QWidget* control : Remembered(form)) {
        const auto saved = held.constFind(control->objectName());
        if (saved == held.cend())
            continue;
        if (auto* radio = qobject_cast<QRadioButton*>(control)) {
            // Chosen without a click: the sense buttons act only on the operator's
            // choice, and never at start-up.
            const QSignalBlocker quiet(radio);
            if (*saved == u"1")
                radio->setChecked(true);
        } else {
            ShowInControl(control, *saved);
        }
        held.erase(saved);
    }
}

void SaveWindowSettings(TForm1& form, QSettings& settings)
{
    for (const QWidget* control : Remembered(form))
        settings.setValue(kControls + u'/' + control->objectName(), Shown(control));
    settings.setValue(kPosition, form.pos());
    settings.sync();
}
