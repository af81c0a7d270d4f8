#pragma once
// The rows a results store has not taken yet, kept on disk until it has: a crash, a kill or
// a power cut between a reading and its store loses none of them, and the next start finds
// them with Load. One small SQLite file per store and station; it exists only while it
// holds rows, so a session whose store takes everything at once leaves nothing behind.
//
// Every call runs on the owner's thread and throws EDatabaseError, whose message names the
// journal file. Busy(): another process (a second dcload-cli of the same station) held the
// file for longer than the short wait; nothing of the call was done, and it may be tried
// again. Damaged(): the file was no sound journal; it was moved aside (the message says
// where, for the operator), nothing of the call was done, and the next call starts a fresh
// file.
#include "store/ResultsBackend.h"

#include <QSqlDatabase>
#include <QString>
#include <memory>
#include <utility>
#include <vector>

class QSqlQuery;

class ResultsJournal
{
public:
    // The journal's file for `store` (a shared store's display text, or the local file's
    // absolute path) and `station`, in `folder`, or when it is empty in the user's data
    // folder, which is made when missing. Distinct stores or stations never share a file,
    // whatever characters they hold; the same pair always gives the same file.
    static QString PathFor(const QString& store, const QString& station, const QString& folder = {});

    // Opens nothing: the file is made by the first Append.
    explicit ResultsJournal(QString path);
    ~ResultsJournal();
    ResultsJournal(const ResultsJournal&) = delete;
    ResultsJournal& operator=(const ResultsJournal&) = delete;

    const QString& Path() const { return FPath; }

    // Appends `rows` in one transaction, on disk when it returns, and gives each row's key,
    // in order. Keys grow with every append; a file made anew after the journal was emptied
    // starts its keys from the clock, above every key of the file before it, so a key kept
    // from then names none of its rows (unless the clock was set back meanwhile).
    std::vector<qint64> Append(const std::vector<PendingRow>& rows);
    // The rows of `keys` are stored elsewhere: drops them in one transaction (keys no longer
    // held are passed over). A journal left empty is deleted with its companion files.
    void Remove(const std::vector<qint64>& keys);
    // The rows held, in the order they were appended, with their keys. A null value comes
    // back empty. No file, no rows (and none is made).
    std::vector<std::pair<qint64, PendingRow>> Load();
    int Count();

private:
    // Opens the file (making it and its table when `create`); false when it does not exist
    // and `create` is not set. A connection whose file was deleted or replaced meanwhile is
    // opened afresh.
    bool Open(bool create);
    void Close();
    // Runs `work` inside "begin immediate" … "commit"; a write refused because another
    // journal object deleted the file under this connection is run again on a new file.
    template <typename Work> void Write(Work work);
    // Throws the operator's message: Busy, Damaged (the file set aside first) or Other.
    [[noreturn]] void Fail(const QString& reason, int code, bool reading = false);
    [[noreturn]] void SetAsideDamaged(const QString& reason);
    void DeleteIfEmpty();

    const QString FPath;
    const QString FConnectionName;
    QSqlDatabase FDb;
    // The file the connection has open (device and inode), to notice it was replaced.
    quint64 FDevice = 0;
    quint64 FInode = 0;
};
