#pragma once
// One writer per results file: the window that empties and writes db.sqlite holds an
// advisory lock on "db.sqlite.lock" beside it, which names its process. A second window
// started in the same folder finds the lock held and must not touch the file.
//
// The lock is flock(2) on a file of its own: the system drops it when its process dies,
// however it dies, so a held lock always means a live holder. It is never a POSIX lock on
// the database: closing any other descriptor of that file would drop SQLite's own locks,
// and flock is not tied to the process's other descriptors at all. The lock file stays
// behind after the program ends; removing it would race with a window taking it.
#include <QDateTime>
#include <QString>

// Who holds a results file, as its lock file tells.
struct ResultsLockHolder
{
    QString file; // the results file's name ("db.sqlite")
    qint64 pid = 0; // 0: not known (the holder has not written its name yet, or could not)
    QString program;
    QDateTime started; // when it took the lock
};

// "db.sqlite is in use by dcload, process 1234, started 01/05/2024 14:02"
QString InUseMessage(const ResultsLockHolder& holder);

class ResultsFileLock
{
public:
    // The lock of the results file at `databasePath`; nothing is opened here.
    explicit ResultsFileLock(const QString& databasePath);
    ~ResultsFileLock();
    ResultsFileLock(const ResultsFileLock&) = delete;
    ResultsFileLock& operator=(const ResultsFileLock&) = delete;

    // Takes the lock without waiting (true at once when this object holds it already) and
    // writes this process into the lock file. False when another live process holds it;
    // Holder() then says who. Throws EDatabaseError when the lock file cannot be made or
    // locked at all.
    bool Take();
    bool Held() const { return FFd >= 0 && FHeld; }
    // The process named in the lock file (read by the Take that found it held).
    const ResultsLockHolder& Holder() const { return FHolder; }
    // The lock file's path.
    const QString& Path() const { return FPath; }

private:
    void Close();

    const QString FDatabasePath;
    const QString FPath;
    int FFd = -1;
    bool FHeld = false;
    ResultsLockHolder FHolder;
};
