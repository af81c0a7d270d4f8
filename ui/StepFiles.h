#pragma once
// The list page's step editor as a list program file: "Save steps…" and "Load steps…"
// on its context menu. The file is the one `dcload-cli list --steps` reads.
#include "workflows/ListFile.h"

#include <QString>
#include <optional>
#include <utility>

class QAction;

class TForm1;

// What the editor shows, as a program; nothing (and the operator told which step and
// field) when a field holds what a file could not be read back from.
std::optional<ListProgram> EditorProgram(TForm1& form);
// Puts a program into the editor: step count, stepping, repeat and every row.
void ShowProgram(TForm1& form, const ListProgram& program);

// Writes the editor to `path`; a failure is told to the operator. Whether it was written.
bool SaveSteps(TForm1& form, const QString& path);
// Reads `path` into the editor. A file that is no list program is refused with the line
// and field at fault, and the editor stays as it was. Whether it was loaded.
bool LoadSteps(TForm1& form, const QString& path);

// The two entries on the editor's context menu: load, then save.
std::pair<QAction*, QAction*> InstallStepFileMenu(TForm1& form);
