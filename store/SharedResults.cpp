#include "store/SharedResults.h"

#include "store/ResultsDatabase.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <atomic>
#include <chrono>

namespace {

const QString kDriver = QStringLiteral("QPSQL");

QString NewConnectionName(const char* use)
{
    // Numbers the connections of this process; only ever incremented.
    static std::atomic<unsigned> next { 0 };
    return QStringLiteral("dcload-shared-%1-%2").arg(QLatin1String(use)).arg(++next);
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

// What a refused connection means for the rows and for the operator.
SharedResults::Attempt Refusal(const SharedResultsLocation& location, const QSqlError& error)
{
    const QString said = SaidBy(error);
    const QString where = location.Display();
    if (said.contains(QLatin1String("no password supplied")))
        return { false, EDatabaseError::Cause::NeedsPassword,
            QStringLiteral("The results database %1 asks user \"%2\" for a password, and none was found in "
                           "~/.pgpass (or the file PGPASSFILE names).")
                .arg(where, location.user) };
    if (said.contains(QLatin1String("password authentication failed")))
        return { false, EDatabaseError::Cause::NeedsPassword,
            QStringLiteral("The results database %1 refused the password of user \"%2\".")
                .arg(where, location.user) };
    if (said.contains(QLatin1String("SSL"), Qt::CaseInsensitive)
        || said.contains(QLatin1String("certificate"), Qt::CaseInsensitive))
        return {
            false, EDatabaseError::Cause::Unreachable,
            QStringLiteral("The results database %1 refused a secure (SSL) connection: %2").arg(where, said)
        };
    return { false, EDatabaseError::Cause::Unreachable,
        QStringLiteral("Cannot reach the results database %1: %2").arg(where, said) };
}

// Runs on a thread of its own: the connection is made, closed and removed there.
SharedResults::Attempt TryToConnect(const SharedResultsLocation& location, const QString& password)
{
    if (!QSqlDatabase::isDriverAvailable(kDriver))
        return { false, EDatabaseError::Cause::Unreachable,
            QStringLiteral("The results database %1 needs Qt's PostgreSQL driver (Debian package "
                           "libqt6sql6-psql), which is not installed.")
                .arg(location.Display()) };
    const QString name = NewConnectionName("try");
    SharedResults::Attempt attempt;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(kDriver, name);
        Configure(db, location, password);
        attempt = db.open() ? SharedResults::Attempt { true, {}, {} } : Refusal(location, db.lastError());
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return attempt;
}

// The statements that make a table and its index when missing; identifiers unquoted, so
// the operator's queries need no quotes either (the server folds them to lower case).
QStringList CreateStatements(ResultsTable table)
{
    const ResultsTableShape& shape = TableShape(table);
    QStringList columns { QStringLiteral("Id bigserial primary key") };
    for (qsizetype i = 1; i < shape.Columns.size(); ++i)
        columns << shape.Columns[i] + QStringLiteral(" text");
    columns << QStringLiteral("station text not null") << QStringLiteral("run_id uuid not null");
    return { QStringLiteral("create table if not exists %1(%2)")
                 .arg(shape.Name, columns.join(QStringLiteral(", "))),
        QStringLiteral("create index if not exists %1_station_run on %1(station, run_id)").arg(shape.Name) };
}

QString InsertStatement(ResultsTable table)
{
    return ::InsertStatement(TableShape(table), { QStringLiteral("station"), QStringLiteral("run_id") })
        + QStringLiteral(" returning Id");
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

} // namespace

SharedResults::SharedResults(SharedResultsLocation location, QString station)
    : FLocation(std::move(location))
    , FStation(std::move(station))
    , FConnectionName(NewConnectionName("rows"))
    , FRunIds { NewRunId(), NewRunId(), NewRunId(), NewRunId() }
{ }

SharedResults::~SharedResults()
{
    Close();
    if (FAttempt.valid())
        FAttempt.wait();
}

void SharedResults::Open()
{
    if (FLink == Link::Open && FDb.isOpen())
        return;
    // A connection found lost is dropped here, where no statement of it is alive.
    Close();
    if (!FAttempt.valid()) {
        FAttempt = std::async(std::launch::async, TryToConnect, FLocation, FPassword);
        // A server known to be away stays so in the status line until it answers.
        if (FLink == Link::Closed || FLink == Link::Open)
            FLink = Link::Connecting;
    }
    if (FAttempt.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        throw EDatabaseError(
            QStringLiteral("Connecting to the results database %1").arg(FLocation.Display()).toStdString(),
            EDatabaseError::Cause::Busy);
    const Attempt attempt = FAttempt.get();
    if (!attempt.ok) {
        FLink
            = attempt.cause == EDatabaseError::Cause::NeedsPassword ? Link::NeedsPassword : Link::Unreachable;
        throw EDatabaseError(Hidden(attempt.message).toStdString(), attempt.cause);
    }
    // The server has just answered: this connect does not wait on the network.
    FDb = QSqlDatabase::addDatabase(kDriver, FConnectionName);
    Configure(FDb, FLocation, FPassword);
    if (!FDb.open()) {
        const Attempt refused = Refusal(FLocation, FDb.lastError());
        FLink = Link::Unreachable;
        throw EDatabaseError(Hidden(refused.message).toStdString(), refused.cause);
    }
    // A commit returns once the server has it, not once it is on the server's disk: a
    // reading a second, or a thousand, without a disk flush each. A server that crashes
    // (not one that is stopped) may lose its last fraction of a second, as db.sqlite's
    // normal synchronisation may on a power cut.
    QSqlQuery settings(FDb);
    if (!settings.exec(QStringLiteral("set synchronous_commit to off")))
        Fail(QStringLiteral("set synchronous_commit to off"), settings.lastError());
    FLink = Link::Open;
}

void SharedResults::Close()
{
    CloseResultsConnection(FDb, FConnectionName, FInserts);
}

void SharedResults::Fail(const QString& statement, const QSqlError& error)
{
    const bool lost = ConnectionLost(error);
    const QString said = SaidBy(error);
    if (lost) {
        FLink = Link::Unreachable;
        throw EDatabaseError(
            Hidden(QStringLiteral("The results database %1 went away: %2").arg(FLocation.Display(), said))
                .toStdString(),
            EDatabaseError::Cause::Unreachable);
    }
    throw EDatabaseError(Hidden(QStringLiteral("The results database %1 refused \"%2\": %3")
                                    .arg(FLocation.Display(), statement, said))
                             .toStdString());
}

void SharedResults::Exec(QSqlQuery& query, const QString& statement)
{
    if (!query.exec(statement))
        Fail(statement, query.lastError());
}

void SharedResults::StartSession()
{
    Open();
    QSqlQuery query(FDb);
    // Two stations starting together must not both make the same table.
    Exec(query, QStringLiteral("begin"));
    try {
        Exec(query, QStringLiteral("select pg_advisory_xact_lock(hashtext('dcload results tables'))"));
        // A database made by an older version gets the newer tables here, under the same lock.
        for (const ResultsTable table : kAllResultsTables) {
            // Only a missing table is made: a station's role may be allowed to add rows to
            // the lab's tables and no more.
            Exec(query, QStringLiteral("select to_regclass('%1') is null").arg(TableShape(table).Name));
            if (!query.next() || !query.value(0).toBool())
                continue;
            for (const QString& statement : CreateStatements(table))
                Exec(query, statement);
        }
        Exec(query, QStringLiteral("select to_regclass('runs') is null"));
        if (query.next() && query.value(0).toBool())
            Exec(query, CreateRunsStatement(RunsDialect::Postgres));
        Exec(query, QStringLiteral("commit"));
    } catch (const EDatabaseError&) {
        if (FLink == Link::Open)
            query.exec(QStringLiteral("rollback"));
        throw;
    }
}

QSqlQuery& SharedResults::InsertQuery(ResultsTable table)
{
    std::unique_ptr<QSqlQuery>& insert = FInserts[static_cast<int>(table)];
    if (!insert) {
        auto prepared = std::make_unique<QSqlQuery>(FDb);
        if (!prepared->prepare(InsertStatement(table)))
            Fail(InsertStatement(table), prepared->lastError());
        insert = std::move(prepared);
    }
    return *insert;
}

QString SharedResults::Write(ResultsTable table, const QStringList& values)
{
    Open();
    QSqlQuery& insert = InsertQuery(table);
    int at = 0;
    for (const QString& value : values)
        // Every stored value is text, an empty one too.
        insert.bindValue(at++, value.isNull() ? QString(QLatin1String("")) : value);
    insert.bindValue(at++, FStation);
    insert.bindValue(at++, RunId(table));
    if (!insert.exec() || !insert.next()) {
        const QSqlError error = insert.lastError();
        insert.finish();
        Fail(InsertStatement(table), error);
    }
    const QString id = insert.value(0).toString();
    insert.finish();
    return id;
}

std::vector<QString> SharedResults::WriteRows(const std::vector<PendingRow>& rows)
{
    std::vector<QString> ids;
    for (const PendingRow& row : rows) {
        if (!row.runRecord) {
            ids.push_back(Write(row.table, row.values));
            continue;
        }
        Open();
        const QString statement = UpsertRunStatement(RunsDialect::Postgres);
        QSqlQuery query(FDb);
        query.prepare(statement);
        BindRunRecord(query, FStation, row.record);
        if (!query.exec())
            Fail(statement, query.lastError());
        ids.push_back(row.runId);
    }
    return ids;
}

std::vector<RunRecord> SharedResults::RunRecords(const RunFilter& filter)
{
    OpenWaiting();
    QSqlQuery query(FDb);
    Exec(query, QStringLiteral("select to_regclass('runs') is not null"));
    if (!query.next() || !query.value(0).toBool())
        return {};
    const QString statement = SelectRunsStatement(RunsDialect::Postgres, filter);
    query.prepare(statement);
    BindRunFilter(query, filter);
    if (!query.exec())
        Fail(statement, query.lastError());
    std::vector<RunRecord> records;
    while (query.next())
        records.push_back(RunRecordFromQuery(query));
    return records;
}

void SharedResults::Clear(ResultsTable table)
{
    BeginRun(table);
}

void SharedResults::BeginRun(ResultsTable table)
{
    if (table != ResultsTable::Resistance)
        FRunIds[RunSlot(table)] = NewRunId();
}

QString SharedResults::RunId(ResultsTable table) const
{
    return FRunIds[RunSlot(table)];
}

void SharedResults::OpenWaiting()
{
    // Reading back is asked for by the operator: a connection on its way is waited for
    // (at most the connect time-out) rather than refused as busy.
    try {
        Open();
    } catch (const EDatabaseError& e) {
        if (!e.Busy() || !FAttempt.valid())
            throw;
        FAttempt.wait();
        Open();
    }
}

std::vector<StoredRun> SharedResults::Runs(std::optional<ResultsTable> table)
{
    OpenWaiting();
    std::vector<StoredRun> runs;
    QSqlQuery query(FDb);
    const QDateTime now = QDateTime::currentDateTime();
    const std::vector<ResultsTable> tables = table
        ? std::vector { *table }
        : std::vector { ResultsTable::Battery, ResultsTable::ListS, ResultsTable::Profile };
    for (const ResultsTable t : tables) {
        // A table no station has made yet holds no runs (a role that may not create it
        // still reads the others).
        Exec(query, QStringLiteral("select to_regclass('%1') is not null").arg(TableShape(t).Name));
        if (!query.next() || !query.value(0).toBool())
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
    SortNewestFirst(runs);
    return runs;
}

std::vector<QStringList> SharedResults::RunRows(ResultsTable table, const QString& key)
{
    // Only a run id can name a run here; anything else names none.
    if (QUuid::fromString(key).isNull())
        return {};
    OpenWaiting();
    QSqlQuery query(FDb);
    Exec(query, QStringLiteral("select to_regclass('%1') is not null").arg(TableShape(table).Name));
    if (!query.next() || !query.value(0).toBool())
        return {};
    const ResultsTableShape& shape = TableShape(table);
    const QStringList columns = shape.Columns.mid(1);
    const QString statement = QStringLiteral("select %1 from %2 where run_id = ? order by Id")
                                  .arg(columns.join(u','), shape.Name);
    query.prepare(statement);
    query.addBindValue(QUuid::fromString(key).toString(QUuid::WithoutBraces));
    if (!query.exec())
        Fail(statement, query.lastError());
    std::vector<QStringList> rows;
    while (query.next()) {
        QStringList values;
        for (int column = 0; column < columns.size(); ++column)
            values << query.value(column).toString();
        rows.push_back(std::move(values));
    }
    return rows;
}

void SharedResults::SetPassword(const QString& password)
{
    FPassword = password;
    Close();
    // A try still under way carries the old password.
    if (FAttempt.valid())
        FAttempt.wait();
    FAttempt = {};
}

QString SharedResults::SetAsideDamaged()
{
    return QStringLiteral("The results database %1 reports damage: ask whoever looks after the server.")
        .arg(FLocation.Display());
}

QString SharedResults::HeldUpStatus() const
{
    const QString where = FLocation.Display();
    switch (FLink) {
    case Link::Closed:
    case Link::Connecting:
        return QStringLiteral("Connecting to the results database %1").arg(where);
    case Link::NeedsPassword:
        return QStringLiteral("The results database %1 waits for a password").arg(where);
    case Link::Unreachable:
        return QStringLiteral("The results database %1 cannot be reached").arg(where);
    case Link::Open:
        break;
    }
    return QStringLiteral("The results database %1 holds readings up").arg(where);
}

QString SharedResults::NotReadyNote() const
{
    return QStringLiteral(" Readings are kept and stored once it can be reached.");
}

QString SharedResults::Hidden(QString text) const
{
    // The server never repeats a password, but a driver's message is not ours to trust.
    if (FPassword.size() >= 3)
        text.replace(FPassword, QStringLiteral("(password)"));
    return text;
}
