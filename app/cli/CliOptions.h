#pragma once
// dcload-cli's arguments: the option table, its --help, and every value read and checked
// before the port is opened, so that a bad argument never leaves an instrument half set up.
#include "app/CommandLine.h"
#include "sim/SimulatorHost.h"
#include "store/ResultsUrl.h"
#include "workflows/ListFile.h"
#include "workflows/Profile.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

enum class CliCommand { Measure, Battery, List, Send, Profile, Report, Runs, Export };

// Report, Runs and Export read the shared results store only: no instrument is involved.
bool ReadsStoreOnly(CliCommand command);

// The exit statuses of dcload-cli.
enum CliExit { Done = 0, StepFailed = 1, PortFailed = 2, BadArguments = 3 };

struct CliOptions
{
    CliCommand command = CliCommand::Measure;
    QString port; // as typed: a path, a listed name, "sim", tcp:// or rfc2217://
    int baud = 9600;
    QString address = QStringLiteral("8"); // digits, 0 to 254
    SimOptions simulator; // the built-in simulator's clock (timeScale) and battery
    int replyTimeoutMs = 1000;
    bool json = false;
    bool trace = false;
    std::optional<SharedResultsLocation> results;
    QString station; // with results or publish
    std::optional<PublishOptions> publish; // live readings over MQTT

    double measurePeriodSeconds = 0.3;
    int count = 0; // measure: 0 reads until stopped

    QString current; // battery: plain decimals, checked against the instrument once connected
    QString cutOff;
    int batteryPeriodSeconds = 1;

    QString stepsFile; // list
    ListProgram program;

    QString text; // send

    QString profileFile; // profile: the file as named, its text and what it says
    QByteArray profileText;
    Profile profile;

    QString runId; // report, export: a run of the shared results store (the start of its id)
    QDateTime since; // runs: only those started at or after it; invalid: all
    QString pdf; // report: the file written

    QString csv; // battery, list and profile: the readings' file
    QString bdf; // battery and profile: the readings as a Battery Data Format file
    bool force = false; // the csv, bdf or pdf file may replace one that exists
};

// Reads the arguments (argv[0] first). Nothing to go on, or the exit status once --help or
// --version has been printed or a refusal has been told on standard error.
std::optional<int> ReadCliOptions(const QStringList& arguments, CliOptions& options);
