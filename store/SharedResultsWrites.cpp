#include "store/SharedResultsWorker.h"

#include "store/ResultsDatabase.h"

#include <QHash>
#include <QUuid>

namespace {

// The data columns' names inside the statements below: c1, c2, …
QStringList Placeholders(qsizetype count, const QString& prefix)
{
    QStringList names;
    for (qsizetype i = 1; i <= count; ++i)
        names << prefix + QString::number(i);
    return names;
}

// Inserts a whole batch of one table with one statement: each column travels as an
// array, so a batch costs one round trip however many rows it holds. A row the table
// already has (same station, run and seq) is skipped and looked up afterwards.
// Binds: station, then one text[] per column, run ids (uuid[]), seqs (bigint[]).
QString BatchInsertStatement(ResultsTable table)
{
    const ResultsTableShape& shape = TableShape(table);
    const QStringList columns = shape.Columns.mid(1);
    const QStringList names = Placeholders(columns.size(), QStringLiteral("c"));
    QStringList arrays;
    for (qsizetype i = 0; i < columns.size(); ++i)
        arrays << QStringLiteral("?::text[]");
    arrays << QStringLiteral("?::uuid[]") << QStringLiteral("?::bigint[]");
    return QStringLiteral("insert into %1(%2, station, run_id, seq) select %3, ?, u.run_id, u.seq from "
                          "unnest(%4) as u(%3, run_id, seq) on conflict (station, run_id, seq) do nothing "
                          "returning run_id, seq, Id")
        .arg(shape.Name, columns.join(u','), names.join(u','), arrays.join(u','));
}

// The Ids of rows already stored. Binds: station, run ids (uuid[]), seqs (bigint[]).
QString ExistingStatement(ResultsTable table)
{
    return QStringLiteral("select run_id, seq, Id from %1 where station = ? and (run_id, seq) in (select * "
                          "from unnest(?::uuid[], ?::bigint[]))")
        .arg(TableShape(table).Name);
}

// A PostgreSQL array literal; `quote` for text, whose elements may hold anything.
QString ArrayLiteral(const QStringList& items, bool quote)
{
    QString text = QStringLiteral("{");
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (i > 0)
            text += u',';
        if (!quote) {
            text += items[i];
            continue;
        }
        QString item = items[i];
        item.replace(u'\\', QLatin1String("\\\\")).replace(u'"', QLatin1String("\\\""));
        text += u'"' + item + u'"';
    }
    return text + u'}';
}

QString RowKey(const QString& runId, const QString& seq)
{
    return runId + u'/' + seq;
}

// A run id as the server returns it (the driver may hand a uuid over as a QUuid, whose
// text has braces), in the form the keys above use.
QString RunIdText(const QVariant& value)
{
    return QUuid::fromString(value.toString()).toString(QUuid::WithoutBraces);
}

// A table, its seq column or its unique key is not there: another program dropped the
// table, or an older version made it again. Made (or completed) again and tried once more.
bool TableMissing(const QSqlError& error)
{
    static const QStringList states { QStringLiteral("42P01"), QStringLiteral("42703"),
        QStringLiteral("42P10") };
    return states.contains(error.nativeErrorCode());
}

} // namespace

std::vector<QString> SharedResults::Worker::WriteRows(const std::vector<PendingRow>& rows)
{
    Open();
    for (bool remade = false;; remade = true) {
        std::vector<QString> ids(rows.size());
        const std::optional<Failure> failed = Transaction(rows, ids);
        if (!failed) {
            link = Link::Open;
            return ids;
        }
        if (ConnectionLost(failed->error))
            broken = true;
        Rollback();
        // Another program dropped a table: made again under the creation lock, once.
        if (!remade && TableMissing(failed->error)) {
            MakeTables();
            continue;
        }
        Fail(failed->what, failed->error);
    }
}

// One transaction: the rows in their order, each run of data rows between two run
// records with one statement per table.
std::optional<SharedResults::Worker::Failure> SharedResults::Worker::Transaction(
    const std::vector<PendingRow>& rows, std::vector<QString>& ids)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("begin")))
        return Failure { QStringLiteral("\"begin\""), query.lastError() };
    for (size_t at = 0; at < rows.size();) {
        if (rows[at].runRecord) {
            const QString statement = UpsertRunStatement(RunsDialect::Postgres);
            if (!query.prepare(statement))
                return Failure { QStringLiteral("the record of run %1").arg(rows[at].runId),
                    query.lastError() };
            BindRunRecord(query, station, rows[at].record);
            if (!query.exec())
                return Failure { QStringLiteral("the record of run %1").arg(rows[at].runId),
                    query.lastError() };
            ids[at] = rows[at].runId;
            ++at;
            continue;
        }
        size_t end = at;
        while (end < rows.size() && !rows[end].runRecord)
            ++end;
        for (const ResultsTable table : kAllResultsTables) {
            std::vector<size_t> mine;
            for (size_t i = at; i < end; ++i)
                if (rows[i].table == table)
                    mine.push_back(i);
            if (mine.empty())
                continue;
            if (std::optional<Failure> failed = Insert(table, rows, mine, ids))
                return failed;
        }
        at = end;
    }
    if (!query.exec(QStringLiteral("commit")))
        return Failure { QStringLiteral("\"commit\""), query.lastError() };
    return std::nullopt;
}

std::optional<SharedResults::Worker::Failure> SharedResults::Worker::Insert(ResultsTable table,
    const std::vector<PendingRow>& rows, const std::vector<size_t>& mine, std::vector<QString>& ids)
{
    const ResultsTableShape& shape = TableShape(table);
    const QString what = QStringLiteral("the readings of table %1").arg(shape.Name);
    const qsizetype columns = shape.Columns.size() - 1;
    std::vector<QStringList> values(static_cast<size_t>(columns));
    QStringList runIds, seqs;
    for (const size_t i : mine) {
        const PendingRow& row = rows[i];
        for (qsizetype c = 0; c < columns; ++c)
            // Every stored value is text, an empty one too.
            values[static_cast<size_t>(c)] << (c < row.values.size() ? row.values[c] : QString());
        const QUuid uuid = QUuid::fromString(row.runId);
        runIds << (uuid.isNull() ? QStringLiteral("NULL") : uuid.toString(QUuid::WithoutBraces));
        seqs << (row.seq > 0 ? QString::number(row.seq) : QStringLiteral("NULL"));
    }

    std::unique_ptr<QSqlQuery>& insert = inserts[static_cast<int>(table)];
    if (!insert) {
        auto prepared = std::make_unique<QSqlQuery>(db);
        if (!prepared->prepare(BatchInsertStatement(table)))
            return Failure { what, prepared->lastError() };
        insert = std::move(prepared);
    }
    int bind = 0;
    insert->bindValue(bind++, station);
    for (const QStringList& column : values)
        insert->bindValue(bind++, ArrayLiteral(column, true));
    insert->bindValue(bind++, ArrayLiteral(runIds, false));
    insert->bindValue(bind++, ArrayLiteral(seqs, false));
    if (!insert->exec()) {
        const QSqlError error = insert->lastError();
        insert->finish();
        return Failure { what, error };
    }
    // Rows without a seq are never skipped; their Ids come back in their order.
    QHash<QString, QString> stored;
    QStringList unnumbered;
    while (insert->next()) {
        if (insert->value(1).isNull())
            unnumbered << insert->value(2).toString();
        else
            stored.insert(RowKey(RunIdText(insert->value(0)), insert->value(1).toString()),
                insert->value(2).toString());
    }
    insert->finish();

    QStringList skippedRuns, skippedSeqs;
    qsizetype nextUnnumbered = 0;
    for (qsizetype k = 0; k < static_cast<qsizetype>(mine.size()); ++k) {
        const size_t i = mine[static_cast<size_t>(k)];
        if (seqs[k] == u"NULL") {
            ids[i] = unnumbered.value(nextUnnumbered++);
            continue;
        }
        ids[i] = stored.value(RowKey(runIds[k], seqs[k]));
        if (ids[i].isEmpty()) {
            skippedRuns << runIds[k];
            skippedSeqs << seqs[k];
        }
    }
    if (skippedRuns.isEmpty())
        return std::nullopt;

    // Stored before (a write whose acknowledgement was lost): the row's own Id tells the
    // caller it is there.
    QSqlQuery existing(db);
    if (!existing.prepare(ExistingStatement(table)))
        return Failure { what, existing.lastError() };
    existing.addBindValue(station);
    existing.addBindValue(ArrayLiteral(skippedRuns, false));
    existing.addBindValue(ArrayLiteral(skippedSeqs, false));
    if (!existing.exec())
        return Failure { what, existing.lastError() };
    while (existing.next())
        stored.insert(
            RowKey(RunIdText(existing.value(0)), existing.value(1).toString()), existing.value(2).toString());
    for (qsizetype k = 0; k < static_cast<qsizetype>(mine.size()); ++k)
        if (seqs[k] != u"NULL")
            ids[mine[static_cast<size_t>(k)]] = stored.value(RowKey(runIds[k], seqs[k]));
    return std::nullopt;
}
