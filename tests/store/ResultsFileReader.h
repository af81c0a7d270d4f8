#pragma once
// Reads a results file through a connection of its own, as the operator's tools would,
// so tests see what is really in the file and not what the query object remembers.
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

class ResultsFileReader
{
public:
    explicit ResultsFileReader(const QString& path);
    ~ResultsFileReader();
    ResultsFileReader(const ResultsFileReader&) = delete;
    ResultsFileReader& operator=(const ResultsFileReader&) = delete;

    // Every row of `sql`, each value as it came from the file (NULL stays a null QVariant).
    QList<QVariantList> Rows(const QString& sql);
    // Runs a statement that returns nothing; fails the test when it is refused.
    void Exec(const QString& sql);
    // The column names of `table` in table order.
    QStringList Columns(const QString& table);

private:
    QString FConnection;
};
