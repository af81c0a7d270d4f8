#pragma once
// What the "About" page shows: the banner picture, drawn here rather than shipped as an
// image file, the version and the maker's address.
#include "workflows/ProgramInfo.h"

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

inline const QString kAboutVersion = QStringLiteral("v") + kProgramVersion;
inline const QString kAboutCompany = QStringLiteral("Kelvaron Instruments Ltd.");
inline const QString kAboutStreet = QStringLiteral("12 Meridian Way");
inline const QString kAboutTown = QStringLiteral("GB  RG1 4XX  Reading");
inline const QString kAboutWebAddress = QStringLiteral("https://kelvaron.example/");

// The product banner: a dark blue gradient with the product name and a stylised load
// (a front panel with a reading and its two input terminals).
QPixmap DrawAboutBanner(QSize size);

// The program's icon (the installed desktop icon), drawn from its SVG at the usual sizes,
// so no image plugin is needed.
QIcon ProgramIcon();
