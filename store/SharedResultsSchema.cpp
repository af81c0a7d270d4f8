#include "store/SharedResultsWorker.h"

#include "store/ResultsDatabase.h"

namespace {

// The statements that make a table and its indexes; identifiers unquoted, so the
// operator's queries need no quotes either (the server folds them to lower case).
QStringList CreateStatements(ResultsTable table)
{
    const ResultsTableShape& shape = TableShape(table);
    QStringList columns { QStringLiteral("Id bigserial primary key") };
    for (qsizetype i = 1; i < shape.Columns.size(); ++i)
        columns << shape.Columns[i] + QStringLiteral(" text");
    columns << QStringLiteral("station text not null") << QStringLiteral("run_id uuid not null")
            << QStringLiteral("seq bigint");
    return { QStringLiteral("create table if not exists %1(%2)")
                 .arg(shape.Name, columns.join(QStringLiteral(", "))),
        QStringLiteral("create index if not exists %1_station_run on %1(station, run_id)").arg(shape.Name),
        QStringLiteral("create unique index if not exists %1_run_seq on %1(station, run_id, seq)")
            .arg(shape.Name) };
}

} // namespace

// Makes the missing tables and completes an older version's, in one transaction
// under the lab's creation lock, so that two stations starting together do not both
// make the same table.
void SharedResults::Worker::MakeTables()
{
    QSqlQuery query(db);
    Exec(query, QStringLiteral("begin"));
    try {
        Exec(query, QStringLiteral("select pg_advisory_xact_lock(hashtext('dcload results tables'))"));
        for (const ResultsTable table : kAllResultsTables) {
            const QString name = TableShape(table).Name;
            // Only what is missing is made or altered: a station's role may be allowed to
            // add rows to the lab's tables and no more.
            Exec(query,
                QStringLiteral("select to_regclass('%1') is null, exists(select 1 from pg_attribute where "
                               "attrelid = to_regclass('%1') and attname = 'seq' and not attisdropped), "
                               "to_regclass('%1_run_seq') is not null")
                    .arg(name));
            if (!query.next())
                continue;
            if (query.value(0).toBool()) {
                for (const QString& statement : CreateStatements(table))
                    Exec(query, statement);
                continue;
            }
            const bool hasSeq = query.value(1).toBool();
            const bool hasKey = query.value(2).toBool();
            // A table of an older version: its rows stay, with no seq (NULLs never collide).
            if (!hasSeq)
                Exec(query, QStringLiteral("alter table %1 add column if not exists seq bigint").arg(name));
            if (!hasKey)
                Exec(query, CreateStatements(table).last());
        }
        Exec(query, QStringLiteral("select to_regclass('runs') is null"));
        if (query.next() && query.value(0).toBool())
            Exec(query, CreateRunsStatement(RunsDialect::Postgres));
        Exec(query, QStringLiteral("commit"));
    } catch (const EDatabaseError&) {
        Rollback();
        throw;
    }
    // A table made again is a new table: statements prepared for the old one go.
    for (std::unique_ptr<QSqlQuery>& insert : inserts)
        insert.reset();
}
