#include "replies/ReadBack.h"

#include "replies/TextCuts.h"

#include <QHash>
#include <array>

namespace {

// Fills a result from the reply; step is the list step of a step query, else -1.
using Cut = void (*)(ReadBackResult& r, const QString& reply, int step);

struct Entry
{
    const char* command;
    ReplyCode code;
    Cut cut;
    int step = -1;
};

QString StepName(const char* prefix, int step)
{
    return QString::fromLatin1(prefix) + QString::number(step);
}

template <const char* control> void FirstFive(ReadBackResult& r, const QString& reply, int)
{
    r.texts.emplace_back(QString::fromLatin1(control), FirstChars(reply, 5));
}

template <const char* control, char unit> void BeforeUnit(ReadBackResult& r, const QString& reply, int)
{
    r.texts.emplace_back(QString::fromLatin1(control), TextBefore(reply, QLatin1Char(unit)));
}

template <const char* control, StoredMaximum which> void Maximum(ReadBackResult& r, const QString& reply, int)
{
    const QString text = FirstChars(reply, 5);
    r.texts.emplace_back(QString::fromLatin1(control), text);
    r.maximum = which;
    r.maximumText = text;
}

// Two buttons of a group: the first when the reply begins with the word, else the other.
template <const char* word, const char* ifWord, const char* otherwise>
void Choice(ReadBackResult& r, const QString& reply, int)
{
    const QString w = QString::fromLatin1(word);
    r.select = QString::fromLatin1(FirstChars(reply, static_cast<int>(w.size())) == w ? ifWord : otherwise);
}

// Level and width (transient) or value and delay (list step): before the comma, then the
// rest after the comma up to the unit mark.
void TwoFields(
    ReadBackResult& r, const QString& reply, const QString& first, const QString& second, QChar unit)
{
    r.texts.emplace_back(first, TextBefore(reply, u','));
    r.texts.emplace_back(second, TextBefore(RestAfterComma(reply), unit));
}

void TransientMode(ReadBackResult& r, const QString& reply, int)
{
    // The instrument answers the triggered mode with "TRIG", its command word in capitals.
    static const std::pair<const char*, const char*> modes[]
        = { { "CONT", "TranMode0" }, { "PULS", "TranMode1" }, { "TRIG", "TranMode2" } };
    const QString mode = FirstChars(reply, 4);
    for (const auto& [word, button] : modes)
        if (mode == QLatin1String(word))
            r.select = QString::fromLatin1(button);
}

void LevelA(ReadBackResult& r, const QString& reply, int)
{
    TwoFields(r, reply, QStringLiteral("TranA0"), QStringLiteral("TranA1"), u'm');
}

void LevelB(ReadBackResult& r, const QString& reply, int)
{
    TwoFields(r, reply, QStringLiteral("TranB0"), QStringLiteral("TranB1"), u'm');
}

// The instrument answers with the index of the last step; the box shows how many steps.
void ListSteps(ReadBackResult& r, const QString& reply, int)
{
    bool whole = false;
    // 64 bits: one more than the largest int, which a hostile instrument may answer, overflows.
    const qint64 lastStep = reply.toInt(&whole);
    r.texts.emplace_back(QStringLiteral("ListSetNum"), whole ? QString::number(lastStep + 1) : reply);
}

void StepLevel(ReadBackResult& r, const QString& reply, int step)
{
    TwoFields(r, reply, StepName("ValStep", step), StepName("DelayStep", step), u's');
}

void StepCompare(ReadBackResult& r, const QString& reply, int step)
{
    static const std::pair<const char*, const char*> words[]
        = { { "off", "Off" }, { "volt", "Voltage" }, { "curr", "Current" }, { "pow", "Power" } };
    const QString kind = TextBefore(reply, u',');
    for (const auto& [word, caption] : words)
        if (kind == QLatin1String(word))
            r.texts.emplace_back(StepName("ListC", step), QString::fromLatin1(caption));
    const QString limits = RestAfterComma(reply);
    r.texts.emplace_back(StepName("LmtLStep", step), TextBefore(limits, u','));
    r.texts.emplace_back(StepName("LmtHStep", step), TextBefore(RestAfterComma(limits), u','));
}

// Control names and words as template arguments need linkage.
constexpr char kISet[] = "ISet", kVSet[] = "VSet", kPSet[] = "PSet", kRSet[] = "RSet";
constexpr char kMaxI[] = "MaxI", kMaxV[] = "MaxV", kMaxP[] = "MaxP";
constexpr char kMinVOn[] = "MinVOn", kMinVOff[] = "MinVOff", kAutoOff[] = "AutoOff";
constexpr char kBChargeI[] = "BChargeI", kBOffV[] = "BOffV";
constexpr char kOn[] = "ON", kCC[] = "CC", kAuto[] = "AUTO";
constexpr char kRemote[] = "MeasureMode1", kLocal[] = "MeasureMode0";
constexpr char kTranCC[] = "TranType1", kTranCV[] = "TranType";
constexpr char kStepAuto[] = "StepAuto", kStepTrig[] = "StepTrig";
constexpr char kRepeatYes[] = "StepRepeatY", kRepeatNo[] = "StepRepeatN";

constexpr Entry kSettings[] = {
    { "mset:imax?", ReplyCode::CurrentLimit, Maximum<kMaxI, StoredMaximum::Current> },
    { "mset:vmax?", ReplyCode::VoltageLimit, Maximum<kMaxV, StoredMaximum::Voltage> },
    { "mset:pmax?", ReplyCode::PowerLimit, Maximum<kMaxP, StoredMaximum::Power> },
    { "mset:von?", ReplyCode::OnVoltage, FirstFive<kMinVOn> },
    { "mset:voff?", ReplyCode::OffVoltage, FirstFive<kMinVOff> },
    { "mset:aoff?", ReplyCode::AutoOffDelay, BeforeUnit<kAutoOff, 's'> },
    { "load:curr?", ReplyCode::CurrentSetPoint, FirstFive<kISet> },
    { "load:volt?", ReplyCode::VoltageSetPoint, FirstFive<kVSet> },
    { "load:pow?", ReplyCode::PowerSetPoint, FirstFive<kPSet> },
    { "load:res?", ReplyCode::ResistanceSetPoint, FirstFive<kRSet> },
    { "mset:rsen?", ReplyCode::Sense, Choice<kOn, kRemote, kLocal> },
    { "bat:curr?", ReplyCode::BatteryCurrent, BeforeUnit<kBChargeI, 'A'> },
    { "bat:vmin?", ReplyCode::BatteryCutOff, BeforeUnit<kBOffV, 'V'> },
    { "tran:lmod?", ReplyCode::TransientLoad, Choice<kCC, kTranCC, kTranCV> },
    { "tran:tmod?", ReplyCode::TransientMode, TransientMode },
    { "tran:leva?", ReplyCode::TransientLevelA, LevelA },
    { "tran:levb?", ReplyCode::TransientLevelB, LevelB },
    { "list:snum?", ReplyCode::ListSteps, ListSteps },
    { "list:smod?", ReplyCode::ListStepMode, Choice<kAuto, kStepAuto, kStepTrig> },
    { "list:rep?", ReplyCode::ListRepeat, Choice<kOn, kRepeatYes, kRepeatNo> },
};

struct Table
{
    std::vector<Entry> entries; // sending order
    std::vector<ReadBackQuery> queries; // the same, as command texts
    QHash<int, size_t> byCode;
};

const Table& TheTable()
{
    static const Table table = [] {
        Table t;
        t.entries.assign(std::begin(kSettings), std::end(kSettings));
        for (int n = 0; n < kReadBackSteps; ++n)
            t.entries.push_back({ nullptr, StepLevelCode(n), StepLevel, n });
        for (int n = 0; n < kReadBackSteps; ++n)
            t.entries.push_back({ nullptr, StepCompareCode(n), StepCompare, n });
        for (size_t i = 0; i < t.entries.size(); ++i) {
            const Entry& e = t.entries[i];
            const QString command = e.command ? QString::fromLatin1(e.command)
                : e.cut == StepLevel          ? QStringLiteral("list:step%1:lev?").arg(e.step)
                                              : QStringLiteral("list:step%1:comp?").arg(e.step);
            t.queries.push_back({ command, e.code });
            t.byCode.insert(CodeNumber(e.code), i);
        }
        return t;
    }();
    return table;
}

} // namespace

const std::vector<ReadBackQuery>& ReadBackQueries()
{
    return TheTable().queries;
}

ReadBackResult ReadBack(ReplyCode code, const QString& reply)
{
    // Whatever ends the instrument's line is no part of a setting.
    qsizetype end = reply.size();
    while (end > 0 && (reply[end - 1] == u'\r' || reply[end - 1] == u'\n'))
        --end;
    const QString text = reply.left(end);
    ReadBackResult r;
    const Table& table = TheTable();
    const auto at = table.byCode.constFind(CodeNumber(code));
    if (at != table.byCode.constEnd()) {
        const Entry& e = table.entries[*at];
        e.cut(r, text, e.step);
    }
    return r;
}

QStringList ReadBackFieldNames(ReplyCode code)
{
    const int number = CodeNumber(code);
    const int first = CodeNumber(ReplyCode::StepLevelFirst);
    const int compare = CodeNumber(ReplyCode::StepCompareFirst);
    if (number >= first && number < first + kReadBackSteps)
        return { StepName("ValStep", number - first), StepName("DelayStep", number - first) };
    if (number >= compare && number < compare + kReadBackSteps)
        return { StepName("ListC", number - compare), StepName("LmtLStep", number - compare),
            StepName("LmtHStep", number - compare) };
    static const QHash<int, QStringList> names {
        { CodeNumber(ReplyCode::CurrentSetPoint), { kISet } },
        { CodeNumber(ReplyCode::VoltageSetPoint), { kVSet } },
        { CodeNumber(ReplyCode::PowerSetPoint), { kPSet } },
        { CodeNumber(ReplyCode::ResistanceSetPoint), { kRSet } },
        { CodeNumber(ReplyCode::Sense), { QStringLiteral("MeasureMode") } },
        { CodeNumber(ReplyCode::CurrentLimit), { kMaxI } },
        { CodeNumber(ReplyCode::VoltageLimit), { kMaxV } },
        { CodeNumber(ReplyCode::PowerLimit), { kMaxP } },
        { CodeNumber(ReplyCode::OnVoltage), { kMinVOn } },
        { CodeNumber(ReplyCode::OffVoltage), { kMinVOff } },
        { CodeNumber(ReplyCode::AutoOffDelay), { kAutoOff } },
        { CodeNumber(ReplyCode::BatteryCurrent), { kBChargeI } },
        { CodeNumber(ReplyCode::BatteryCutOff), { kBOffV } },
        { CodeNumber(ReplyCode::TransientLoad), { QStringLiteral("TranType") } },
        { CodeNumber(ReplyCode::TransientMode), { QStringLiteral("TranMode") } },
        { CodeNumber(ReplyCode::TransientLevelA), { QStringLiteral("TranA0"), QStringLiteral("TranA1") } },
        { CodeNumber(ReplyCode::TransientLevelB), { QStringLiteral("TranB0"), QStringLiteral("TranB1") } },
        { CodeNumber(ReplyCode::ListSteps), { QStringLiteral("ListSetNum") } },
        { CodeNumber(ReplyCode::ListStepMode), { QStringLiteral("StepMode") } },
        { CodeNumber(ReplyCode::ListRepeat), { QStringLiteral("StepRepeat") } },
    };
    return names.value(number);
}

bool IsDroppedReply(const QString& reply)
{
    return reply.isEmpty() || reply.contains(u'/');
}
