#pragma once
// The pure rules of the battery and list tests: which entries a test accepts, the words
// and command texts of a list step, the caption of a step verdict, and the points the
// battery chart shows of a run.
#include <QList>
#include <QPointF>
#include <QString>
#include <optional>
#include <vector>

// Steps 0 to 14: the size of the step editor and of the step table.
inline constexpr int kListSteps = 15;
// The longest test period: the poll interval in milliseconds and the chart window (40
// periods) must stay far inside an int.
inline constexpr int kMaxTestPeriodSeconds = 86400;

// ---- accepted entries (nothing when the text is refused)

// "Test Period:": whole seconds, 1 to kMaxTestPeriodSeconds.
std::optional<int> TestPeriodSeconds(const QString& text);
// "List Nr.": the number of steps N, a whole number from 1 to kListSteps.
std::optional<int> ListStepCount(const QString& text);
// A step number as text ("0" to "14"; the step buttons and the instrument's reports).
std::optional<int> ListStepIndex(const QString& text);

// ---- words and commands of a list step

// Mode word of the item position in "CC", "CV", "CP", "CR", "SHORT", "OPEN";
// any other position (a typed text that is no item) is "cc".
QString ListModeWord(int itemIndex);
// SHORT and OPEN steps take no level, dwell or comparison.
bool ModeTakesLevel(const QString& modeWord);
// Compare word of the item position in "Current", "Voltage", "Power", "Off";
// any other position is "curr".
QString CompareWord(int itemIndex);

QString StepModeCommand(int step, const QString& modeWord);
QString StepLevelCommand(int step, const QString& value, const QString& delay);
// "off" sends the word alone; the limits are not part of the command then.
QString StepCompareCommand(int step, const QString& compareWord, const QString& low, const QString& high);

// "N/C", "PASS", "FAIL" for the verdicts "0", "1", "2"; empty for anything else.
QString StepVerdictCaption(const QString& verdict);

// ---- the battery chart

// Adds a point (x not below the last one) to the points shown in a chart window starting
// at minX. Keeps the cost of a point independent of the length of the run:
// - points left of the window go, except the one the line enters the window from;
// - points sharing one x (the instrument's time stands still after its cut-off) fold
//   into the first, lowest, highest and last of them, which draw the same line.
void AddWindowPoint(QList<QPointF>& shown, const QPointF& point, double minX);

// The points (x ascending) that draw the stretch minX to maxX on a plot `columns` pixels
// wide: in each pixel column the first, lowest, highest and last point, in time order, so
// the drawn envelope is exact; plus the point before the stretch and the one after it,
// where the line enters and leaves the plot. At most 4 * columns + 2 points however many
// readings the stretch holds.
QList<QPointF> ColumnPoints(const std::vector<QPointF>& points, double minX, double maxX, int columns);
