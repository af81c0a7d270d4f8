#include "store/SqliteResults.h"

#include "store/ResultsDatabase.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <atomic>

namespace {

QString NewConnectionName()
{
    // Numbers the connections of this process; only ever incremented.
    static std::atomic<unsigned> next { 0 };
    return QStringLiteral("dcload-results-%1").arg(++next);
}

QString InsertStatement(ResultsTable table)
{
    return table == ResultsTable::Battery
        ? QStringLiteral(
            "insert into battery(InputVoltage,InputCurrent,DischargeTime,BatteryCapacity,MeasTime) "
            "values (?,?,?,?,?)")
        : QStringLiteral("insert into listS(Nr,LoadPattern,Setpoint,mValueV,mValueI,upLimit,downLimit,sTime,"
                         "Result) values (?,?,?,?,?,?,?,?,?)");
}

} // namespace

SqliteResults::SqliteResults(const QString& path)
    : FPath(path)
    , FConnectionName(NewConnectionName())
{ }

SqliteResults::~SqliteResults()
{
    Close();
}

QSqlDatabase& SqliteResults::Database()
{
    if (!FDb.isValid()) {
        FDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), FConnectionName);
        FDb.setDatabaseName(FPath);
    }
    if (!FDb.isOpen())
        OpenResultsDatabase(FDb, FPath);
    return FDb;
}

QSqlQuery& SqliteResults::InsertQuery(ResultsTable table)
{
    std::unique_ptr<QSqlQuery>& insert = FInserts[static_cast<int>(table)];
    if (!insert) {
        auto prepared = std::make_unique<QSqlQuery>(Database());
        if (!prepared->prepare(InsertStatement(table)))
            ThrowStatementError(FPath, InsertStatement(table), prepared->lastError());
        insert = std::move(prepared);
    }
    return *insert;
}

void SqliteResults::Close()
{
    CloseResultsConnection(FDb, FConnectionName, FInserts);
}

QString SqliteResults::Write(ResultsTable table, const QStringList& values)
{
    QSqlQuery& insert = InsertQuery(table);
    for (qsizetype i = 0; i < values.size(); ++i)
        // A null text would be stored as NULL; every stored value is text, an empty one too.
        insert.bindValue(static_cast<int>(i), values[i].isNull() ? QString(QLatin1String("")) : values[i]);
    if (!insert.exec()) {
        const QSqlError error = insert.lastError();
        insert.finish();
        ThrowStatementError(FPath, InsertStatement(table), error);
    }
    const QString id = insert.lastInsertId().toString();
    insert.finish();
    return id;
}

void SqliteResults::Clear(ResultsTable table)
{
    const QString statement = table == ResultsTable::Battery ? QStringLiteral("delete from battery")
                                                             : QStringLiteral("delete from listS");
    QSqlQuery query(Database());
    if (!query.exec(statement))
        ThrowStatementError(FPath, statement, query.lastError());
}

void SqliteResults::StartSession()
{
    QSqlDatabase& db = Database();
    QSqlQuery query(db);
    // A file SQLite can open may still be broken inside; only a sound one is kept.
    if (!query.exec(QStringLiteral("pragma quick_check")))
        ThrowStatementError(FPath, QStringLiteral("pragma quick_check"), query.lastError());
    if (!query.next() || query.value(0).toString() != QLatin1String("ok"))
        throw EDatabaseError("damaged", EDatabaseError::Cause::Damaged);
    query.finish();
    // Both tables or neither: a run never starts with one emptied and the other not.
    for (const char* statement :
        { "begin immediate", "delete from listS", "delete from battery", "commit" }) {
        if (!query.exec(QString::fromLatin1(statement))) {
            const QSqlError error = query.lastError();
            query.exec(QStringLiteral("rollback"));
            ThrowStatementError(FPath, QString::fromLatin1(statement), error);
        }
    }
}

QString SqliteResults::SetAsideDamaged()
{
    Close();
    const QString aside = FPath + QStringLiteral(".damaged-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    bool moved = QFile::rename(FPath, aside);
    // Its journal belongs with it: a fresh file must not pick it up.
    for (const char* suffix : { "-wal", "-shm" }) {
        const QString part = FPath + QLatin1String(suffix);
        if (QFile::exists(part))
            moved = QFile::rename(part, aside + QLatin1String(suffix)) && moved;
    }
    if (!moved)
        return QStringLiteral("The results database \"%1\" is damaged and could not be moved aside.")
            .arg(DisplayPath(FPath));
    return QStringLiteral("The results database \"%1\" was damaged: it was moved aside as \"%2\" and a new "
                          "one was made.")
        .arg(DisplayPath(FPath), DisplayPath(aside));
}

QString SqliteResults::HeldUpStatus() const
{
    return QStringLiteral("Waiting for \"%1\": another program holds it").arg(QFileInfo(FPath).fileName());
}

QString SqliteResults::NotReadyNote() const
{
    return QStringLiteral(" It was not emptied for this run; readings are kept until it can be.");
}
