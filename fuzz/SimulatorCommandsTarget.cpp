// The simulated instrument fed lines as its pseudo-terminal host feeds them: ended by
// carriage returns, line feeds dropped. A line "@N" instead moves its clock on by N
// seconds. Every reply must be one the program reads without complaint, since the
// simulator stands in for the instrument in the tests and for the operator.
#include "fuzz/FuzzTargets.h"
#include "replies/MeasurementCuts.h"
#include "replies/Numbers.h"
#include "replies/ReadBack.h"
#include "sim/InstrumentModel.h"
#include "workflows/InputRules.h"

#include <QHash>
#include <QRegularExpression>
#include <charconv>
#include <cmath>

namespace {

// Simulated seconds one input may spend in all: the battery is modelled in one-second
// slices, and a default discharge takes about 24 000 of them.
constexpr double kSecondsPerInput = 3e5;

std::string Key(const std::string& line)
{
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    std::string key = line.substr(first, line.find_last_not_of(" \t") - first + 1);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return key;
}

ReplyCode ReadBackCode(const std::string& key)
{
    static const QHash<QString, ReplyCode> codes = [] {
        QHash<QString, ReplyCode> c;
        for (const ReadBackQuery& q : ReadBackQueries())
            c.insert(q.command, q.code);
        return c;
    }();
    return codes.value(QString::fromStdString(key), ReplyCode::None);
}

void Readable(const std::string& line, const std::string& reply, const std::string& what, bool ok)
{
    Promise(ok, what + " for \"" + line + "\": \"" + reply + "\"");
}

template <class Cut> void Cuts(const std::string& line, const std::string& reply, Cut&& cut)
{
    try {
        cut();
    } catch (const EBadReading& e) {
        Readable(line, reply, e.what(), false);
    } catch (const EConvertError& e) {
        Readable(line, reply, e.what(), false);
    }
}

void CheckFetch(const InstrumentModel& model, const std::string& line, const std::string& reply)
{
    const QString text = QString::fromStdString(reply);
    switch (model.Settings().mode) {
    case LoadMode::Battery:
        Cuts(line, reply, [&] { CutBatteryReading(text); });
        return;
    case LoadMode::List: {
        if (text.startsWith(u"L2")) {
            Cuts(line, reply, [&] {
                const StepReading r = CutStepReading(text);
                Readable(line, reply, "step out of range", r.stepIndex >= 0 && r.stepIndex < kListSteps);
            });
        } else {
            static const QRegularExpression report(QStringLiteral("^L3:[0-2](,[0-2])*$"));
            Readable(line, reply, "list reply", text == u"L1:0" || report.match(text).hasMatch());
        }
        return;
    }
    default:
        Cuts(line, reply, [&] { CutMainReading(text); });
        return;
    }
}

// The window shows the read-back texts in fields it later sends as plain numbers.
void CheckReadBack(ReplyCode code, const std::string& line, const std::string& reply)
{
    const ReadBackResult r = ReadBack(code, QString::fromStdString(reply));
    Readable(line, reply, "read back nothing", !r.texts.empty() || !r.select.isEmpty());
    for (const auto& [control, value] : r.texts) {
        if (control.startsWith(u"ListC"))
            continue; // the comparison's caption
        bool plain = false;
        try {
            plain = PlainDecimal(value).has_value();
        } catch (const EConvertError&) { }
        Readable(line, reply, control.toStdString() + " is no plain number", plain);
    }
    if (r.maximum != StoredMaximum::None)
        Cuts(line, reply, [&] { StrToFloat(r.maximumText); });
}

} // namespace

void FuzzSimulatorCommands(const uint8_t* data, size_t size)
{
    InstrumentModel model;
    double budget = kSecondsPerInput;
    std::string line;
    const auto endLine = [&] {
        if (!line.empty() && line.front() == '@') {
            double seconds = 0;
            std::from_chars(line.data() + 1, line.data() + line.size(), seconds);
            if (seconds > 0) {
                seconds = std::min(seconds, budget);
                budget -= seconds;
            }
            model.Advance(seconds);
        } else if (const std::optional<std::string> reply = model.Execute(line)) {
            Readable(
                line, *reply, "reply the dispatcher drops", !IsDroppedReply(QString::fromStdString(*reply)));
            const std::string key = Key(line);
            if (key == "fetch?")
                CheckFetch(model, line, *reply);
            else if (const ReplyCode code = ReadBackCode(key); code != ReplyCode::None)
                CheckReadBack(code, line, *reply);
        }
        const OperatingPoint p = model.Reading();
        Promise(std::isfinite(p.volts) && std::isfinite(p.amps), "reading not finite after \"" + line + "\"");
        line.clear();
    };
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\r')
            endLine();
        else if (c != '\n')
            line += c;
    }
    // An unfinished last line is never executed, as on the wire.
}
