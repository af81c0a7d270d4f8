#pragma once
// What the window remembers from one start to the next, in the standard place under the
// user's config folder (dcload/dcload.ini): the port, baud rate and address, the battery
// parameters, the list program in the editor, the sense selection and the window's
// position. Restoring only fills the window: nothing goes to the instrument because of it.
#include <QHash>
#include <QString>
#include <memory>

class QSettings;
class QWidget;
class TForm1;

// The program's settings file.
std::unique_ptr<QSettings> OpenWindowSettings();

// The remembered controls' saved texts, by object name.
using RememberedControls = QHash<QString, QString>;

// Moves `form` where it was (onto a screen that is still there) and returns what its
// controls showed. Nothing is shown in them yet: the pages are built when first shown.
RememberedControls RestoreWindowPosition(TForm1& form, QSettings& settings);
// Shows the held texts in the controls of `form` that are built, and drops those from
// `held`; a control whose saved value it cannot show keeps what it shows.
void RestoreControls(TForm1& form, RememberedControls& held);
// Saves what `form` shows. A page never built keeps what the file holds for it.
void SaveWindowSettings(TForm1& form, QSettings& settings);

// Shows `text` in a line edit, or selects it in a combo box (typed in when no item has it
// and the box takes typing); other controls are left as they are.
void ShowInControl(QWidget* control, const QString& text);
