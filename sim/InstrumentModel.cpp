// The instrument's command language: each line read, checked against the ratings, and
// answered or applied. How the state then moves is in InstrumentState.cpp.
#include "sim/InstrumentModel.h"

#include "sim/ReplyFormat.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace {
// Ratings of the instrument: a value beyond them is refused like a malformed one.
constexpr double kRatedAmps = 30.0;
constexpr double kRatedVolts = 150.0;
constexpr double kRatedWatts = 300.0;
constexpr double kRatedOhm = 4000.0;
constexpr double kLongestDwellSeconds = 86400.0;
constexpr int kLongestWidthMs = 60000;
constexpr int kLongestAutoOffSeconds = 99999;

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// A number written with "." and nothing else around it but blanks; never the locale's.
std::optional<double> Number(const std::string& text)
{
    std::string t = Trim(text);
    if (!t.empty() && t.front() == '+')
        t.erase(0, 1);
    double value = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), value);
    if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size() || !std::isfinite(value))
        return std::nullopt;
    // "-0" passes the range checks; kept as is, the replies would show "-0.000".
    return value == 0 ? 0.0 : value;
}

std::optional<double> NumberIn(const std::string& text, double low, double high)
{
    const auto v = Number(text);
    if (!v || *v < low || *v > high)
        return std::nullopt;
    return v;
}

// A whole number; a fraction is refused rather than silently cut.
std::optional<int> WholeIn(const std::string& text, int low, int high)
{
    const auto v = Number(text);
    if (!v || *v != std::floor(*v) || *v < low || *v > high)
        return std::nullopt;
    return static_cast<int>(*v);
}

// The two parts of "a,b"; nothing when there is not exactly one comma.
std::optional<std::pair<std::string, std::string>> Pair(const std::string& text)
{
    const auto comma = text.find(',');
    if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos)
        return std::nullopt;
    return std::make_pair(text.substr(0, comma), text.substr(comma + 1));
}

const char* OnOffText(bool on)
{
    return on ? "ON" : "OFF";
}

// The value a command word stands for; nothing for a word not in the table.
template <typename T, std::size_t N>
std::optional<T> Word(const std::string& word, const std::pair<const char*, T> (&table)[N])
{
    for (const auto& [text, value] : table)
        if (word == text)
            return value;
    return std::nullopt;
}

const std::pair<const char*, LoadMode> kModeWords[] = { { "cc", LoadMode::CC }, { "cv", LoadMode::CV },
    { "cp", LoadMode::CP }, { "cr", LoadMode::CR }, { "sh", LoadMode::Short },
    { "tran", LoadMode::Transient }, { "bat", LoadMode::Battery }, { "list", LoadMode::List } };
const std::pair<const char*, StepMode> kStepModeWords[] = { { "cc", StepMode::CC }, { "cv", StepMode::CV },
    { "cp", StepMode::CP }, { "cr", StepMode::CR }, { "sh", StepMode::Short }, { "op", StepMode::Open } };
const std::pair<const char*, CompareKind> kCompareWords[]
    = { { "curr", CompareKind::Current }, { "volt", CompareKind::Voltage }, { "pow", CompareKind::Power } };
const std::pair<const char*, TranLevelMode> kTranLevelWords[]
    = { { "cc", TranLevelMode::CC }, { "cv", TranLevelMode::CV } };
const std::pair<const char*, TranTrigMode> kTranTrigWords[] = { { "cont", TranTrigMode::Continuous },
    { "puls", TranTrigMode::Pulse }, { "trig", TranTrigMode::Triggered } };
const std::pair<const char*, TriggerSource> kSourceWords[]
    = { { "bus", TriggerSource::Bus }, { "man", TriggerSource::Manual }, { "ext", TriggerSource::External } };
const std::pair<const char*, bool> kOnOffWords[] = { { "on", true }, { "off", false } };
const std::pair<const char*, bool> kListSteppingWords[] = { { "auto", false }, { "trig", true } };

const char* CompareText(CompareKind kind)
{
    switch (kind) {
    case CompareKind::Current:
        return "curr";
    case CompareKind::Voltage:
        return "volt";
    case CompareKind::Power:
        return "pow";
    case CompareKind::Off:
        break;
    }
    return "off";
}

std::string TranLevelText(const TranLevel& level)
{
    return Fixed3(level.level) + "," + std::to_string(level.widthMs) + "ms";
}

// "L,W": a level and a whole number of milliseconds.
std::optional<TranLevel> TranLevelArgs(const std::string& args)
{
    const auto parts = Pair(args);
    if (!parts)
        return std::nullopt;
    const auto level = NumberIn(parts->first, 0, kRatedVolts);
    const auto width = NumberIn(parts->second, 0, kLongestWidthMs);
    if (!level || !width)
        return std::nullopt;
    return TranLevel { *level, static_cast<int>(std::lround(*width)) };
}

// "list:step" + N + ":" + what, N being 0 to 14; the step number, or -1.
int StepIndex(const std::string& name, std::string& what)
{
    static const std::string prefix = "list:step";
    if (name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    const auto colon = name.find(':', prefix.size());
    if (colon == std::string::npos)
        return -1;
    const std::string digits = name.substr(prefix.size(), colon - prefix.size());
    if (digits.empty() || digits.size() > 2
        || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    const int n = std::stoi(digits);
    if (n >= kListSteps)
        return -1;
    what = name.substr(colon + 1);
    return n;
}
} // namespace

InstrumentModel::InstrumentModel(BatteryCell freshBattery, CellWiring wiring)
    : battery_(freshBattery)
    , wiring_(wiring)
{ }

std::optional<std::string> InstrumentModel::Execute(const std::string& line)
{
    lastIgnored_ = true;
    const std::string text = Trim(line);
    if (text.empty())
        return std::nullopt;
    const auto blank = text.find_first_of(" \t");
    const std::string name = Lower(text.substr(0, blank));
    const std::string args = blank == std::string::npos ? std::string() : Lower(Trim(text.substr(blank)));

    // Any line from the computer takes the instrument back under remote control.
    local_ = false;
    if (name.back() == '?') {
        if (!args.empty())
            return std::nullopt;
        auto reply = Query(name.substr(0, name.size() - 1));
        lastIgnored_ = !reply;
        return reply;
    }
    lastIgnored_ = !Command(name, args);
    return std::nullopt;
}

std::optional<std::string> InstrumentModel::Query(const std::string& name)
{
    const InstrumentSettings& s = settings_;
    if (name == "fetch")
        return FetchReply();
    if (name == "load:curr")
        return Fixed3(s.currentSet) + "A";
    if (name == "load:volt")
        return Fixed3(s.voltageSet) + "V";
    if (name == "load:pow")
        return Fixed3(s.powerSet) + "W";
    if (name == "load:res")
        return Fixed3(s.resistanceSet) + "R";
    if (name == "mset:imax")
        return Fixed3(s.currentMax) + "A";
    if (name == "mset:vmax")
        return Fixed3(s.voltageMax) + "V";
    if (name == "mset:pmax")
        return Fixed3(s.powerMax) + "W";
    if (name == "mset:von")
        return Fixed3(s.onVolts) + "V";
    if (name == "mset:voff")
        return Fixed3(s.offVolts) + "V";
    if (name == "mset:aoff")
        return std::to_string(s.autoOffSeconds) + "s";
    if (name == "mset:rsen")
        return OnOffText(s.remoteSense);
    if (name == "bat:curr")
        return Fixed3(s.batteryCurrent) + "A";
    if (name == "bat:vmin")
        return Fixed3(s.batteryCutoffVolts) + "V";
    if (name == "tran:lmod")
        return s.tranLevelMode == TranLevelMode::CC ? "CC" : "CV";
    if (name == "tran:tmod")
        return s.tranTrigMode == TranTrigMode::Continuous ? "CONT"
            : s.tranTrigMode == TranTrigMode::Pulse       ? "PULS"
                                                          : "TRIG";
    if (name == "tran:leva")
        return TranLevelText(s.tranA);
    if (name == "tran:levb")
        return TranLevelText(s.tranB);
    if (name == "list:snum")
        return std::to_string(s.listLastStep);
    if (name == "list:smod")
        return s.listTriggered ? "TRIG" : "AUTO";
    if (name == "list:rep")
        return OnOffText(s.listRepeat);
    std::string what;
    const int n = StepIndex(name, what);
    if (n < 0)
        return std::nullopt;
    const ListStep& step = s.steps[n];
    if (what == "lev")
        return Fixed3(step.level) + "," + Shortest(step.dwellSeconds) + "s";
    if (what == "comp")
        return std::string(CompareText(step.compare)) + "," + Fixed3(step.low) + "," + Fixed3(step.high)
            + ",";
    return std::nullopt;
}

bool InstrumentModel::Command(const std::string& name, const std::string& args)
{
    InstrumentSettings& s = settings_;
    // Set-points and limits: command name, rating, where the value goes.
    struct Value
    {
        const char* name;
        double rating;
        double InstrumentSettings::*field;
    };
    static const Value values[] = {
        { "load:curr", kRatedAmps, &InstrumentSettings::currentSet },
        { "load:volt", kRatedVolts, &InstrumentSettings::voltageSet },
        { "load:pow", kRatedWatts, &InstrumentSettings::powerSet },
        { "load:res", kRatedOhm, &InstrumentSettings::resistanceSet },
        { "mset:imax", kRatedAmps, &InstrumentSettings::currentMax },
        { "mset:vmax", kRatedVolts, &InstrumentSettings::voltageMax },
        { "mset:pmax", kRatedWatts, &InstrumentSettings::powerMax },
        { "mset:von", kRatedVolts, &InstrumentSettings::onVolts },
        { "mset:voff", kRatedVolts, &InstrumentSettings::offVolts },
        { "bat:curr", kRatedAmps, &InstrumentSettings::batteryCurrent },
        { "bat:vmin", kRatedVolts, &InstrumentSettings::batteryCutoffVolts },
    };
    for (const Value& v : values) {
        if (name != v.name)
            continue;
        const auto number = NumberIn(args, 0, v.rating);
        if (number)
            s.*v.field = *number;
        return number.has_value();
    }

    if (name == "*adr") {
        const auto a = WholeIn(args, 0, 254);
        if (a)
            address_ = *a;
        return a.has_value();
    }
    if (name == "*rtl" && args.empty()) {
        local_ = true;
        return true;
    }
    if (name == "load") {
        const auto on = Word(args, kOnOffWords);
        if (on)
            SwitchInput(*on);
        return on.has_value();
    }
    if (name == "load:mode") {
        const auto mode = Word(args, kModeWords);
        if (mode)
            ChangeMode(*mode);
        return mode.has_value();
    }
    if (name == "mset:aoff") {
        const auto seconds = WholeIn(args, 0, kLongestAutoOffSeconds);
        if (seconds)
            s.autoOffSeconds = *seconds;
        return seconds.has_value();
    }
    if (name == "mset:rsen") {
        const auto on = Word(args, kOnOffWords);
        if (on)
            s.remoteSense = *on;
        return on.has_value();
    }
    if (name == "tran:lmod") {
        const auto mode = Word(args, kTranLevelWords);
        if (mode)
            s.tranLevelMode = *mode;
        return mode.has_value();
    }
    if (name == "tran:tmod") {
        const auto mode = Word(args, kTranTrigWords);
        if (mode) {
            s.tranTrigMode = *mode;
            tranToggled_ = false;
        }
        return mode.has_value();
    }
    if (name == "tran:leva" || name == "tran:levb") {
        const auto level = TranLevelArgs(args);
        if (level)
            (name == "tran:leva" ? s.tranA : s.tranB) = *level;
        return level.has_value();
    }
    if (name == "trig:sour") {
        const auto source = Word(args, kSourceWords);
        if (source)
            triggerSource_ = *source;
        return source.has_value();
    }
    if (name == "trig" && args.empty()) {
        Triggered();
        return true;
    }
    if (name == "list:smod") {
        const auto triggered = Word(args, kListSteppingWords);
        if (triggered)
            s.listTriggered = *triggered;
        return triggered.has_value();
    }
    if (name == "list:rep") {
        const auto on = Word(args, kOnOffWords);
        if (on)
            s.listRepeat = *on;
        return on.has_value();
    }
    if (name == "list:snum") {
        const auto last = WholeIn(args, 0, kListSteps - 1);
        if (last)
            s.listLastStep = *last;
        return last.has_value();
    }
    if (name == "mmem:save" || name == "mmem:load") {
        const auto slot = WholeIn(args, 0, kMemories - 1);
        if (!slot)
            return false;
        if (name == "mmem:save")
            memories_[*slot] = settings_;
        else
            ApplySettings(memories_[*slot]);
        return true;
    }
    std::string what;
    const int n = StepIndex(name, what);
    return n >= 0 && StepCommand(s.steps[n], what, args);
}

bool InstrumentModel::StepCommand(ListStep& step, const std::string& what, const std::string& args)
{
    if (what == "lmod") {
        const auto mode = Word(args, kStepModeWords);
        if (mode)
            step.mode = *mode;
        return mode.has_value();
    }
    if (what == "lev") {
        const auto parts = Pair(args);
        if (!parts)
            return false;
        const auto level = NumberIn(parts->first, 0, kRatedOhm);
        const auto dwell = NumberIn(parts->second, 0, kLongestDwellSeconds);
        if (!level || !dwell)
            return false;
        step.level = *level;
        step.dwellSeconds = *dwell;
        return true;
    }
    if (what == "comp") {
        if (args == "off") {
            step.compare = CompareKind::Off;
            step.low = step.high = 0;
            return true;
        }
        const auto comma = args.find(',');
        if (comma == std::string::npos)
            return false;
        const auto kind = Word(args.substr(0, comma), kCompareWords);
        const auto limits = Pair(args.substr(comma + 1));
        if (!kind || !limits)
            return false;
        const auto low = NumberIn(limits->first, 0, kRatedOhm);
        const auto high = NumberIn(limits->second, 0, kRatedOhm);
        if (!low || !high)
            return false;
        step.compare = *kind;
        step.low = *low;
        step.high = *high;
        return true;
    }
    return false;
}
