#include "store/ResultsDatabase.h"

#include "store/ResultsQuery.h"
#include "store/RunRecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace {

// The database's own words when it has them; the driver's summary only adds noise.
QString Reason(const QSqlError& error)
{
    const QString own = error.databaseText().trimmed();
    return own.isEmpty() ? error.text().trimmed() : own;
}

// SQLite's own word for a file it may not write is "readonly"; the operator reads why.
QString WithReadOnlyNote(const QString& path, QString reason, const QSqlError* error = nullptr)
{
    QString why = ReadOnlyReason(path);
    constexpr int kReadOnly = 8;
    if (why.isEmpty() && error && (error->nativeErrorCode().toInt() & 0xff) == kReadOnly)
        why = QStringLiteral("it is read-only");
    return why.isEmpty() ? reason : reason + QStringLiteral(" (") + why + u')';
}

// SQLite's primary result codes, which its driver reports as the native error code.
EDatabaseError::Cause CauseOf(const QSqlError& error)
{
    const int code = error.nativeErrorCode().toInt() & 0xff;
    constexpr int kBusy = 5, kLocked = 6, kCorrupt = 11, kNotADatabase = 26;
    if (code == kBusy || code == kLocked)
        return EDatabaseError::Cause::Busy;
    if (code == kCorrupt || code == kNotADatabase)
        return EDatabaseError::Cause::Damaged;
    return EDatabaseError::Cause::Other;
}

// Every value the program stores is text, exactly as received or typed.
QString CreateStatement(const ResultsTableShape& shape)
{
    QStringList columns { QStringLiteral("Id INTEGER PRIMARY KEY AUTOINCREMENT") };
    for (qsizetype i = 1; i < shape.Columns.size(); ++i)
        columns << shape.Columns[i] + QStringLiteral(" TEXT");
    return QStringLiteral("create table if not exists %1(%2)")
        .arg(shape.Name, columns.join(QStringLiteral(", ")));
}

void Run(QSqlDatabase& db, const QString& path, const QString& statement)
{
    QSqlQuery query(db);
    if (!query.exec(statement)) {
        const QSqlError error = query.lastError();
        query = QSqlQuery();
        db.close();
        ThrowOpenError(path, Reason(error), CauseOf(error));
    }
}

} // namespace

QString InsertStatement(const ResultsTableShape& shape, const QStringList& extraColumns)
{
    const QStringList columns = shape.Columns.mid(1) + extraColumns;
    QStringList marks;
    for (qsizetype i = 0; i < columns.size(); ++i)
        marks << QStringLiteral("?");
    return QStringLiteral("insert into %1(%2) values (%3)")
        .arg(shape.Name, columns.join(u','), marks.join(u','));
}

QString RunsStatement(ResultsTable table, const QString& key, const QString& station)
{
    // The first row tells when the run began, the last when it ended: the profile and
    // resistance rows by their Run label, the others by their own time column.
    const auto [first, last] = [table]() -> std::pair<const char*, const char*> {
        switch (table) {
        case ResultsTable::Battery:
            return { "MeasTime", "MeasTime" };
        case ResultsTable::ListS:
            return { "sTime", "sTime" };
        case ResultsTable::Profile:
            return { "Run", "MeasTime" };
        case ResultsTable::Resistance:
            break;
        }
        return { "Run", "TestTime" };
    }();
    const QString name = TableShape(table).Name;
    return QStringLiteral("select r.k, r.s, r.n, f.%1, l.%2 from (select %3 as k, %4 as s, count(*) as n, "
                          "min(Id) as first, max(Id) as last from %5 group by %3, %4) r join %5 f on f.Id = "
                          "r.first join %5 l on l.Id = r.last order by r.first desc")
        .arg(QLatin1String(first), QLatin1String(last), key, station, name);
}

StoredRun RunFromTimes(
    ResultsTable table, const QString& firstTime, const QString& lastTime, const QDateTime& near)
{
    StoredRun run;
    run.table = table;
    const auto label = [](const QString& text) {
        QDateTime when = QDateTime::fromString(text.trimmed(), Qt::ISODateWithMs);
        return when.isValid() ? when.toUTC() : when;
    };
    switch (table) {
    case ResultsTable::Battery:
    case ResultsTable::ListS:
        run.started = ReadMeasurementTimestamp(firstTime, QLocale::system(), near);
        run.ended = ReadMeasurementTimestamp(lastTime, QLocale::system(), near);
        break;
    case ResultsTable::Profile:
        run.started = label(firstTime);
        run.ended = label(lastTime);
        break;
    case ResultsTable::Resistance: {
        run.started = label(firstTime);
        bool ok = false;
        const double seconds = lastTime.trimmed().toDouble(&ok);
        if (run.started.isValid() && ok)
            run.ended = run.started.addMSecs(std::llround(seconds * 1000));
        break;
    }
    }
    return run;
}

void SortNewestFirst(std::vector<StoredRun>& runs)
{
    // Stable: runs of one table that began together stay newest first as the query gave them.
    std::stable_sort(runs.begin(), runs.end(), [](const StoredRun& a, const StoredRun& b) {
        if (a.started.isValid() != b.started.isValid())
            return a.started.isValid();
        return a.started > b.started;
    });
}

const ResultsTableShape& TableShape(ResultsTable table)
{
    static const ResultsTableShape battery {
        QStringLiteral("battery"),
        { "Id", "InputVoltage", "InputCurrent", "DischargeTime", "BatteryCapacity", "MeasTime" },
    };
    static const ResultsTableShape listS {
        QStringLiteral("listS"),
        { "Id", "Nr", "LoadPattern", "Setpoint", "mValueV", "mValueI", "upLimit", "downLimit", "sTime",
            "Result" },
    };
    static const ResultsTableShape profile {
        QStringLiteral("profile"),
        { "Id", "Run", "Step", "StepKind", "TestTime", "Voltage", "Current", "Power", "Capacity", "Energy",
            "MeasTime" },
    };
    static const ResultsTableShape resistance {
        QStringLiteral("resistance"),
        { "Id", "Run", "Step", "TestTime", "Capacity", "V1", "V2", "I1", "I2", "Resistance", "Status" },
    };
    switch (table) {
    case ResultsTable::Battery:
        return battery;
    case ResultsTable::ListS:
        return listS;
    case ResultsTable::Profile:
        return profile;
    case ResultsTable::Resistance:
        break;
    }
    return resistance;
}

void OpenResultsDatabase(QSqlDatabase& db, const QString& path)
{
    // SQLite would accept the name of a folder and fail later with a vaguer text.
    if (QFileInfo(path).isDir())
        ThrowOpenError(path, QStringLiteral("this is a folder, not a database file"));
    // Another program's lock is waited for only briefly: the window must not stall on it.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyWaitMs));
    if (!db.open()) {
        const QSqlError error = db.lastError();
        db.close();
        ThrowOpenError(path, Reason(error), CauseOf(error));
    }
    // The first statement reads the file's header: a file that is not a database fails here.
    Run(db, path, QStringLiteral("pragma journal_mode=WAL"));
    Run(db, path, QStringLiteral("pragma synchronous=NORMAL"));
    // Readings are only appended, which touches the last pages of each table; SQLite's
    // default cache (2 MiB) would otherwise fill over a day and stay, for nothing.
    Run(db, path, QStringLiteral("pragma cache_size=-512"));
    for (const ResultsTable table : kAllResultsTables)
        Run(db, path, CreateStatement(TableShape(table)));
    Run(db, path, CreateRunsStatement(RunsDialect::Sqlite));
    Run(db, path,
        QStringLiteral("create table if not exists %1(run_id TEXT, seq INTEGER, primary key(run_id, seq)) "
                       "without rowid")
            .arg(kWrittenRowsTable));
}

void OpenResultsDatabaseReadOnly(QSqlDatabase& db, const QString& path)
{
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyWaitMs));
    if (!db.open()) {
        const QSqlError error = db.lastError();
        db.close();
        ThrowOpenError(path, Reason(error), CauseOf(error));
    }
}

QString ReadOnlyReason(const QString& path)
{
    const QFileInfo file(path);
    // access() also sees what the mode bits do not: an immutable file, a read-only mount.
    if (file.exists() && ::access(QFile::encodeName(file.absoluteFilePath()).constData(), W_OK) != 0)
        return QStringLiteral("the file is read-only");
    if (QFileInfo(file.absolutePath()).isDir()
        && ::access(QFile::encodeName(file.absolutePath()).constData(), W_OK) != 0)
        return QStringLiteral("its folder is read-only");
    return {};
}

void ThrowOpenError(const QString& path, const QString& reason, EDatabaseError::Cause cause)
{
    throw EDatabaseError(QStringLiteral("Cannot open the results database \"%1\": %2")
                             .arg(DisplayPath(path), WithReadOnlyNote(path, reason))
                             .toStdString(),
        cause);
}

void ThrowStatementError(const QString& path, const QString& statement, const QSqlError& error)
{
    throw EDatabaseError(QStringLiteral("The results database \"%1\" refused \"%2\": %3")
                             .arg(DisplayPath(path), statement, WithReadOnlyNote(path, Reason(error), &error))
                             .toStdString(),
        CauseOf(error));
}

QString DisplayPath(const QString& path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

void CloseResultsConnection(
    QSqlDatabase& db, const QString& name, std::unique_ptr<QSqlQuery> (&statements)[kResultsTables])
{
    for (std::unique_ptr<QSqlQuery>& statement : statements)
        statement.reset();
    if (!db.isValid())
        return;
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}
