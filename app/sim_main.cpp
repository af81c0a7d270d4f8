// dcload-sim: the instrument simulator on a pseudo-terminal. Prints the port path as its
// first line, then answers the program until SIGINT or SIGTERM.
#include "app/CommandLine.h"
#include "sim/SimulatorHost.h"
#include "workflows/ProgramInfo.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

namespace {

// The line end a reply carries, by its word; nothing for a word that is none of them.
std::optional<std::string> Terminator(const QString& word)
{
    if (word == u"none")
        return "";
    if (word == u"cr")
        return "\r";
    if (word == u"lf")
        return "\n";
    if (word == u"crlf")
        return "\r\n";
    return std::nullopt;
}

// Control characters of a trace line made visible ("\r" as <CR>).
std::string Visible(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r')
            out += "<CR>";
        else if (c == '\n')
            out += "<LF>";
        else if (c < 0x20 || c == 0x7f)
            out += "<" + std::to_string(c) + ">";
        else
            out += static_cast<char>(c);
    }
    return out;
}

struct Listening
{
    std::string host;
    uint16_t port = 0;
};

// "HOST:PORT" with an IPv4 address; port 0 picks a free one.
Listening ParseListen(const QString& text)
{
    const qsizetype colon = text.lastIndexOf(u':');
    bool digits = colon > 0 && colon + 1 < text.size() && text.size() - colon - 1 <= 5;
    for (qsizetype i = colon + 1; digits && i < text.size(); ++i)
        digits = text[i] >= u'0' && text[i] <= u'9';
    const int port = digits ? text.mid(colon + 1).toInt() : -1;
    if (!digits || port > 65535 || text.left(colon).contains(QChar(0)))
        throw EBadArgument(
            QStringLiteral("--listen needs HOST:PORT with a port from 0 to 65535, not %1").arg(Quoted(text)));
    return Listening { text.left(colon).toStdString(), static_cast<uint16_t>(port) };
}

CommandLine Options()
{
    CommandLine line(QStringLiteral("dcload-sim"), QStringLiteral("[options]"),
        QStringLiteral(
            "The Kelvaron 4410/4420 DC load simulated on a pseudo-terminal. Prints the port's path\n"
            "as its first line (with --listen, the TCP address as its second) and answers the\n"
            "program on it until SIGINT or SIGTERM."));
    line.AddValue(QStringLiteral("delay"), QStringLiteral("MS"),
        QStringLiteral("Holds each reply back MS milliseconds, 0 to 60000."), QStringLiteral("20"));
    line.AddValue(QStringLiteral("time-scale"), QStringLiteral("X"),
        QStringLiteral("Runs the instrument's clock X times faster (battery, list dwell), above 0, at most "
                       "1000000."),
        QStringLiteral("1"));
    line.AddValue(QStringLiteral("terminator"), QStringLiteral("none|cr|lf|crlf"),
        QStringLiteral("Ends every reply with it."), QStringLiteral("none"));
    line.AddValue(QStringLiteral("listen"), QStringLiteral("HOST:PORT"),
        QStringLiteral("Also serves the instrument as a raw TCP stream on that IPv4 address, one client at a "
                       "time (port 0 picks a free one); the program reaches it with --port tcp://HOST:PORT."),
        {}, QStringLiteral("off"));
    line.AddValue(QStringLiteral("drop-once"), QStringLiteral("QUERY"),
        QStringLiteral("Leaves the next answer to QUERY unsent, as a line lost on the way; give it several "
                       "times to lose several answers."),
        {}, QStringLiteral("none"));
    AddCellOptions(line);
    line.AddFlag(QStringLiteral("verbose"),
        QStringLiteral("Traces every received line (<<) and reply (>>) on standard error."));
    return line;
}

// The simulator's settings from the arguments; throws EBadArgument.
SimOptions ReadOptions(const CommandLine& line, std::optional<Listening>& listen)
{
    if (!line.Positional().isEmpty())
        throw EBadArgument(QStringLiteral("unexpected argument %1").arg(Quoted(line.Positional().first())));
    SimOptions options;
    options.replyDelayMs = line.Whole(QStringLiteral("delay"), 0, 60000, QStringLiteral("milliseconds"));
    options.timeScale
        = line.Decimal(QStringLiteral("time-scale"), 0, kLargestTimeScale, false, QStringLiteral("a number"));
    const std::optional<std::string> terminator = Terminator(line.Text(QStringLiteral("terminator")));
    if (!terminator)
        throw EBadArgument(QStringLiteral("--terminator needs none, cr, lf or crlf, not %1")
                               .arg(Quoted(line.Text(QStringLiteral("terminator")))));
    options.terminator = *terminator;
    for (const QString& query : line.Texts(QStringLiteral("drop-once"))) {
        if (query.isEmpty())
            throw EBadArgument(QStringLiteral("--drop-once needs a query"));
        options.dropOnce.push_back(query.toStdString());
    }
    if (line.IsSet(QStringLiteral("listen")))
        listen = ParseListen(line.Text(QStringLiteral("listen")));
    ReadCellOptions(line, options);
    return options;
}
} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    CommandLine line = Options();
    if (const std::optional<int> done
        = line.Parse(arguments, QStringLiteral("dcload-sim %1 (%2)").arg(kProgramVersion, kAppTitle)))
        return *done;
    SimOptions options;
    std::optional<Listening> listen;
    try {
        options = ReadOptions(line, listen);
    } catch (const EBadArgument& e) {
        Complain(QStringLiteral("dcload-sim"), QString::fromUtf8(e.what()));
        return kBadArgumentsExit;
    }
    const bool verbose = line.IsSet(QStringLiteral("verbose"));

    // Blocked before the host's thread exists so that it inherits the mask and only
    // sigwait below receives the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    SimulatorHost host(options);
    if (verbose) {
        host.OnTraffic = [](SimulatorHost*, SimTraffic kind, const std::string& text) {
            const char* mark = kind == SimTraffic::Replied ? ">> "
                : kind == SimTraffic::Ignored              ? "<< (ignored) "
                                                           : "<< ";
            std::fprintf(stderr, "%s%s\n", mark, Visible(text).c_str());
        };
    }
    try {
        if (listen)
            host.Listen(listen->host, listen->port);
        host.Start();
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    std::cout << host.SlavePath().toStdString() << std::endl;
    if (listen)
        std::cout << "tcp://" << listen->host << ':' << host.ListenPort() << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    host.Stop();
    return 0;
}
