#include "replies/ReadBack.h"

#include "replies/TextCuts.h"

namespace {

QString StepName(const char* prefix, int step)
{
    return QString::fromLatin1(prefix) + QString::number(step);
}

// Level and width (transient) or value and delay (list step): before the comma, then
// the rest after the comma up to the unit mark.
void TwoFields(ReadBackResult& r, const QString& reply, const QString& first, const QString& second, QChar unit)
{
    r.texts.emplace_back(first, TextBefore(reply, u','));
    r.texts.emplace_back(second, TextBefore(RestAfterComma(reply), unit));
}

void Comparison(ReadBackResult& r, const QString& reply, int step)
{
    const QString kind = TextBefore(reply, u',');
    static const std::pair<const char*, const char*> words[] = {
        {"off", "Off"}, {"volt", "Voltage"}, {"curr", "Current"}, {"pow", "Power"}};
    for (const auto& [word, caption] : words)
        if (kind == QLatin1String(word))
            r.texts.emplace_back(StepName("ListC", step), QString::fromLatin1(caption));
    const QString limits = RestAfterComma(reply);
    r.texts.emplace_back(StepName("LmtLStep", step), TextBefore(limits, u','));
    r.texts.emplace_back(StepName("LmtHStep", step), TextBefore(RestAfterComma(limits), u','));
}

void Maximum(ReadBackResult& r, const char* control, StoredMaximum which, const QString& reply)
{
    const QString text = FirstChars(reply, 5);
    r.texts.emplace_back(QString::fromLatin1(control), text);
    r.maximum = which;
    r.maximumText = text;
}

} // namespace

bool IsDroppedReply(const QString& reply)
{
    return reply.isEmpty() || reply.contains(u'/');
}

ReadBackResult ReadBack(int code, const QString& reply)
{
    ReadBackResult r;
    auto first5 = [&](const char* control) { r.texts.emplace_back(QString::fromLatin1(control), FirstChars(reply, 5)); };
    switch (code) {
    case 72: first5("ISet"); break;
    case 73: first5("VSet"); break;
    case 74: first5("PSet"); break;
    case 75: first5("RSet"); break;
    case 80: r.select = FirstChars(reply, 2) == u"ON" ? "MeasureMode1" : "MeasureMode0"; break;
    case 81: Maximum(r, "MaxI", StoredMaximum::Current, reply); break;
    case 82: Maximum(r, "MaxV", StoredMaximum::Voltage, reply); break;
    case 83: Maximum(r, "MaxP", StoredMaximum::Power, reply); break;
    case 84: first5("MinVOn"); break;
    case 85: first5("MinVOff"); break;
    case 86: r.texts.emplace_back("AutoOff", TextBefore(reply, u's')); break;
    case 91: r.texts.emplace_back("BChargeI", TextBefore(reply, u'A')); break;
    case 92: r.texts.emplace_back("BOffV", TextBefore(reply, u'V')); break;
    case 101: r.select = FirstChars(reply, 2) == u"CC" ? "TranType1" : "TranType"; break;
    case 102: {
        // The instrument answers the triggered mode with "TRIG", its command word in capitals.
        const QString mode = FirstChars(reply, 4);
        if (mode == u"CONT")
            r.select = "TranMode0";
        else if (mode == u"PULS")
            r.select = "TranMode1";
        else if (mode == u"TRIG")
            r.select = "TranMode2";
        break;
    }
    case 103: TwoFields(r, reply, "TranA0", "TranA1", u'm'); break;
    case 104: TwoFields(r, reply, "TranB0", "TranB1", u'm'); break;
    case 111: r.texts.emplace_back("ListSetNum", reply); break;
    case 112: r.select = FirstChars(reply, 4) == u"AUTO" ? "StepAuto" : "StepTrig"; break;
    case 113: r.select = FirstChars(reply, 2) == u"ON" ? "StepRepeatY" : "StepRepeatN"; break;
    default:
        if (code >= 129 && code <= 143)
            TwoFields(r, reply, StepName("ValStep", code - 129), StepName("DelayStep", code - 129), u's');
        else if (code >= 144 && code <= 158)
            Comparison(r, reply, code - 144);
        break;
    }
    return r;
}
