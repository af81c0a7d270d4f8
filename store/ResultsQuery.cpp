#include "store/ResultsQuery.h"
#include <QAbstractTableModel>
#include <QDateTime>
// Placeholder so the tree links; the real store replaces this file.
struct TResultsQuery::Impl { ResultsTable t; };
TResultsQuery::TResultsQuery(ResultsTable table, QObject* parent, const QString&) : QObject(parent), d(new Impl{table}) {}
TResultsQuery::~TResultsQuery() { delete d; }
QString TResultsQuery::SQL() const { return d->t == ResultsTable::Battery ? "select * from battery" : "select * from listS"; }
void TResultsQuery::Clear() {}
void TResultsQuery::Insert(const QStringList&) {}
QAbstractTableModel* TResultsQuery::Model() const { return nullptr; }
int TResultsQuery::RowCount() const { return 0; }
QString MeasurementTimestamp(const QDateTime& when) { return when.toString(); }
