// Reading the local results file back: its rows, its runs and their records, and, read-only,
// whether the process that holds it has stored something since.
#include "store/SqliteResults.h"

#include "store/ResultsDatabase.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

std::vector<RunRecord> SqliteResults::RunRecords(const RunFilter& filter)
{
    QSqlQuery query(Database());
    // A file made by an older version, opened read-only, has no runs table.
    if (!query.exec(QStringLiteral("select 1 from sqlite_master where type = 'table' and name = 'runs'"))
        || !query.next())
        return {};
    const QString statement = SelectRunsStatement(RunsDialect::Sqlite, filter);
    query.prepare(statement);
    BindRunFilter(query, filter);
    if (!query.exec())
        ThrowStatementError(FPath, statement, query.lastError());
    std::vector<RunRecord> records;
    while (query.next())
        records.push_back(RunRecordFromQuery(query));
    return records;
}
void SqliteResults::OpenReadOnly()
{
    Close();
    FReadOnly = true;
    FDataVersion = -1;
}

bool SqliteResults::StoredChanged()
{
    // Not there yet: the other window has not stored anything. (A look at the folder, not
    // an open: only SQLite opens the file.)
    if (!QFileInfo::exists(FPath))
        return false;
    QSqlQuery query(Database());
    if (!query.exec(QStringLiteral("pragma data_version")) || !query.next())
        ThrowStatementError(FPath, QStringLiteral("pragma data_version"), query.lastError());
    const qint64 version = query.value(0).toLongLong();
    const bool changed = version != FDataVersion;
    FDataVersion = version;
    return changed;
}

RowsReadBack SqliteResults::ReadStored(ResultsTable table, qint64 afterId)
{
    RowsReadBack stored;
    if (!QFileInfo::exists(FPath))
        return stored;
    QSqlDatabase& db = Database();
    const QString name = TableShape(table).Name;
    QSqlQuery query(db);
    const auto run = [&](const QString& statement, const QVariant& bound) {
        query.prepare(statement);
        if (bound.isValid())
            query.addBindValue(bound);
        if (!query.exec()) {
            const QSqlError error = query.lastError();
            query = QSqlQuery();
            db.rollback();
            ThrowStatementError(FPath, statement, error);
        }
    };
    // One snapshot for the count and the rows.
    db.transaction();
    run(QStringLiteral("select count(*) from sqlite_master where type = 'table' and name = ?"), name);
    const bool made = query.next() && query.value(0).toInt() > 0;
    if (made) {
        run(QStringLiteral("select count(*) from %1 where Id <= ?").arg(name), afterId);
        stored.before = query.next() ? query.value(0).toLongLong() : 0;
        run(QStringLiteral("select * from %1 where Id > ? order by Id").arg(name), afterId);
        const int columns = static_cast<int>(TableShape(table).Columns.size());
        while (query.next()) {
            QStringList values;
            for (int column = 1; column < columns; ++column)
                values << query.value(column).toString();
            stored.rows.emplace_back(query.value(0).toLongLong(), values);
        }
    }
    query = QSqlQuery();
    db.commit();
    return stored;
}

std::vector<StoredRun> SqliteResults::Runs(std::optional<ResultsTable> table)
{
    std::vector<StoredRun> runs;
    // A look at the folder, not an open: reading creates nothing.
    if (!QFileInfo::exists(FPath))
        return runs;
    QSqlDatabase& db = Database();
    QSqlQuery query(db);
    const QDateTime now = QDateTime::currentDateTime();
    // One snapshot for every table, so a profile run and its resistance rows agree.
    db.transaction();
    try {
        for (const ResultsTable t : table ? std::vector { *table } : RunTables()) {
            if (!HasTable(query, t))
                continue;
            // The battery and list tables hold this session's one run each.
            const bool labelled = t == ResultsTable::Profile || t == ResultsTable::Resistance;
            const QString key
                = labelled ? QStringLiteral("Run") : QStringLiteral("'%1'").arg(TableShape(t).Name);
            Exec(query, RunsStatement(t, key, QStringLiteral("''")));
            while (query.next()) {
                StoredRun run = RunFromTimes(t, query.value(3).toString(), query.value(4).toString(), now);
                run.key = query.value(0).toString();
                run.readings = query.value(2).toInt();
                runs.push_back(std::move(run));
            }
        }
    } catch (const EDatabaseError&) {
        query = QSqlQuery();
        db.rollback();
        throw;
    }
    query = QSqlQuery();
    db.commit();
    SortNewestFirst(runs);
    return runs;
}

std::vector<QStringList> SqliteResults::RunRows(ResultsTable table, const QString& key)
{
    std::vector<QStringList> rows;
    if (!QFileInfo::exists(FPath))
        return rows;
    const bool labelled = table == ResultsTable::Profile || table == ResultsTable::Resistance;
    if (!labelled && key != TableShape(table).Name)
        return rows;
    QSqlQuery query(Database());
    if (!HasTable(query, table))
        return rows;
    const ResultsTableShape& shape = TableShape(table);
    const QString statement = QStringLiteral("select %1 from %2%3 order by Id")
                                  .arg(shape.Columns.mid(1).join(u','), shape.Name,
                                      labelled ? QStringLiteral(" where Run = ?") : QString());
    query.prepare(statement);
    if (labelled)
        query.addBindValue(key);
    if (!query.exec())
        ThrowStatementError(FPath, statement, query.lastError());
    const int columns = static_cast<int>(shape.Columns.size()) - 1;
    while (query.next()) {
        QStringList values;
        for (int column = 0; column < columns; ++column)
            values << query.value(column).toString();
        rows.push_back(std::move(values));
    }
    return rows;
}

std::vector<ResultsTable> SqliteResults::RunTables()
{
    // A profile run's resistance rows are part of it; they are listed when asked for.
    return { ResultsTable::Battery, ResultsTable::ListS, ResultsTable::Profile };
}

bool SqliteResults::HasTable(QSqlQuery& query, ResultsTable table)
{
    // A file of an older version, opened read-only, may lack the newer tables.
    const QString statement
        = QStringLiteral("select count(*) from sqlite_master where type = 'table' and name = ?");
    query.prepare(statement);
    query.addBindValue(TableShape(table).Name);
    if (!query.exec())
        ThrowStatementError(FPath, statement, query.lastError());
    const bool made = query.next() && query.value(0).toInt() > 0;
    query.finish();
    return made;
}

void SqliteResults::Exec(QSqlQuery& query, const QString& statement)
{
    if (!query.exec(statement))
        ThrowStatementError(FPath, statement, query.lastError());
}
