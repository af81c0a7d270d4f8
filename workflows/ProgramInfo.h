#pragma once
// The program's name as the operator sees it: the window's title and the caption of
// every message box.
#include <QString>

inline const QString kAppTitle = QStringLiteral("Kelvaron 4410/4420 DC Load Software");
// The program's version, shown by --version and on the "About" page.
inline const QString kProgramVersion = QStringLiteral("1.0.2");
