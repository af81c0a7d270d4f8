#pragma once
// The suite's own PostgreSQL server and a store as the window makes it, for the shared-store
// tests of the library and of dcload-cli.
#include "store/ResultsFile.h"
#include "store/ResultsUrl.h"
#include "store/SharedResults.h"
#include "support/PgSuite.h"

#include <QString>
#include <QStringList>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>

// Readable texts in test failures.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

class SharedStoreTest : public PgSuite
{
protected:
    void SetUp() override
    {
        PgSuite::SetUp();
        if (IsSkipped())
            return;
        server->Psql(QStringLiteral(
            "drop table if exists battery, lists, profile, resistance; grant all on schema public "
            "to pwuser"));
    }

    // A store as the window makes it, recording what it tells the operator.
    struct Store
    {
        Store(const QString& url, const QString& station)
            : backend(new SharedResults(ParseResultsUrl(url), station))
            , file(std::unique_ptr<ResultsBackend>(backend))
        {
            QObject::connect(&file, &ResultsFile::Failed, [this](const QString& m) { failures << m; });
            QObject::connect(&file, &ResultsFile::StatusChanged, [this](const QString& s) { statuses << s; });
            QObject::connect(&file, &ResultsFile::PasswordNeeded, [this](const QString& r) { asked << r; });
            file.StartSession();
        }
        void Reading(int seconds)
        {
            file.Insert(ResultsTable::Battery,
                { "12.00", "0.300", QString::number(seconds), "0.001", "9.12.2026 04:00:00" }, {});
        }
        SharedResults* backend;
        ResultsFile file;
        QStringList failures, statuses, asked;
    };
};
