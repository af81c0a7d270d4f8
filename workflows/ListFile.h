#pragma once
// A list program as a file: how many steps, how they advance, whether the list repeats,
// and the fifteen rows of the step editor. JSON, one object:
//
//   { "steps": 3, "stepping": "auto", "repeat": false,
//     "rows": [ { "mode": "CC", "value": "0.2", "delay": "5", "compare": "curr",
//                 "low": "0.1", "high": "0.3" }, ... ] }
//
// "stepping" is "auto" or "trigger"; a row's "mode" is CC, CV, CP, CR, SHORT or OPEN and
// its "compare" curr, volt, pow or off. Values are texts, sent as they stand, so they
// obey the rules of the step editor: plain decimal numbers. Rows past the last step may be
// left out.
#include "workflows/TestRules.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <stdexcept>

// A file that is no list program; what() names the line and the field.
class EListFile : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct ListRow
{
    QString mode = QStringLiteral("CC");
    QString value = QStringLiteral("0.2");
    QString delay = QStringLiteral("5");
    QString compare = QStringLiteral("curr");
    QString low = QStringLiteral("0.1");
    QString high = QStringLiteral("0.3");
    bool operator==(const ListRow&) const = default;
};

struct ListProgram
{
    int steps = 2; // 1 to 15
    bool autoStep = true;
    bool repeat = false;
    std::array<ListRow, kListSteps> rows {};
    bool operator==(const ListProgram&) const = default;
};

// The mode's item in the editor ("CC" 0 … "OPEN" 5), and the compare word's ("curr" 0 …
// "off" 3); -1 for a text that is none of them.
int ModeItem(const QString& mode);
int CompareItem(const QString& word);

ListProgram ReadListProgram(const QByteArray& json); // throws EListFile
QByteArray WriteListProgram(const ListProgram& program);
