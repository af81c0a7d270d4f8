#pragma once
// What dcload, dcload-cli and dcload-sim share on their command lines: the Linux
// conventions (-h/--help with every default shown, --version, --option=value, an unknown
// option refused) and values checked where they are read, so that no number wraps, no
// "nan" runs a clock and no NUL cuts an address short further down.
#include "publish/PublishUrl.h"

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <stdexcept>

struct SharedResultsLocation;
struct SimOptions;

// The exit status of arguments that cannot be used, the same in the three programs.
inline constexpr int kBadArgumentsExit = 3;

// The fastest a simulator's clock may run (--time-scale): a real millisecond is then a
// quarter of an hour of the instrument's time, which empties any battery at once.
inline constexpr double kLargestTimeScale = 1e6;

// An argument that cannot be used; what() is the one-line message without the program's name.
class EBadArgument : public std::runtime_error
{
public:
    explicit EBadArgument(const QString& message);
};

// The operator's text as a message shows it: at most 200 characters (then "..."), control
// characters written as \xNN so that a NUL or a line break cannot cut the message short or
// forge a second line.
QString Clipped(const QString& text);
// The same in double quotes.
QString Quoted(const QString& text);

// Tells "program: message" on standard error.
void Complain(const QString& program, const QString& message);

class CommandLine
{
public:
    // `syntax` follows "Usage: program" in --help; `description` comes after it, `epilogue`
    // after the options (for example "Exit status:" and its lines).
    CommandLine(QString program, const QString& syntax, const QString& description, QString epilogue = {});

    // An option with a value. A default is shown in --help and is what Text() returns when
    // the option is not given; `defaultNote` replaces the shown default where it depends on
    // something else.
    void AddValue(const QString& name, const QString& valueName, const QString& description,
        const QString& defaultValue = {}, const QString& defaultNote = {});
    void AddFlag(const QString& name, const QString& description);
    // An option --help does not list (a tool's switch, not the operator's).
    void AddHiddenFlag(const QString& name);

    // Reads the arguments (argv[0] is the program). Returns nothing to go on, or the exit
    // status once --help or --version has been printed (0) or a refusal told (3).
    std::optional<int> Parse(const QStringList& arguments, const QString& versionLine);

    QString HelpText() const;
    bool IsSet(const QString& name) const;
    QString Text(const QString& name) const; // the value given last, or the default
    QStringList Texts(const QString& name) const; // every value given, in order
    QStringList Positional() const;
    // Every option given, by its long name, in the order they came.
    QStringList GivenOptions() const;

    // The readers refuse (throw EBadArgument, naming the option and quoting the value).
    // Digits only, lowest to highest.
    int Whole(const QString& name, long long lowest, long long highest, const QString& what) const;
    // A C-locale number (12.5, 1e3), finite, above `lowest` (or equal when lowestIncluded),
    // at most `highest`.
    double Decimal(
        const QString& name, double lowest, double highest, bool lowestIncluded, const QString& what) const;
    // A postgresql:// address of a shared results store.
    SharedResultsLocation ResultsLocation(const QString& name) const;

private:
    QString FProgram;
    QString FSyntax;
    QString FEpilogue;
    std::unique_ptr<QCommandLineParser> FParser; // held apart, so that a CommandLine can be returned
};

// The simulated battery's options (--cell, --cell-resistance, --cell-capacity), the same
// in dcload-sim and in dcload-cli's built-in simulator.
void AddCellOptions(CommandLine& line);
// Any of them puts the battery in every mode; without one, the battery mode keeps its 12 V
// block of 0.15 ohm and the other modes the bench supply. Throws EBadArgument.
void ReadCellOptions(const CommandLine& line, SimOptions& options);
// Whether any of them was given.
bool CellOptionsGiven(const CommandLine& line);

// Live readings over MQTT (--publish, --publish-password-file), the same in dcload and
// dcload-cli.
void AddPublishOptions(CommandLine& line);
struct PublishOptions
{
    PublishLocation location;
    QString password; // from --publish-password-file; never from the address
};
// Nothing without --publish. Throws EBadArgument: an address LivePublisher cannot use (one
// with a password is refused), a password file that cannot be read or is given without a user
// in the address, or a `station` that cannot be a topic level.
std::optional<PublishOptions> ReadPublishOptions(const CommandLine& line, const QString& station);
