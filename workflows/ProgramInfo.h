#pragma once
// The program's name as the operator sees it: the window's title and the caption of
// every message box.
#include <QString>

inline const QString kAppTitle = QStringLiteral("Kelvaron 4410/4420 DC Load Software");
