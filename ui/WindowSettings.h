#pragma once
// What the window remembers from one start to the next, in the standard place under the
// user's config folder (dcload/dcload.ini): the port, baud rate and address, the battery
// parameters, the list program in the editor, the sense selection and the window's
// position. Restoring only fills the window: nothing goes to the instrument because of it.
#include <memory>

class QSettings;
class QString;
class QWidget;
class TForm1;

// The program's settings file.
std::unique_ptr<QSettings> OpenWindowSettings();

// Shows what `settings` holds in `form`; a control with nothing saved, or whose saved
// value it cannot show, keeps what it shows.
void RestoreWindowSettings(TForm1& form, QSettings& settings);
// Saves what `form` shows.
void SaveWindowSettings(TForm1& form, QSettings& settings);

// Shows `text` in a line edit, or selects it in a combo box (typed in when no item has it
// and the box takes typing); other controls are left as they are.
void ShowInControl(QWidget* control, const QString& text);
