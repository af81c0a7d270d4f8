#include "store/SharedResultsWorker.h"

#include "store/ResultsDatabase.h"

#include <QDateTime>

namespace {

const QString kDriver = QStringLiteral("QPSQL");

QString NewConnectionName()
{
    // Numbers the connections of this process; only ever incremented.
    static std::atomic<unsigned> next { 0 };
    return QStringLiteral("dcload-shared-%1").arg(++next);
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

// Another client's lock outlasted lock_timeout (55P03), a statement was cancelled
// (57014: statement_timeout, or an administrator), or two transactions collided (40001,
// 40P01): nothing is wrong with the rows, they are tried again.
bool HeldUp(const QSqlError& error)
{
    static const QStringList states { QStringLiteral("55P03"), QStringLiteral("57014"),
        QStringLiteral("40001"), QStringLiteral("40P01") };
    return states.contains(error.nativeErrorCode());
}

} // namespace

SharedResults::Worker::Worker(SharedResultsLocation at, QString ofStation)
    : location(std::move(at))
    , station(std::move(ofStation))
    , connectionName(NewConnectionName())
{ }

std::future<void> SharedResults::Worker::Post(
    std::function<void(Worker&)> work, std::shared_ptr<std::atomic<bool>> cancelled)
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
void SharedResults::Worker::Loop()
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

// ---- the connection

void SharedResults::Worker::Open()
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

void SharedResults::Worker::Close()
{
    CloseResultsConnection(db, connectionName, inserts);
    broken = false;
}

void SharedResults::Worker::Exec(QSqlQuery& query, const QString& statement)
{
    if (!query.exec(statement))
        Fail(QStringLiteral("\"%1\"").arg(statement), query.lastError());
}

// `what` the server refused, as the message names it.
void SharedResults::Worker::Fail(const QString& what, const QSqlError& error)
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
    throw EDatabaseError(
        HiddenIn(QStringLiteral("The results database %1 refused %2: %3").arg(where, what, said), password)
            .toStdString());
}

void SharedResults::Worker::Rollback()
{
    if (!broken && db.isOpen())
        QSqlQuery(db).exec(QStringLiteral("rollback"));
}

void SharedResults::Worker::StartSession()
{
    Open();
    MakeTables();
}

// SQLSTATE classes of a connection that is gone or not taking work: connection
// exceptions, operator intervention (shutdown), insufficient resources. A driver-side
// failure has none.
bool SharedResults::Worker::ConnectionLost(const QSqlError& error)
{
    const QString state = error.nativeErrorCode();
    return state.isEmpty() || state.startsWith(QLatin1String("08")) || state.startsWith(QLatin1String("57P"))
        || state.startsWith(QLatin1String("53"));
}

// ---- reading back

// Whether `name` is a table the server has; a table no station has made yet holds
// no runs (a role that may not create it still reads the others).
bool SharedResults::Worker::HasTable(QSqlQuery& query, const QString& name)
{
    Exec(query, QStringLiteral("select to_regclass('%1') is not null").arg(name));
    return query.next() && query.value(0).toBool();
}

std::vector<StoredRun> SharedResults::Worker::Runs(const std::vector<ResultsTable>& tables)
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

std::vector<QStringList> SharedResults::Worker::RunRows(ResultsTable table, const QString& runId)
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

std::vector<RunRecord> SharedResults::Worker::RunRecords(const RunFilter& filter)
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
