#pragma once
// A discharge profile as a file: a list of steps the program runs one after the other, and
// an optional limit on the whole run. Two forms carry the same content: a text of one
// English-like step per line ("Discharge at 2 A until 3.0 V") and a JSON object; the
// reader tells them apart by the first character ('{' is JSON). docs/profiles.md gives
// the grammar of both.
//
// Loops are kept as a tree, not expanded: a Repeat step holds its own steps and a count.
// The runner walks the tree, so a "Repeat 1000 times" costs no memory, and the text and
// JSON writers give back the file the operator wrote rather than an unrolled copy.
//
// Values are held in base units whatever the file used: A, V, W, ohm, seconds, Ah, Wh.
#include <QByteArray>
#include <QString>
#include <stdexcept>
#include <vector>

// A file that is no profile; what() reads "Line N: expected …, found …".
class EProfile : public std::runtime_error
{
public:
    EProfile(int line, const QString& expected, const QString& found);
    int line() const { return line_; }
    const QString& expected() const { return expected_; }

private:
    int line_;
    QString expected_;
};

// What ends a step or the run. A list of them ends at whichever is met first.
enum class EndKind {
    VoltageBelow, // V
    VoltageAbove, // V
    CurrentBelow, // A, for a hold
    Duration, // s
    Capacity, // Ah taken during the step (or the run)
    Energy, // Wh taken during the step (or the run)
};

struct EndCondition
{
    EndKind kind = EndKind::Duration;
    double value = 0;
    bool operator==(const EndCondition&) const = default;
};

// Sorted by kind, each kind at most once: the file may name them in any order.
using EndConditions = std::vector<EndCondition>;

enum class StepKind {
    DischargeCurrent, // setting in A
    DischargePower, // setting in W
    DischargeResistance, // setting in ohm
    HoldVoltage, // setting in V
    Rest, // input off; no setting
    Pulse, // setting in A for `seconds`
    MeasureResistance, // a pulse of `setting` A for `seconds`, reading the resistance
    Repeat, // `times` runs of `steps`
};

struct ProfileStep
{
    StepKind kind = StepKind::Rest;
    double setting = 0;
    double seconds = 0; // the length of a pulse
    EndConditions until; // discharge, hold and rest: at least one
    // A discharge may read the resistance on the way, every so many seconds or every so
    // many Ah taken; at most one of the two is non-zero.
    double resistanceEverySeconds = 0;
    double resistanceEveryAmpHours = 0;
    // The current of those measurements' pulse in A; 0 leaves it to the runner (twice the
    // step's current, within the instrument's current limit).
    double resistancePulseCurrent = 0;
    int times = 0; // Repeat
    std::vector<ProfileStep> steps; // Repeat
    int line = 0; // where the step stood in the file; not part of the content

    bool operator==(const ProfileStep& other) const;
};

struct Profile
{
    std::vector<ProfileStep> steps; // at least one
    EndConditions limit; // the whole run stops at whichever is met first
    int limitLine = 0; // not part of the content

    bool operator==(const Profile& other) const;
};

Profile ReadProfile(const QByteArray& text); // text or JSON; throws EProfile
QByteArray WriteProfileText(const Profile& profile);
QByteArray WriteProfileJson(const Profile& profile);

// The lowest voltage any step's "below" end condition or the run's limit names, for a
// backstop that stops the load whatever step is running; 0 when the profile names none.
double LowestCutOff(const Profile& profile);
