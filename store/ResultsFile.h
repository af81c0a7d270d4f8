#pragma once
// The results file, db.sqlite: one connection for both tables. At the start of a run it
// is emptied, without holding up the window: another program's lock is waited for while
// the status line says so, a damaged file is moved aside and a fresh one made. A row that
// cannot be written now (the file not yet emptied, or locked by another program) waits
// in memory, in order, and is written as soon as it can be; nothing goes into a file that
// was not emptied for this run.
#include "store/ResultsTable.h"

#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class QTimer;
class QSqlQuery;

class ResultsFile : public QObject
{
    Q_OBJECT
public:
    // Nothing is opened here; the first statement opens (and if needed creates) the file.
    explicit ResultsFile(const QString& path = QStringLiteral("db.sqlite"), QObject* parent = nullptr);
    ~ResultsFile() override;

    QString Path() const { return FPath; }

    // Empties both tables for a new run, first once the event loop runs. Rows inserted
    // meanwhile wait. A lock held by another program is waited for (the status says so) up
    // to ten seconds, then reported and tried again now and then.
    void EmptyForNewRun();
    // How long a lock is waited for before it is reported (tests shorten it).
    void SetLockWaitMs(int ms) { FLockWaitMs = ms; }
    // Both tables empty for this run (true from the start when EmptyForNewRun is not used).
    bool Emptied() const { return FEmptied; }

    // Empties one table now. Throws EDatabaseError.
    void Clear(ResultsTable table);

    // Stores a row (values in the table's insert order) and returns its Id; nothing when
    // it waits, and `stored` gets the Id once it is written. Throws EDatabaseError when
    // the file refuses the row for another reason than a lock (a full disk, a damaged
    // file); then the row is not kept.
    std::optional<QString> Insert(
        ResultsTable table, const QStringList& values, std::function<void(QString id)> stored);

    // Rows waiting to be written.
    int Waiting() const { return static_cast<int>(FWaiting.size()); }

signals:
    // What the status line should say of the file; empty when there is nothing to say.
    void StatusChanged(const QString& status);
    // A failure the operator must see (the general error display).
    void Failed(const QString& message);

private:
    struct Row
    {
        ResultsTable table;
        QStringList values;
        std::function<void(QString)> stored;
    };

    QSqlDatabase& Database();
    QSqlQuery& InsertQuery(ResultsTable table);
    QString Write(ResultsTable table, const QStringList& values);
    void Close();
    void TryToEmpty();
    void Empty();
    void MoveAsideDamaged();
    void TryToWrite();
    void ShowStatus();

    const QString FPath;
    const QString FConnectionName;
    QSqlDatabase FDb;
    std::unique_ptr<QSqlQuery> FInserts[2];
    bool FEmptied = true; // false from EmptyForNewRun until both tables are empty
    qint64 FWaitingSince = 0; // when emptying first met another program's lock (ms since epoch)
    bool FLockReported = false;
    int FLockWaitMs = 10000;
    std::deque<Row> FWaiting;
    QTimer* FRetry = nullptr;
    QString FStatus;
};
