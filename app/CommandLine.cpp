#include "app/CommandLine.h"

#include "sim/SimulatorHost.h"
#include "store/ResultsUrl.h"

#include <QLocale>
#include <QUrl>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

constexpr qsizetype kLongestQuote = 200;

QString Dashed(const QString& name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

} // namespace

QString Clipped(const QString& text)
{
    QString shown;
    const QString clipped = text.left(kLongestQuote);
    for (const QChar c : clipped) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    if (text.size() > kLongestQuote)
        shown += QStringLiteral("...");
    return shown;
}

EBadArgument::EBadArgument(const QString& message)
    : std::runtime_error(message.toStdString())
{ }

QString Quoted(const QString& text)
{
    return u'"' + Clipped(text) + u'"';
}

void Complain(const QString& program, const QString& message)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(program), qPrintable(message));
}

CommandLine::CommandLine(QString program, const QString& syntax, const QString& description, QString epilogue)
    : FProgram(std::move(program))
    , FSyntax(syntax)
    , FEpilogue(std::move(epilogue))
    , FParser(std::make_unique<QCommandLineParser>())
{
    FParser->setApplicationDescription(description);
    FParser->addOption(QCommandLineOption({ "h", "help" }, QStringLiteral("Shows this help and exits.")));
    FParser->addOption(
        QCommandLineOption(QStringLiteral("version"), QStringLiteral("Shows the version and exits.")));
}

void CommandLine::AddValue(const QString& name, const QString& valueName, const QString& description,
    const QString& defaultValue, const QString& defaultNote)
{
    QString text = description;
    if (const QString shown = defaultNote.isEmpty() ? defaultValue : defaultNote; !shown.isEmpty()) {
        const bool sentence = text.endsWith(u'.');
        if (sentence)
            text.chop(1);
        text += QStringLiteral(" (default: %1)").arg(shown) + (sentence ? QStringLiteral(".") : QString());
    }
    QCommandLineOption option(name, text, valueName);
    if (!defaultValue.isEmpty())
        option.setDefaultValue(defaultValue);
    FParser->addOption(option);
}

void CommandLine::AddFlag(const QString& name, const QString& description)
{
    FParser->addOption(QCommandLineOption(name, description));
}

void CommandLine::AddHiddenFlag(const QString& name)
{
    QCommandLineOption option(name);
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    FParser->addOption(option);
}

std::optional<int> CommandLine::Parse(const QStringList& arguments, const QString& versionLine)
{
    if (!FParser->parse(arguments)) {
        const QStringList unknown = FParser->unknownOptionNames();
        QString message = FParser->errorText();
        if (!unknown.isEmpty()) {
            // A single-dash word falls apart into letters; the word itself is what was typed.
            QString typed = Dashed(unknown.first());
            if (unknown.first().size() == 1) {
                for (const QString& argument : arguments.mid(1)) {
                    if (argument.startsWith(u'-') && !argument.startsWith(QStringLiteral("--"))
                        && argument.contains(unknown.first())) {
                        typed = argument.section(u'=', 0, 0);
                        break;
                    }
                }
            }
            message = QStringLiteral("unknown option %1 (%2 --help lists the options)")
                          .arg(Clipped(typed), FProgram);
        }
        Complain(FProgram, message);
        return kBadArgumentsExit;
    }
    if (FParser->isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(HelpText()), stdout);
        return 0;
    }
    if (FParser->isSet(QStringLiteral("version"))) {
        std::printf("%s\n", qPrintable(versionLine));
        return 0;
    }
    return std::nullopt;
}

QString CommandLine::HelpText() const
{
    // The parser's own usage line names the program as it was started (a path); the
    // manual page and the terminal want its name.
    QString text = FParser->helpText();
    text = QStringLiteral("Usage: %1 %2").arg(FProgram, FSyntax) + text.mid(text.indexOf(u'\n'));
    if (!FEpilogue.isEmpty())
        text += u'\n' + FEpilogue;
    return text;
}

bool CommandLine::IsSet(const QString& name) const
{
    return FParser->isSet(name);
}

QString CommandLine::Text(const QString& name) const
{
    return FParser->value(name);
}

QStringList CommandLine::Texts(const QString& name) const
{
    return FParser->values(name);
}

QStringList CommandLine::Positional() const
{
    return FParser->positionalArguments();
}

QStringList CommandLine::GivenOptions() const
{
    QStringList given;
    for (const QString& name : FParser->optionNames()) {
        if (!given.contains(name))
            given.append(name);
    }
    return given;
}

int CommandLine::Whole(const QString& name, long long lowest, long long highest, const QString& what) const
{
    const QString text = Text(name);
    bool digits = !text.isEmpty() && text.size() <= 18;
    for (const QChar c : text)
        digits = digits && c >= u'0' && c <= u'9';
    const long long value = digits ? text.toLongLong() : -1;
    if (!digits || value < lowest || value > highest)
        throw EBadArgument(QStringLiteral("--%1 needs %2 from %3 to %4, not %5")
                               .arg(name, what)
                               .arg(lowest)
                               .arg(highest)
                               .arg(Quoted(text)));
    return static_cast<int>(value);
}

double CommandLine::Decimal(
    const QString& name, double lowest, double highest, bool lowestIncluded, const QString& what) const
{
    const QString text = Text(name);
    bool ok = false;
    const double value = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(value) || value < lowest || (value == lowest && !lowestIncluded)
        || value > highest)
        throw EBadArgument(
            QStringLiteral("--%1 needs %2 %3 %4, at most %5, not %6")
                .arg(name, what, lowestIncluded ? QStringLiteral("from") : QStringLiteral("above"))
                .arg(QString::number(lowest, 'g', 15), QString::number(highest, 'g', 15), Quoted(text)));
    return value;
}

SharedResultsLocation CommandLine::ResultsLocation(const QString& name) const
{
    // The address is never quoted back: it may hold a password.
    const QString text = Text(name);
    if (text.contains(QChar(0)) || QUrl::fromPercentEncoding(text.toUtf8()).contains(QChar(0)))
        throw EBadArgument(QStringLiteral("--") + name
            + QStringLiteral(": the address must not hold a NUL (%00), which would cut it short on its way "
                             "to the database"));
    try {
        return ParseResultsUrl(text);
    } catch (const EResultsUrl& e) {
        throw EBadArgument(QStringLiteral("--%1: %2").arg(name, QString::fromUtf8(e.what())));
    }
}

void AddCellOptions(CommandLine& line)
{
    line.AddValue(QStringLiteral("cell"), QStringLiteral("li-ion|lead-acid"),
        QStringLiteral("Connects a battery to the load in every mode, in place of the 12 V bench supply: one "
                       "Li-ion cell (4.2 V full, 3.0 V empty) or a 12 V lead-acid block (12.6 V, 10.5 V)."),
        {}, QStringLiteral("li-ion once a --cell option is given, else the bench supply"));
    line.AddValue(QStringLiteral("cell-resistance"), QStringLiteral("OHM"),
        QStringLiteral("The battery's series resistance, 0 to 100 ohm; implies --cell."), {},
        QStringLiteral("0.05 with --cell, else 0.15 for the battery mode"));
    line.AddValue(QStringLiteral("cell-capacity"), QStringLiteral("AH"),
        QStringLiteral("The battery's capacity, above 0, at most 100000 Ah; implies --cell."),
        QStringLiteral("2"));
}

bool CellOptionsGiven(const CommandLine& line)
{
    return line.IsSet(QStringLiteral("cell")) || line.IsSet(QStringLiteral("cell-resistance"))
        || line.IsSet(QStringLiteral("cell-capacity"));
}

void ReadCellOptions(const CommandLine& line, SimOptions& options)
{
    const QString cell = QStringLiteral("cell"), resistance = QStringLiteral("cell-resistance"),
                  capacity = QStringLiteral("cell-capacity");
    if (!CellOptionsGiven(line))
        return;
    CellChemistry chemistry = CellChemistry::LiIon;
    if (line.IsSet(cell)) {
        const QString word = line.Text(cell);
        if (word == u"lead-acid")
            chemistry = CellChemistry::LeadAcid;
        else if (word != u"li-ion")
            throw EBadArgument(QStringLiteral("--cell needs li-ion or lead-acid, not %1").arg(Quoted(word)));
    }
    const CellVolts volts = ChemistryVolts(chemistry);
    options.cellInEveryMode = true;
    options.batteryChemistry = chemistry;
    options.batteryFullVolts = volts.full;
    options.batteryEmptyVolts = volts.empty;
    options.batteryInternalOhm = line.IsSet(resistance)
        ? line.Decimal(resistance, 0, 100, true, QStringLiteral("a resistance in ohm"))
        : 0.05;
    options.batteryCapacityAh = line.Decimal(capacity, 0, 100000, false, QStringLiteral("ampere-hours"));
}

void AddPublishOptions(CommandLine& line)
{
    line.AddValue(QStringLiteral("publish"), QStringLiteral("URL"),
        QStringLiteral("Publishes live readings, runs and the station's status to an MQTT broker: "
                       "mqtt://[USER@]HOST[:PORT]/TOPIC/PREFIX (port 1883), or mqtts://… for TLS (port "
                       "8883, checked against /etc/ssl/certs). Never put a password in it; see "
                       "docs/live-readings.md."),
        {}, QStringLiteral("none"));
    line.AddValue(QStringLiteral("publish-password-file"), QStringLiteral("FILE"),
        QStringLiteral("The broker's password for the USER of --publish: the first line of FILE."), {},
        QStringLiteral("none"));
}

std::optional<PublishOptions> ReadPublishOptions(const CommandLine& line, const QString& station)
{
    const QString publish = QStringLiteral("publish"), passwordFile = QStringLiteral("publish-password-file");
    if (!line.IsSet(publish)) {
        if (line.IsSet(passwordFile))
            throw EBadArgument(
                QStringLiteral("--publish-password-file is the password of --publish: add it"));
        return std::nullopt;
    }
    PublishOptions options;
    try {
        options.location = ParsePublishUrl(line.Text(publish));
        if (line.IsSet(passwordFile)) {
            if (options.location.user.isEmpty())
                throw EPublishSetup(QStringLiteral("a password needs a user in the address: "
                                                   "mqtt://USER@HOST/TOPIC/PREFIX"));
            options.password = ReadPasswordFile(line.Text(passwordFile));
        }
    } catch (const EPublishSetup& e) {
        throw EBadArgument(QStringLiteral("--%1: %2").arg(publish, QString::fromUtf8(e.what())));
    }
    if (!IsTopicLevel(station))
        throw EBadArgument(QStringLiteral("--station %1 cannot be a topic level of --publish: no /, + or #")
                               .arg(Quoted(station)));
    return options;
}
