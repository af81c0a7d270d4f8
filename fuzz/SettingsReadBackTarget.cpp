// Every cut of the read-back table over one reply, as the dispatcher applies it: the
// field texts, and a maximum converted from its text (refused when it is no number).
#include "fuzz/FuzzTargets.h"
#include "replies/Numbers.h"
#include "replies/ReadBack.h"

#include <cmath>

void FuzzSettingsReadBack(const uint8_t* data, size_t size)
{
    const QString reply
        = QString::fromLatin1(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (IsDroppedReply(reply))
        return;
    for (const ReadBackQuery& query : ReadBackQueries()) {
        const ReadBackResult r = ReadBack(query.code, reply);
        if (r.maximum == StoredMaximum::None)
            continue;
        try {
            Promise(std::isfinite(StrToFloat(r.maximumText)), "maximum not finite");
        } catch (const EConvertError&) {
            // the field shows the text, the stored maximum keeps its value
        }
    }
}
