// The status line's words for the read-back's progress, a saved memory and a run's
// elapsed time.
#include "workflows/RunNotes.h"

#include <gtest/gtest.h>

TEST(RunNotes, ReadBackProgressNamesWhatIsMissingSoFarAndAtTheEnd)
{
    const struct
    {
        int asked, total;
        bool finished;
        QStringList missing;
        const char* note;
    } cases[] = {
        { 1, 50, false, {}, "Reading settings back: 1 of 50" },
        { 12, 50, false, { "MaxI" }, "Reading settings back: 12 of 50; MaxI not confirmed" },
        { 50, 50, true, {}, "Settings read back" },
        { 50, 50, true, { "MaxI", "MaxV" }, "Read-back incomplete: MaxI, MaxV not confirmed" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadBackProgressNote(c.asked, c.total, c.finished, c.missing), QString::fromUtf8(c.note));
}

TEST(RunNotes, OnlyASavedMemoryIsConfirmedAndElapsedTimeReadsHoursMinutesSeconds)
{
    EXPECT_EQ(SavedMemoryNote(QStringLiteral("mmem:save 3")), u"Settings saved in memory 3");
    for (const char* other : { "mmem:load 3", "load off", "" })
        EXPECT_TRUE(SavedMemoryNote(QString::fromUtf8(other)).isEmpty()) << other;
    const std::pair<qint64, const char*> times[] = { { 0, "0:00:00" }, { 59, "0:00:59" }, { 3599, "0:59:59" },
        { 3600, "1:00:00" }, { 24235, "6:43:55" }, { 360000, "100:00:00" }, { -5, "0:00:00" } };
    for (const auto& [seconds, text] : times)
        EXPECT_EQ(ElapsedText(seconds), QString::fromUtf8(text)) << seconds;
}
