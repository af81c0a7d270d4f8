#include "ResultsFileReader.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <gtest/gtest.h>

ResultsFileReader::ResultsFileReader(const QString& path)
{
    static int next = 0;
    FConnection = QStringLiteral("test-reader-%1").arg(++next);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), FConnection);
    db.setDatabaseName(path);
    EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
}

ResultsFileReader::~ResultsFileReader()
{
    QSqlDatabase::database(FConnection, false).close();
    QSqlDatabase::removeDatabase(FConnection);
}

QList<QVariantList> ResultsFileReader::Rows(const QString& sql)
{
    QList<QVariantList> rows;
    QSqlQuery query(QSqlDatabase::database(FConnection, false));
    EXPECT_TRUE(query.exec(sql)) << sql.toStdString() << ": " << query.lastError().text().toStdString();
    while (query.next()) {
        QVariantList row;
        for (int c = 0; c < query.record().count(); ++c)
            row << query.value(c);
        rows << row;
    }
    return rows;
}

void ResultsFileReader::Exec(const QString& sql)
{
    QSqlQuery query(QSqlDatabase::database(FConnection, false));
    EXPECT_TRUE(query.exec(sql)) << sql.toStdString() << ": " << query.lastError().text().toStdString();
}

QStringList ResultsFileReader::Columns(const QString& table)
{
    QStringList names;
    for (const QVariantList& row : Rows(QStringLiteral("pragma table_info(%1)").arg(table)))
        names << row.value(1).toString();
    return names;
}
