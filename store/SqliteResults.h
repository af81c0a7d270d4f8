#pragma once
// The local results file, db.sqlite in the working folder: one connection for both
// tables, emptied at the start of every session. Only SQLite opens the file (closing any
// other descriptor of it would drop the process's locks).
#include "store/ResultsBackend.h"

#include <QSqlDatabase>
#include <memory>

class QSqlQuery;

class SqliteResults : public ResultsBackend
{
public:
    // Nothing is opened here; the first statement opens (and if needed creates) the file.
    explicit SqliteResults(const QString& path);
    ~SqliteResults() override;
    SqliteResults(const SqliteResults&) = delete;
    SqliteResults& operator=(const SqliteResults&) = delete;

    void StartSession() override;
    QString SetAsideDamaged() override;
    QString Write(ResultsTable table, const QStringList& values) override;
    void Clear(ResultsTable table) override;
    // The file holds one session's rows and no run ids.
    void BeginRun(ResultsTable) override { }
    // A local file asks for no password.
    void SetPassword(const QString&) override { }
    QString HeldUpStatus() const override;
    QString NotReadyNote() const override;

private:
    QSqlDatabase& Database();
    QSqlQuery& InsertQuery(ResultsTable table);
    void Close();

    const QString FPath;
    const QString FConnectionName;
    QSqlDatabase FDb;
    std::unique_ptr<QSqlQuery> FInserts[2];
};
