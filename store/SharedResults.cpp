#include "store/SharedResults.h"

#include "store/ResultsDatabase.h"

#include <QDateTime>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

const QString kDriver = QStringLiteral("QPSQL");

// A transaction takes at most this many rows; the caller's further rows wait for the next.
constexpr size_t kMostRowsPerWrite = 1000;

QString NewConnectionName()
{
    // Numbers the connections of this process; only ever incremented.
    static std::atomic<unsigned> next { 0 };
    return QStringLiteral("dcload-shared-%1").arg(++next);
}

QString NewRunId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// The server's (or libpq's) own words, on one line.
QString SaidBy(const QSqlError& error)
{
    const QString own = error.databaseText().simplified();
    return own.isEmpty() ? error.text().simplified() : own;
}

// The server never repeats a password, but a driver's message is not ours to trust.
QString HiddenIn(QString text, const QString& password)
{
    if (password.size() >= 3)
        text.replace(password, QStringLiteral("(password)"));
    return text;
}

void Configure(QSqlDatabase& db, const SharedResultsLocation& location, const QString& password)
{
    db.setHostName(location.host);
    db.setPort(location.port);
    db.setDatabaseName(location.database);
    db.setUserName(location.user);
    // Without one libpq looks in ~/.pgpass (or PGPASSFILE) itself.
    if (!password.isEmpty())
        db.setPassword(password);
    db.setConnectOptions(ConnectOptions(location));
}

// A refused connection: what it means for the rows and what the operator is told.
EDatabaseError Refusal(const SharedResultsLocation& location, const QSqlError& error, const QString& password)
{
    const QString said = SaidBy(error);
    const QString where = location.Display();
    QString message;
    EDatabaseError::Cause cause = EDatabaseError::Cause::Unreachable;
    if (said.contains(QLatin1String("no password supplied"))) {
        cause = EDatabaseError::Cause::NeedsPassword;
        message
            = QStringLiteral("The results database %1 asks user \"%2\" for a password, and none was found "
                             "in ~/.pgpass (or the file PGPASSFILE names).")
                  .arg(where, location.user);
    } else if (said.contains(QLatin1String("password authentication failed"))) {
        cause = EDatabaseError::Cause::NeedsPassword;
        message = QStringLiteral("The results database %1 refused the password of user \"%2\".")
                      .arg(where, location.user);
    } else if (said.contains(QLatin1String("SSL"), Qt::CaseInsensitive)
        || said.contains(QLatin1String("certificate"), Qt::CaseInsensitive)) {
        message = QStringLiteral("The results database %1 refused a secure (SSL) connection: %2")
                      .arg(where, said);
    } else {
        message = QStringLiteral("Cannot reach the results database %1: %2").arg(where, said);
    }
    return EDatabaseError(HiddenIn(message, password).toStdString(), cause);
}

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

// A profile run's resistance rows carry the profile run's id.
int RunSlot(ResultsTable table)
{
    return static_cast<int>(table == ResultsTable::Resistance ? ResultsTable::Profile : table);
}

// SQLSTATE classes of a connection that is gone or not taking work: connection
// exceptions, operator intervention (shutdown), insufficient resources. A driver-side
// failure has none.
bool ConnectionLost(const QSqlError& error)
{
    const QString state = error.nativeErrorCode();
    return state.isEmpty() || state.startsWith(QLatin1String("08")) || state.startsWith(QLatin1String("57P"))
        || state.startsWith(QLatin1String("53"));
}

// Another client's lock outlasted lock_timeout (55P03), a statement was cancelled
// (57014: statement_timeout, or an administrator), or two transactions collided (40001,
// 40P01): nothing is wrong with the rows, they are tried again.
bool HeldUp(const QSqlError& error)
{
    static const QStringList states { QStringLiteral("55P03"), QStringLiteral("57014"),
        QStringLiteral("40001"), QStringLiteral("40P01") };
    return states.contains(error.nativeErrorCode());
}

// A table, its seq column or its unique key is not there: another program dropped the
// table, or an older version made it again. Made (or completed) again and tried once more.
bool TableMissing(const QSqlError& error)
{
    static const QStringList states { QStringLiteral("42P01"), QStringLiteral("42703"),
        QStringLiteral("42P10") };
    return states.contains(error.nativeErrorCode());
}

bool SameRow(const PendingRow& a, const PendingRow& b)
{
    return a.runRecord == b.runRecord && a.table == b.table && a.seq == b.seq && a.runId == b.runId
        && a.values == b.values;
}

bool BeginsWith(const std::vector<PendingRow>& rows, const std::vector<PendingRow>& front)
{
    if (rows.size() < front.size())
        return false;
    for (size_t i = 0; i < front.size(); ++i)
        if (!SameRow(rows[i], front[i]))
            return false;
    return true;
}

bool Ready(const std::future<void>& done, std::chrono::milliseconds wait = std::chrono::milliseconds(0))
{
    return done.wait_for(wait) == std::future_status::ready;
}

} // namespace

// Everything the worker thread touches. It is shared between the store and the thread,
// so a thread left to finish alone (see ~SharedResults) holds nothing of the store's.
struct SharedResults::Worker
{
    enum class Link { Closed, Connecting, Unreachable, NeedsPassword, Locked, Open };

    struct Job
    {
        std::packaged_task<void()> task;
        std::shared_ptr<std::atomic<bool>> cancelled; // set by an owner that stopped waiting
    };

    // A statement that failed inside a write's transaction.
    struct Failure
    {
        QString what;
        QSqlError error;
    };

    Worker(SharedResultsLocation at, QString ofStation)
        : location(std::move(at))
        , station(std::move(ofStation))
        , connectionName(NewConnectionName())
    { }

    // Owner side: queues `work`; its future is ready once it ran, and carries its error.
    std::future<void> Post(
        std::function<void(Worker&)> work, std::shared_ptr<std::atomic<bool>> cancelled = nullptr)
    {
        std::packaged_task<void()> task([this, work = std::move(work)] { work(*this); });
        std::future<void> done = task.get_future();
        {
            const std::lock_guard<std::mutex> hold(lock);
            jobs.push_back({ std::move(task), std::move(cancelled) });
        }
        wake.notify_one();
        return done;
    }

    // The thread's body: jobs in order until told to stop; then the connection goes here,
    // on the thread that made it.
    void Loop()
    {
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> hold(lock);
                wake.wait(hold, [this] { return stop || !jobs.empty(); });
                if (stop)
                    break;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            if (!job.cancelled || !job.cancelled->load())
                job.task();
        }
        Close();
        {
            const std::lock_guard<std::mutex> hold(lock);
            finished = true;
        }
        ended.notify_all();
    }

    // What follows runs on the worker thread only.

    void Open()
    {
        if (db.isOpen() && !broken)
            return;
        // A connection found lost is dropped here, where no statement of it is alive.
        Close();
        if (!QSqlDatabase::isDriverAvailable(kDriver)) {
            link = Link::Unreachable;
            throw EDatabaseError(
                QStringLiteral("The results database %1 needs Qt's PostgreSQL driver (Debian package "
                               "libqt6sql6-psql), which is not installed.")
                    .arg(location.Display())
                    .toStdString(),
                EDatabaseError::Cause::Unreachable);
        }
        // A server known to be away, or to want a password, stays so in the status line
        // until it answers.
        if (link != Link::Unreachable && link != Link::NeedsPassword)
            link = Link::Connecting;
        db = QSqlDatabase::addDatabase(kDriver, connectionName);
        Configure(db, location, password);
        if (!db.open()) {
            const EDatabaseError refused = Refusal(location, db.lastError(), password);
            link = refused.NeedsPassword() ? Link::NeedsPassword : Link::Unreachable;
            Close();
            throw refused;
        }
        // Commits keep the server's durable default: one returns once the row is on the
        // server's disk, and the rate comes from batching. A lock another client holds (an
        // ALTER TABLE, a VACUUM FULL) is waited for only so long, then reported.
        QSqlQuery settings(db);
        Exec(settings, QStringLiteral("set lock_timeout = %1").arg(kLockTimeoutMs));
        link = Link::Open;
    }

    void Close()
    {
        CloseResultsConnection(db, connectionName, inserts);
        broken = false;
    }

    void Exec(QSqlQuery& query, const QString& statement)
    {
        if (!query.exec(statement))
            Fail(QStringLiteral("\"%1\"").arg(statement), query.lastError());
    }

    // `what` the server refused, as the message names it.
    [[noreturn]] void Fail(const QString& what, const QSqlError& error)
    {
        const QString said = SaidBy(error);
        const QString where = location.Display();
        if (ConnectionLost(error)) {
            broken = true;
            link = Link::Unreachable;
            throw EDatabaseError(
                HiddenIn(QStringLiteral("The results database %1 went away: %2").arg(where, said), password)
                    .toStdString(),
                EDatabaseError::Cause::Unreachable);
        }
        if (HeldUp(error)) {
            link = Link::Locked;
            throw EDatabaseError(
                HiddenIn(QStringLiteral("The results database %1 holds the readings up: %2 (another client "
                                        "holds a lock on the table longer than %3 s)")
                             .arg(where, said)
                             .arg(kLockTimeoutMs / 1000),
                    password)
                    .toStdString(),
                EDatabaseError::Cause::Unreachable);
        }
        throw EDatabaseError(HiddenIn(
            QStringLiteral("The results database %1 refused %2: %3").arg(where, what, said), password)
                                 .toStdString());
    }

    void Rollback()
    {
        if (!broken && db.isOpen())
            QSqlQuery(db).exec(QStringLiteral("rollback"));
    }

    void StartSession()
    {
        Open();
        MakeTables();
    }

    // Makes the missing tables and completes an older version's, in one transaction
    // under the lab's creation lock, so that two stations starting together do not both
    // make the same table.
    void MakeTables()
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
                    QStringLiteral(
                        "select to_regclass('%1') is null, exists(select 1 from pg_attribute where "
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
                    Exec(query,
                        QStringLiteral("alter table %1 add column if not exists seq bigint").arg(name));
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

    std::vector<QString> WriteRows(const std::vector<PendingRow>& rows)
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
    std::optional<Failure> Transaction(const std::vector<PendingRow>& rows, std::vector<QString>& ids)
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

    std::optional<Failure> Insert(ResultsTable table, const std::vector<PendingRow>& rows,
        const std::vector<size_t>& mine, std::vector<QString>& ids)
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
            stored.insert(RowKey(RunIdText(existing.value(0)), existing.value(1).toString()),
                existing.value(2).toString());
        for (qsizetype k = 0; k < static_cast<qsizetype>(mine.size()); ++k)
            if (seqs[k] != u"NULL")
                ids[mine[static_cast<size_t>(k)]] = stored.value(RowKey(runIds[k], seqs[k]));
        return std::nullopt;
    }

    // Whether `name` is a table the server has; a table no station has made yet holds
    // no runs (a role that may not create it still reads the others).
    bool HasTable(QSqlQuery& query, const QString& name)
    {
        Exec(query, QStringLiteral("select to_regclass('%1') is not null").arg(name));
        return query.next() && query.value(0).toBool();
    }

    std::vector<StoredRun> Runs(const std::vector<ResultsTable>& tables)
    {
        Open();
        std::vector<StoredRun> runs;
        QSqlQuery query(db);
        const QDateTime now = QDateTime::currentDateTime();
        for (const ResultsTable t : tables) {
            if (!HasTable(query, TableShape(t).Name))
                continue;
            Exec(query, RunsStatement(t, QStringLiteral("run_id"), QStringLiteral("station")));
            while (query.next()) {
                StoredRun run = RunFromTimes(t, query.value(3).toString(), query.value(4).toString(), now);
                run.key = query.value(0).toString();
                run.station = query.value(1).toString();
                run.readings = query.value(2).toInt();
                runs.push_back(std::move(run));
            }
        }
        return runs;
    }

    std::vector<QStringList> RunRows(ResultsTable table, const QString& runId)
    {
        Open();
        QSqlQuery query(db);
        const ResultsTableShape& shape = TableShape(table);
        if (!HasTable(query, shape.Name))
            return {};
        const QStringList columns = shape.Columns.mid(1);
        const QString statement = QStringLiteral("select %1 from %2 where run_id = ? order by Id")
                                      .arg(columns.join(u','), shape.Name);
        query.prepare(statement);
        query.addBindValue(runId);
        if (!query.exec())
            Fail(QStringLiteral("\"%1\"").arg(statement), query.lastError());
        std::vector<QStringList> rows;
        while (query.next()) {
            QStringList values;
            for (int column = 0; column < columns.size(); ++column)
                values << query.value(column).toString();
            rows.push_back(std::move(values));
        }
        return rows;
    }

    std::vector<RunRecord> RunRecords(const RunFilter& filter)
    {
        Open();
        QSqlQuery query(db);
        if (!HasTable(query, QStringLiteral("runs")))
            return {};
        const QString statement = SelectRunsStatement(RunsDialect::Postgres, filter);
        query.prepare(statement);
        BindRunFilter(query, filter);
        if (!query.exec())
            Fail(QStringLiteral("\"%1\"").arg(statement), query.lastError());
        std::vector<RunRecord> records;
        while (query.next())
            records.push_back(RunRecordFromQuery(query));
        return records;
    }

    const SharedResultsLocation location;
    const QString station;
    const QString connectionName;

    // The worker thread's alone.
    QString password; // handed over by a job, so it changes between two of them
    QSqlDatabase db;
    std::unique_ptr<QSqlQuery> inserts[kResultsTables]; // the batch insert of each table, prepared
    bool broken = false; // the connection was found lost; reopened by the next job

    // Written by the worker, read by the owner for the status line.
    std::atomic<Link> link { Link::Closed };

    // Guards jobs, stop and finished; `wake` wakes the worker, `ended` the owner.
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable ended;
    std::deque<Job> jobs;
    bool stop = false;
    bool finished = false;
    std::thread thread;
};

SharedResults::SharedResults(SharedResultsLocation location, QString station)
    : FLocation(std::move(location))
    , FStation(std::move(station))
    , FRunIds { NewRunId(), NewRunId(), NewRunId(), NewRunId() }
    , FWorker(std::make_shared<Worker>(FLocation, FStation))
{
    FWorker->thread = std::thread([worker = FWorker] { worker->Loop(); });
}

SharedResults::~SharedResults()
{
    {
        const std::lock_guard<std::mutex> hold(FWorker->lock);
        FWorker->stop = true;
    }
    FWorker->wake.notify_one();
    std::unique_lock<std::mutex> hold(FWorker->lock);
    const bool finished = FWorker->ended.wait_for(
        hold, std::chrono::milliseconds(kCloseWaitMs), [this] { return FWorker->finished; });
    hold.unlock();
    // A server stopped mid-statement (kill -STOP) may hold the worker for as long as it
    // stays stopped. The window or the command line must still be able to close, so the
    // thread is then left to finish alone: it holds its own share of the Worker and
    // nothing of this store's, and closes its connection once the server answers or the
    // connection breaks. Rows it was writing were never reported stored, so the caller
    // still counts them as waiting.
    if (finished)
        FWorker->thread.join();
    else
        FWorker->thread.detach();
}

SharedResults::UnderWay SharedResults::Hand(std::vector<PendingRow> rows)
{
    if (rows.size() > kMostRowsPerWrite)
        rows.resize(kMostRowsPerWrite);
    UnderWay write;
    write.ids = std::make_shared<std::vector<QString>>();
    write.stalled = QDeadlineTimer(kStalledMs);
    write.done = FWorker->Post([rows, ids = write.ids](Worker& worker) { *ids = worker.WriteRows(rows); });
    write.rows = std::move(rows);
    return write;
}

std::vector<QString> SharedResults::Collect(UnderWay& write, bool sameRows)
{
    FStalled = false;
    // Rethrows the worker's error; the Ids were filled before the future became ready.
    write.done.get();
    if (!sameRows)
        return {};
    return std::move(*write.ids);
}

void SharedResults::ThrowUnderWay(const UnderWay& write)
{
    // The server has the rows in hand and says nothing (stopped, or a network that drops
    // without a reset): the caller keeps them and is told, as for a server away.
    if (write.stalled.hasExpired()) {
        FStalled = true;
        throw EDatabaseError(QStringLiteral("The results database %1 has not answered for %2 s.")
                                 .arg(FLocation.Display())
                                 .arg(kStalledMs / 1000)
                                 .toStdString(),
            EDatabaseError::Cause::Unreachable);
    }
    throw EDatabaseError(
        QStringLiteral("Storing readings in the results database %1").arg(FLocation.Display()).toStdString(),
        EDatabaseError::Cause::Busy);
}

void SharedResults::StartSession()
{
    if (!FStart.valid()) {
        FStart = FWorker->Post([](Worker& worker) { worker.StartSession(); });
    } else if (Ready(FStart)) {
        std::future<void> start = std::move(FStart);
        start.get();
        return;
    }
    throw EDatabaseError(
        QStringLiteral("Connecting to the results database %1").arg(FLocation.Display()).toStdString(),
        EDatabaseError::Cause::Busy);
}

QString SharedResults::Write(ResultsTable table, const QStringList& values)
{
    const auto sameRow = [&](const PendingRow& row) { return row.table == table && row.values == values; };
    if (FWrite) {
        const bool mine = sameRow(FWrite->rows.front());
        if (!Ready(FWrite->done)) {
            if (mine)
                ThrowUnderWay(*FWrite);
            throw EDatabaseError(QStringLiteral("Storing a reading in the results database %1")
                                     .arg(FLocation.Display())
                                     .toStdString(),
                EDatabaseError::Cause::Busy);
        }
        UnderWay write = std::move(*FWrite);
        FWrite.reset();
        if (mine) {
            const QString id = Collect(write, true).front();
            FWriteRow.reset();
            return id;
        }
    }
    // A row tried before (its write failed, perhaps after the server had it) keeps its
    // seq, so that it is not stored twice; a new row takes the next one of its run.
    const bool retry = FWriteRow && sameRow(*FWriteRow);
    if (!retry) {
        PendingRow row;
        row.table = table;
        row.values = values;
        row.runId = RunId(table);
        row.seq = ++FWriteSeqs[RunSlot(table)];
        FWriteRow = std::move(row);
    }
    FWrite = Hand({ *FWriteRow });
    // Rows stored one at a time come from a caller that waits for each: a short wait
    // gives it the Id at once. A retry, or a server known to be in trouble, is not
    // waited for: the caller keeps the row and asks again.
    const bool healthy = !retry && FWorker->link.load() == Worker::Link::Open;
    if (!Ready(FWrite->done, std::chrono::milliseconds(healthy ? kWriteWaitMs : 0)))
        ThrowUnderWay(*FWrite);
    UnderWay write = std::move(*FWrite);
    FWrite.reset();
    const QString id = Collect(write, true).front();
    FWriteRow.reset();
    return id;
}

std::vector<QString> SharedResults::WriteRows(const std::vector<PendingRow>& rows)
{
    if (FBatch) {
        const bool same = BeginsWith(rows, FBatch->rows);
        if (!Ready(FBatch->done)) {
            if (same)
                ThrowUnderWay(*FBatch);
            throw EDatabaseError(QStringLiteral("Storing other readings in the results database %1")
                                     .arg(FLocation.Display())
                                     .toStdString(),
                EDatabaseError::Cause::Busy);
        }
        UnderWay write = std::move(*FBatch);
        FBatch.reset();
        if (same)
            return Collect(write, true);
        // The caller no longer offers those rows: their outcome goes unread (written or not,
        // a later write of the same rows is not doubled).
        try {
            Collect(write, false);
        } catch (const EDatabaseError&) { }
    }
    if (rows.empty())
        return {};
    FBatch = Hand(rows);
    throw EDatabaseError(QStringLiteral("Storing %1 readings in the results database %2")
                             .arg(FBatch->rows.size())
                             .arg(FLocation.Display())
                             .toStdString(),
        EDatabaseError::Cause::Busy);
}

template <typename T> T SharedResults::Ask(std::function<T(Worker&)> work)
{
    auto result = std::make_shared<std::optional<T>>();
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    std::future<void> done = FWorker->Post(
        [result, work = std::move(work)](Worker& worker) { *result = work(worker); }, cancelled);
    // The operator asked and waits, but not for ever: a write under way on a server that
    // stopped answering comes first in the worker's queue.
    if (!Ready(done, std::chrono::milliseconds(kReadBackWaitMs))) {
        cancelled->store(true);
        throw EDatabaseError(QStringLiteral("The results database %1 did not answer within %2 s.")
                                 .arg(FLocation.Display())
                                 .arg(kReadBackWaitMs / 1000)
                                 .toStdString(),
            EDatabaseError::Cause::Unreachable);
    }
    done.get();
    return std::move(**result);
}

std::vector<RunRecord> SharedResults::RunRecords(const RunFilter& filter)
{
    return Ask<std::vector<RunRecord>>([filter](Worker& worker) { return worker.RunRecords(filter); });
}

void SharedResults::Clear(ResultsTable table)
{
    BeginRun(table);
}

void SharedResults::BeginRun(ResultsTable table)
{
    if (table != ResultsTable::Resistance) {
        FRunIds[RunSlot(table)] = NewRunId();
        FWriteSeqs[RunSlot(table)] = 0;
    }
}

QString SharedResults::RunId(ResultsTable table) const
{
    return FRunIds[RunSlot(table)];
}

std::vector<StoredRun> SharedResults::Runs(std::optional<ResultsTable> table)
{
    const std::vector<ResultsTable> tables = table
        ? std::vector { *table }
        : std::vector { ResultsTable::Battery, ResultsTable::ListS, ResultsTable::Profile };
    std::vector<StoredRun> runs
        = Ask<std::vector<StoredRun>>([tables](Worker& worker) { return worker.Runs(tables); });
    SortNewestFirst(runs);
    return runs;
}

std::vector<QStringList> SharedResults::RunRows(ResultsTable table, const QString& key)
{
    // Only a run id can name a run here; anything else names none.
    const QUuid runId = QUuid::fromString(key);
    if (runId.isNull())
        return {};
    return Ask<std::vector<QStringList>>([table, id = runId.toString(QUuid::WithoutBraces)](
                                             Worker& worker) { return worker.RunRows(table, id); });
}

void SharedResults::SetPassword(const QString& password)
{
    // Handed to the worker only, which hides it in every message it makes.
    FWorker->Post([password](Worker& worker) {
        worker.password = password;
        worker.Close();
    });
    // A start under way carries the old password: its outcome is of no use now.
    FStart = {};
}

QString SharedResults::SetAsideDamaged()
{
    return QStringLiteral("The results database %1 reports damage: ask whoever looks after the server.")
        .arg(FLocation.Display());
}

QString SharedResults::HeldUpStatus() const
{
    const QString where = FLocation.Display();
    if (FStalled)
        return QStringLiteral("The results database %1 does not answer").arg(where);
    switch (FWorker->link.load()) {
    case Worker::Link::Closed:
    case Worker::Link::Connecting:
        return QStringLiteral("Connecting to the results database %1").arg(where);
    case Worker::Link::NeedsPassword:
        return QStringLiteral("The results database %1 waits for a password").arg(where);
    case Worker::Link::Unreachable:
        return QStringLiteral("The results database %1 cannot be reached").arg(where);
    case Worker::Link::Locked:
        return QStringLiteral("Another client holds a lock on the results database %1").arg(where);
    case Worker::Link::Open:
        break;
    }
    return QStringLiteral("The results database %1 holds readings up").arg(where);
}

QString SharedResults::NotReadyNote() const
{
    return QStringLiteral(" Readings are kept and stored once it can be reached.");
}
