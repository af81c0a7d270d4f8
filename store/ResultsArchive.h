#pragma once
// The copies of the results file kept beside it: before a session empties db.sqlite, the
// rows it holds are copied to db-archive/db-YYYYMMDD-HHMMSS.sqlite (local time; -2, -3 …
// when that name is taken), and only the newest archives are kept.
//
// A copy is made by SQLite itself (VACUUM INTO, on a read-only connection of its own), so
// it is one consistent snapshot of what is committed, write-ahead log included, and never
// a half-written file. It is written under a temporary name in the archive folder, checked
// (integrity and row counts), flushed to disk, and only then renamed into place: an
// archive that is there is whole.
#include "store/ResultsTable.h"

#include <QString>
#include <array>

class ResultsArchive
{
public:
    static constexpr int kDefaultKept = 50;

    // Archives of the results file at `databasePath`; `kept` newest are kept (at least 1).
    explicit ResultsArchive(const QString& databasePath, int kept = kDefaultKept);

    // "<folder of the file>/db-archive" for "db.sqlite".
    QString Folder() const { return FFolder; }

    // Copies the committed rows of the file into a new archive and returns its path, then
    // deletes the oldest archives beyond the kept number. `rows` holds, per table (indexed
    // by ResultsTable), the rows the copy must hold: the caller holds the file's write lock
    // meanwhile, so nothing can change under the copy. Throws EDatabaseError naming the
    // archive folder and the reason; nothing of a failed copy is left behind.
    QString Write(const std::array<qint64, kResultsTables>& rows) const;

private:
    void DropOldest(const QString& newest) const;

    const QString FDatabasePath;
    const QString FFolder;
    const QString FBaseName; // "db"
    const int FKept;
};
