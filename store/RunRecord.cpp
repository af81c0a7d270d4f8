#include "store/RunRecord.h"

#include <QSqlQuery>
#include <QVariant>

namespace {

// Times go in as UTC with their zone, so a reader anywhere reads the same instant.
QVariant TimeValue(const QDateTime& time)
{
    return time.isValid() ? QVariant(time.toUTC().toString(Qt::ISODateWithMs)) : QVariant();
}

QDateTime TimeFrom(const QVariant& value)
{
    if (value.isNull())
        return {};
    if (value.typeId() == QMetaType::QDateTime)
        return value.toDateTime();
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
}

} // namespace

QString CreateRunsStatement(RunsDialect dialect)
{
    if (dialect == RunsDialect::Postgres)
        return QStringLiteral(
            "create table if not exists runs(run_id uuid not null, station text not null, kind text not "
            "null, "
            "started timestamptz not null, ended timestamptz, outcome text not null default '', "
            "parameters jsonb not null default '{}', program_version text not null default '', "
            "instrument text not null default '', primary key (station, run_id))");
    return QStringLiteral(
        "create table if not exists runs(run_id TEXT not null, station TEXT not null default '', kind TEXT, "
        "started TEXT, ended TEXT, outcome TEXT not null default '', parameters TEXT not null default '{}', "
        "program_version TEXT not null default '', instrument TEXT not null default '', "
        "primary key (station, run_id))");
}

QString UpsertRunStatement(RunsDialect /*dialect*/)
{
    // The same words in both: SQLite has taken "on conflict … do update" since 3.24.
    return QStringLiteral(
        "insert into runs(run_id, station, kind, started, ended, outcome, parameters, program_version, "
        "instrument) values (?, ?, ?, ?, ?, ?, ?, ?, ?) on conflict (station, run_id) do update set "
        "ended = excluded.ended, outcome = excluded.outcome, parameters = excluded.parameters, "
        "instrument = case when excluded.instrument <> '' then excluded.instrument else runs.instrument end");
}

void BindRunRecord(QSqlQuery& query, const QString& station, const RunRecord& record)
{
    // Text is never bound as NULL: an empty answer is an empty text.
    const auto text = [](const QString& value) { return value.isNull() ? QStringLiteral("") : value; };
    query.addBindValue(record.runId);
    query.addBindValue(text(station));
    query.addBindValue(text(record.kind));
    query.addBindValue(TimeValue(record.started));
    query.addBindValue(TimeValue(record.ended));
    query.addBindValue(text(record.outcome));
    query.addBindValue(record.parameters.isEmpty() ? QStringLiteral("{}") : record.parameters);
    query.addBindValue(text(record.programVersion));
    query.addBindValue(text(record.instrument));
}

QString SelectRunsStatement(RunsDialect dialect, const RunFilter& filter)
{
    const bool server = dialect == RunsDialect::Postgres;
    QString statement = server
        ? QStringLiteral("select run_id::text, station, kind, started, ended, outcome, parameters::text, "
                         "program_version, instrument from runs")
        : QStringLiteral(
            "select run_id, station, kind, started, ended, outcome, parameters, program_version, "
            "instrument from runs");
    QStringList conditions;
    if (!filter.station.isEmpty())
        conditions << QStringLiteral("station = ?");
    if (filter.since.isValid())
        conditions << (server ? QStringLiteral("started >= ?::timestamptz") : QStringLiteral("started >= ?"));
    if (!conditions.isEmpty())
        statement += QStringLiteral(" where ") + conditions.join(QStringLiteral(" and "));
    return statement + QStringLiteral(" order by started desc, run_id");
}

void BindRunFilter(QSqlQuery& query, const RunFilter& filter)
{
    if (!filter.station.isEmpty())
        query.addBindValue(filter.station);
    if (filter.since.isValid())
        query.addBindValue(TimeValue(filter.since));
}

RunRecord RunRecordFromQuery(const QSqlQuery& query)
{
    RunRecord record;
    record.runId = query.value(0).toString();
    record.station = query.value(1).toString();
    record.kind = query.value(2).toString();
    record.started = TimeFrom(query.value(3));
    record.ended = TimeFrom(query.value(4));
    record.outcome = query.value(5).toString();
    record.parameters = query.value(6).toString();
    record.programVersion = query.value(7).toString();
    record.instrument = query.value(8).toString();
    return record;
}
