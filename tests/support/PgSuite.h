#pragma once
// A test suite with one PostgreSQL server of its own (starting a cluster costs seconds);
// each test is skipped, saying why, on a machine that cannot start one.
#include "support/PgTestServer.h"

#include <gtest/gtest.h>

class PgSuite : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { server = new PgTestServer; }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }
    void SetUp() override
    {
        if (!server->Problem().isEmpty())
            GTEST_SKIP() << "no PostgreSQL server for the test: " << server->Problem().toStdString();
    }

    static QString Rows(const QString& sql) { return server->Psql(sql); }

    static inline PgTestServer* server = nullptr;
};
