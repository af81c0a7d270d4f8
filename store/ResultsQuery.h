#pragma once
// One results table of the results store (the named query objects ADOQuery1 and
// ADOQuery2): appended to during tests, shown in a grid through Model(). The grid holds
// what this program stored since it started, whichever store it went to. In a window that
// only reads the file (ResultsFile::OpenReadOnly) it shows the file's rows instead, and
// follows what the other process stores, until this window clears the table or inserts a
// reading of its own (which is then shown, not stored).
#include "store/ResultsTable.h"

#include <QDateTime>
#include <QLocale>
#include <QObject>
#include <QString>
#include <QStringList>

class QAbstractTableModel;
class QDateTime;
class ResultsFile;

class TResultsQuery : public QObject
{
    Q_OBJECT
public:
    // One table of `file`, which outlives the query.
    TResultsQuery(ResultsTable table, ResultsFile* file, QObject* parent = nullptr);
    // One table of a file of its own. Nothing is opened here; the first statement opens
    // (and if needed creates) the file.
    TResultsQuery(ResultsTable table, QObject* parent = nullptr, const QString& databasePath = "db.sqlite");
    ~TResultsQuery() override;

    // The statement shown by the grid ("select * from battery" / "select * from listS").
    QString SQL() const;
    // Empties the table and the grid ("delete from battery" / "delete from listS"); a shared
    // store keeps its rows and starts a new run of the table instead.
    void Clear();
    // Appends one row. Values in the column order of the table's insert statement:
    // battery: InputVoltage, InputCurrent, DischargeTime, BatteryCapacity, MeasTime;
    // listS:   Nr, LoadPattern, Setpoint, mValueV, mValueI, upLimit, downLimit, sTime, Result.
    // Values are bound, never pasted into the statement. The new row is appended to
    // Model(), with its Id once it is stored (a row the file keeps waiting gets it later).
    // Throws EDatabaseError; a failed insert leaves earlier rows intact.
    void Insert(const QStringList& values);

    // All columns of the table in table order, Id first; one row per row stored this run.
    // Header titles can be replaced with setHeaderData.
    QAbstractTableModel* Model() const;
    int RowCount() const;

signals:
    void RowAppended(int row);

private:
    void Follow();

    struct Impl;
    Impl* d;
};

// The local date and time of a stored row: the system's short date, a blank, the
// system's long time; the time is left out when it is exactly midnight.
QString MeasurementTimestamp(const QDateTime& when);
// The inverse of MeasurementTimestamp under `locale`; invalid when `text` does not read.
// A short date may carry two digits of the year: they are taken in the century nearest `near`.
QDateTime ReadMeasurementTimestamp(
    const QString& text, const QLocale& locale = QLocale::system(), const QDateTime& near = {});
