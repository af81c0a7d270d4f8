#include "store/ResultsQuery.h"

#include "store/ResultsDatabase.h"
#include "store/ResultsFile.h"
#include "store/ResultsModel.h"

#include <QDateTime>
#include <QLocale>
#include <QPointer>
#include <QRegularExpression>
#include <cmath>

struct TResultsQuery::Impl
{
    Impl(ResultsTable t, ResultsFile* f)
        : table(t)
        , file(f)
        , model(TableShape(t).Columns)
    { }

    const ResultsTable table;
    ResultsFile* const file;
    ResultsModel model;
    bool following = true; // the grid shows the file's rows (read-only), not this window's
    qint64 lastId = 0; // of the last row read back
};

TResultsQuery::TResultsQuery(ResultsTable table, ResultsFile* file, QObject* parent)
    : QObject(parent)
    , d(new Impl(table, file))
{
    connect(file, &ResultsFile::StoredChanged, this, &TResultsQuery::Follow);
}

TResultsQuery::TResultsQuery(ResultsTable table, QObject* parent, const QString& databasePath)
    : TResultsQuery(table, new ResultsFile(databasePath), parent)
{
    d->file->setParent(this);
}

TResultsQuery::~TResultsQuery()
{
    delete d;
}

QString TResultsQuery::SQL() const
{
    return QStringLiteral("select * from ") + TableShape(d->table).Name;
}

void TResultsQuery::Clear()
{
    d->following = false;
    d->file->Clear(d->table);
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
    d->following = false;
    const int row = d->model.rowCount();
    const std::optional<QString> id = d->file->Insert(
        d->table, values, [query = QPointer<TResultsQuery>(this), row](const QString& stored) {
            if (query)
                query->d->model.SetId(row, stored);
        });
    d->model.AppendRow(id.value_or(QString()), values);
    emit RowAppended(row);
}

void TResultsQuery::Follow()
{
    if (!d->following)
        return;
    std::optional<RowsReadBack> stored = d->file->ReadStored(d->table, d->lastId);
    if (stored && stored->before != d->model.rowCount()) {
        // Rows the grid shows have gone (the other window emptied the table): afresh.
        d->model.Clear();
        d->lastId = 0;
        stored = d->file->ReadStored(d->table, 0);
    }
    if (!stored || stored->rows.empty())
        return;
    d->lastId = stored->rows.back().first;
    d->model.AppendRows(stored->rows);
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

QDateTime ReadMeasurementTimestamp(const QString& text, const QLocale& locale, const QDateTime& near)
{
    const QString dateFormat = locale.dateFormat(QLocale::ShortFormat);
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    timeFormat.remove(QRegularExpression(QStringLiteral(R"(^\s*t+\s*|\s*t+\s*$)")));
    QDateTime when = locale.toDateTime(text.trimmed(), dateFormat + QLatin1Char(' ') + timeFormat);
    if (!when.isValid()) {
        const QDate date = locale.toDate(text.trimmed(), dateFormat);
        if (date.isValid())
            when = QDateTime(date, QTime(0, 0));
    }
    if (!when.isValid())
        return {};
    // A short date may carry only two digits of the year.
    if (!dateFormat.contains(QLatin1String("yyyy")) && near.isValid()) {
        const int centuries
            = static_cast<int>(std::lround((near.date().year() - when.date().year()) / 100.0));
        when = when.addYears(100 * centuries);
    }
    return when;
}
