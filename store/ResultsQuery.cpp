#include "store/ResultsQuery.h"

#include "store/ResultsDatabase.h"
#include "store/ResultsModel.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <atomic>
#include <optional>

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

struct TResultsQuery::Impl
{
    Impl(ResultsTable t, const QString& p)
        : table(t)
        , path(p)
        , connectionName(NewConnectionName())
        , model(TableShape(t).Columns)
    { }

    // Opens the connection on first use; a failed open is tried again on the next use.
    QSqlDatabase& Database()
    {
        if (!db.isValid()) {
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
            db.setDatabaseName(path);
        }
        if (!db.isOpen())
            OpenResultsDatabase(db, path);
        return db;
    }

    // The one insert statement of this table, prepared once and bound for every row.
    QSqlQuery& Insert()
    {
        QSqlDatabase& connection = Database();
        if (!insert) {
            insert.emplace(connection);
            if (!insert->prepare(InsertStatement(table))) {
                const QSqlError error = insert->lastError();
                insert.reset();
                ThrowStatementError(path, InsertStatement(table), error);
            }
        }
        return *insert;
    }

    const ResultsTable table;
    const QString path;
    const QString connectionName;
    ResultsModel model;
    QSqlDatabase db;
    std::optional<QSqlQuery> insert;
};

TResultsQuery::TResultsQuery(ResultsTable table, QObject* parent, const QString& databasePath)
    : QObject(parent)
    , d(new Impl(table, databasePath))
{ }

TResultsQuery::~TResultsQuery()
{
    const QString connectionName = d->connectionName;
    const bool registered = d->db.isValid();
    // The statement and the handle must be gone before the connection can be removed.
    delete d;
    if (registered)
        QSqlDatabase::removeDatabase(connectionName);
}

QString TResultsQuery::SQL() const
{
    return d->table == ResultsTable::Battery ? QStringLiteral("select * from battery")
                                             : QStringLiteral("select * from listS");
}

void TResultsQuery::Clear()
{
    const QString statement = d->table == ResultsTable::Battery ? QStringLiteral("delete from battery")
                                                                : QStringLiteral("delete from listS");
    QSqlQuery query(d->Database());
    if (!query.exec(statement))
        ThrowStatementError(d->path, statement, query.lastError());
    d->model.Clear();
}

void TResultsQuery::Insert(const QStringList& values)
{
    const qsizetype expected = TableShape(d->table).Columns.size() - 1;
    if (values.size() != expected)
        throw EDatabaseError(QStringLiteral("A row of the results table \"%1\" needs %2 values, not %3.")
                                 .arg(TableShape(d->table).Name)
                                 .arg(expected)
                                 .arg(values.size())
                                 .toStdString());
    QSqlQuery& insert = d->Insert();
    for (qsizetype i = 0; i < values.size(); ++i)
        // A null text would be stored as NULL; every stored value is text, an empty one too.
        insert.bindValue(static_cast<int>(i), values[i].isNull() ? QString(QLatin1String("")) : values[i]);
    if (!insert.exec())
        ThrowStatementError(d->path, InsertStatement(d->table), insert.lastError());
    const QString id = insert.lastInsertId().toString();
    insert.finish();
    d->model.AppendRow(id, values);
    emit RowAppended(d->model.rowCount() - 1);
}

QAbstractTableModel* TResultsQuery::Model() const
{
    return &d->model;
}

int TResultsQuery::RowCount() const
{
    return d->model.rowCount();
}

QString MeasurementTimestamp(const QDateTime& when)
{
    const QLocale locale = QLocale::system();
    const QString date = locale.toString(when.date(), QLocale::ShortFormat);
    if (when.time() == QTime(0, 0))
        return date;
    // The long format ends (or starts) with the time zone in most locales; a bench log
    // reads better without "UTC" or "Central European Standard Time" on every row.
    QString time = locale.timeFormat(QLocale::LongFormat);
    time.remove(QRegularExpression(QStringLiteral(R"(^\s*t+\s*|\s*t+\s*$)")));
    return date + QLatin1Char(' ') + locale.toString(when.time(), time);
}
