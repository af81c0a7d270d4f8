#pragma once
// What the files of InstrumentSession share: its pace, the poll and the small helpers its
// parts use alike. Private to link/InstrumentSession.cpp, SessionPort.cpp,
// SessionReplies.cpp and SessionRuns.cpp.
#include "link/InstrumentSession.h"

#include <QString>
#include <cstddef>
#include <limits>

namespace SessionShared {

inline constexpr int kPacingMs = 300;

inline const QString kPoll = QStringLiteral("fetch?");
// The line of a poll taken to have gone out after everything queued so far.
inline constexpr qint64 kAfterAll = std::numeric_limits<qint64>::max();

inline size_t Index(Activity activity)
{
    return static_cast<size_t>(activity);
}

// An answer that writes a setting into the window.
inline bool IsReadBack(ReplyCode code)
{
    return code != ReplyCode::None && code != ReplyCode::Measurement && code != ReplyCode::Verbatim
        && code != ReplyCode::Identity;
}

inline QString Quoted(const QString& command)
{
    return u'"' + command + u'"';
}

} // namespace SessionShared
