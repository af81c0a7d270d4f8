// The journal of rows a store has not taken yet: what a restart reads back is exactly what
// was appended and not removed, in order; an emptied journal leaves no file; a damaged one
// is set aside where the operator can find it; and neither a second process holding the
// file nor one killed in the middle of a write costs a committed row.
#include "store/ResultsJournal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace {

PendingRow Row(
    ResultsTable table, QStringList values, const QString& runId = QStringLiteral("run-1"), qint64 seq = 1)
{
    PendingRow row;
    row.table = table;
    row.values = std::move(values);
    row.runId = runId;
    row.seq = seq;
    return row;
}

// What a row must read back as: a null text comes back empty, everything else as it was.
void ExpectSame(const PendingRow& got, const PendingRow& want, int index)
{
    SCOPED_TRACE(::testing::Message() << "row " << index);
    const auto text = [](const QString& value) { return value.isNull() ? QStringLiteral("") : value; };
    QStringList values;
    for (const QString& value : want.values)
        values << text(value);
    EXPECT_EQ(got.table, want.table);
    EXPECT_EQ(got.values, values);
    EXPECT_EQ(got.runId, text(want.runId));
    EXPECT_EQ(got.seq, want.seq);
    EXPECT_EQ(got.runRecord, want.runRecord);
    const RunRecord& a = got.record;
    const RunRecord& b = want.record;
    EXPECT_EQ(std::tuple(a.runId, a.station, a.kind, a.outcome, a.parameters, a.programVersion, a.instrument),
        std::tuple(text(b.runId), text(b.station), text(b.kind), text(b.outcome), text(b.parameters),
            text(b.programVersion), text(b.instrument)));
    for (const auto& [read, written] :
        { std::pair { a.started, b.started }, std::pair { a.ended, b.ended } }) {
        EXPECT_EQ(read.isValid(), written.isValid());
        if (written.isValid()) {
            EXPECT_EQ(read.toMSecsSinceEpoch(), written.toMSecsSinceEpoch());
            EXPECT_EQ(read.offsetFromUtc(), written.offsetFromUtc());
        }
    }
}

class ResultsJournalTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString Path() const { return dir.filePath(QStringLiteral("journal.sqlite")); }
    QStringList Files() const
    {
        return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }
    // The first value of each row a fresh object (a restart) reads back.
    QStringList Names() const
    {
        QStringList names;
        for (const auto& [key, row] : ResultsJournal(Path()).Load())
            names << row.values.value(0);
        return names;
    }

    QTemporaryDir dir;
};

TEST_F(ResultsJournalTest, ARestartReadsBackEveryFieldOfAwkwardRows)
{
    RunRecord record;
    record.runId = QStringLiteral("6f1c2a9e-0000-4000-8000-00000000beef");
    record.station = QStringLiteral("bench \"3\"\nleft");
    record.kind = QStringLiteral("profile");
    record.started = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 89), Qt::OffsetFromUTC, 5 * 3600 + 1800);
    record.ended = QDateTime(QDate(2026, 3, 4), QTime(23, 59, 59, 999), Qt::UTC);
    record.outcome = QStringLiteral("cut-off reached");
    record.parameters = QStringLiteral(R"({"current": 2, "note": "a 'quoted' \"text\""})");
    record.programVersion = QStringLiteral("1.4.0");
    record.instrument = QString();
    PendingRow run = Row(ResultsTable::Profile, {}, record.runId, 0);
    run.runRecord = true;
    run.record = record;
    PendingRow open = run;
    open.record.ended = QDateTime();
    open.record.outcome = QString();

    const std::vector<PendingRow> rows {
        Row(ResultsTable::Battery,
            { QStringLiteral("12.500"), QString(), QStringLiteral(""), QStringLiteral(" ") }),
        Row(ResultsTable::ListS,
            { QStringLiteral("1"), QStringLiteral("line\nbreak\r\nand \"quotes\" 'too'") },
            QStringLiteral("run-2"), 7),
        Row(ResultsTable::Profile,
            { QStringLiteral("Ωμέγα ✓ 𝄞 漢字 \u00e9\u0301"), QStringLiteral("\\,;\t%_*") }, QString(),
            1234567890123),
        Row(ResultsTable::Resistance, {}),
        Row(ResultsTable::Resistance, { QString() }),
        open,
        run,
    };

    ResultsJournal writer(Path());
    const std::vector<qint64> keys = writer.Append(rows);
    ASSERT_EQ(keys.size(), rows.size());
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    EXPECT_EQ(std::set<qint64>(keys.begin(), keys.end()).size(), keys.size());

    ResultsJournal restarted(Path());
    EXPECT_EQ(restarted.Count(), static_cast<int>(rows.size()));
    const auto loaded = restarted.Load();
    ASSERT_EQ(loaded.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(loaded[i].first, keys[i]);
        ExpectSame(loaded[i].second, rows[i], static_cast<int>(i));
    }
}

TEST_F(ResultsJournalTest, OrderIsKeptAcrossAppendsAndRemovals)
{
    // Each step appends its names as one batch, or removes the rows of its names.
    struct Step
    {
        bool append;
        QStringList names;
        QStringList left; // what a restart reads back afterwards
    };
    const std::vector<Step> steps {
        { true, { "a", "b", "c" }, { "a", "b", "c" } },
        { false, { "b" }, { "a", "c" } },
        { true, { "d" }, { "a", "c", "d" } },
        { false, { "a", "d" }, { "c" } },
        { true, { "e", "f" }, { "c", "e", "f" } },
        { false, { "e", "b" }, { "c", "f" } }, // b went before: passed over
        { true, { "g" }, { "c", "f", "g" } },
    };
    ResultsJournal journal(Path());
    std::map<QString, qint64> keyOf;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.names.join(u',').toStdString());
        if (step.append) {
            std::vector<PendingRow> rows;
            for (const QString& name : step.names)
                rows.push_back(Row(ResultsTable::Battery, { name }));
            const std::vector<qint64> keys = journal.Append(rows);
            for (size_t i = 0; i < keys.size(); ++i)
                keyOf[step.names[static_cast<qsizetype>(i)]] = keys[i];
        } else {
            std::vector<qint64> keys;
            for (const QString& name : step.names)
                keys.push_back(keyOf.at(name));
            journal.Remove(keys);
        }
        EXPECT_EQ(Names(), step.left);
        EXPECT_EQ(journal.Count(), step.left.size());
    }
}

TEST_F(ResultsJournalTest, AnEmptiedJournalLeavesNoFileAndItsKeysAreNeverHandedOutAgain)
{
    ResultsJournal journal(Path());
    EXPECT_TRUE(journal.Load().empty());
    EXPECT_EQ(journal.Count(), 0);
    EXPECT_TRUE(Files().isEmpty()) << "looking made a file";

    const std::vector<qint64> first
        = journal.Append({ Row(ResultsTable::Battery, { "a" }), Row(ResultsTable::ListS, { "b" }) });
    EXPECT_FALSE(Files().isEmpty());
    journal.Remove({ first[0] });
    EXPECT_EQ(Names(), QStringList { "b" });
    journal.Remove({ first[1] });
    EXPECT_TRUE(Files().isEmpty()) << Files().join(u' ').toStdString();

    // A new file: a key of the old one names none of its rows.
    const std::vector<qint64> second = journal.Append({ Row(ResultsTable::Battery, { "c" }) });
    EXPECT_GT(second[0], first[1]);
    journal.Remove(first);
    EXPECT_EQ(Names(), QStringList { "c" });
}

TEST_F(ResultsJournalTest, AJournalDeletedUnderAnotherObjectTakesItsNextRowsIntoANewFile)
{
    // Two dcload-cli runs of one station: one empties and deletes the file the other has open.
    ResultsJournal one(Path());
    ResultsJournal two(Path());
    const std::vector<qint64> keys = one.Append({ Row(ResultsTable::Battery, { "a" }) });
    EXPECT_EQ(two.Count(), 1);
    one.Remove(keys);
    ASSERT_FALSE(QFileInfo::exists(Path()));
    EXPECT_EQ(two.Count(), 0);

    two.Append({ Row(ResultsTable::Battery, { "b" }) });
    EXPECT_EQ(Names(), QStringList { "b" });
}

TEST_F(ResultsJournalTest, PathForTellsStoresAndStationsApartAndStaysTheSame)
{
    const std::vector<std::pair<QString, QString>> pairs {
        { "dcload@host:5432/results", "" },
        { "dcload@host:5432/results", "bench-1" },
        { "dcload@host:5432/results", "bench-2" },
        { "dcload@host:5432/result", "sbench-1" }, // the same characters split elsewhere
        { "dcload@other:5432/results", "bench-1" },
        { "/home/lab/db.sqlite", "" },
        { "/home/lab/db_sqlite", "" }, // the same once made safe
        { "/home/lab/db?sqlite", "" },
        { "/home/lab/../lab/db.sqlite", " " },
        { "", "" },
        { "../../etc/passwd\nx", "..\\..\u0000/ü" },
        { QString(300, u'x'), "漢字" },
    };
    std::set<QString> names;
    for (const auto& [store, station] : pairs) {
        const QString path = ResultsJournal::PathFor(store, station, dir.path());
        EXPECT_EQ(path, ResultsJournal::PathFor(store, station, dir.path()));
        const QFileInfo info(path);
        EXPECT_EQ(info.absolutePath(), QFileInfo(dir.path()).absoluteFilePath()) << path.toStdString();
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("^[A-Za-z0-9._-]{1,120}$")).match(info.fileName()).hasMatch())
            << info.fileName().toStdString();
        names.insert(info.fileName());
    }
    EXPECT_EQ(names.size(), pairs.size());

    // Without a folder: the user's data folder, made when missing.
    const QByteArray data = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    const QString path = ResultsJournal::PathFor(QStringLiteral("db.sqlite"), {});
    qputenv("XDG_DATA_HOME", data);
    EXPECT_TRUE(path.startsWith(dir.filePath(QStringLiteral("data")))) << path.toStdString();
    EXPECT_TRUE(QFileInfo(path).dir().exists());
}

TEST_F(ResultsJournalTest, ADamagedJournalIsSetAsideAndAFreshOneTakesOver)
{
    // What a damaged journal may hold, written with the sqlite3 shell where it is a database.
    struct Case
    {
        const char* name;
        QByteArray bytes; // the file as it is found, or
        const char* sql; // what makes it
    };
    const std::vector<Case> cases {
        { "garbage", QByteArray("this is not a database, only bytes \x01\x02\x03", 38).repeated(200),
            nullptr },
        { "not our table", {}, "create table waiting(something TEXT); insert into waiting values ('x');" },
        { "unreadable values", {}, nullptr },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("journal.sqlite"));
        if (!c.bytes.isEmpty()) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.bytes);
        } else if (c.sql) {
            QProcess shell;
            shell.start(
                QStringLiteral("sqlite3"), { QStringLiteral("-batch"), path, QString::fromUtf8(c.sql) });
            ASSERT_TRUE(shell.waitForFinished(10000)) << "sqlite3 is missing: run scripts/deps";
        } else {
            ResultsJournal(path).Append({ Row(ResultsTable::Battery, { "a" }) });
            QProcess shell;
            shell.start(QStringLiteral("sqlite3"),
                { QStringLiteral("-batch"), path, "update waiting set vals = '{'" });
            ASSERT_TRUE(shell.waitForFinished(10000));
        }
        QFile original(path);
        ASSERT_TRUE(original.open(QIODevice::ReadOnly));
        const QByteArray before = original.readAll();
        original.close();

        ResultsJournal journal(path);
        try {
            journal.Load();
            ADD_FAILURE() << "a damaged journal read as sound";
        } catch (const EDatabaseError& e) {
            EXPECT_TRUE(e.Damaged()) << e.what();
            const QStringList aside
                = QDir(folder.path()).entryList({ QStringLiteral("journal.sqlite.damaged-*") }, QDir::Files);
            ASSERT_EQ(aside.size(), 1);
            EXPECT_NE(QString::fromStdString(e.what()).indexOf(aside[0]), -1) << e.what();
            QFile moved(folder.filePath(aside[0]));
            ASSERT_TRUE(moved.open(QIODevice::ReadOnly));
            EXPECT_EQ(moved.readAll(), before);
        }
        EXPECT_FALSE(QFileInfo::exists(path));

        journal.Append({ Row(ResultsTable::ListS, { "fresh" }) });
        const auto rows = ResultsJournal(path).Load();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].second.values, QStringList { "fresh" });
    }
}

TEST_F(ResultsJournalTest, AJournalThatCannotBeMadeNamesItsFile)
{
    // A file stands where the folder should be, which stops root as well as anyone.
    QFile blocker(dir.filePath(QStringLiteral("data")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString path = dir.filePath(QStringLiteral("data/journal.sqlite"));
    ResultsJournal journal(path);
    try {
        journal.Append({ Row(ResultsTable::Battery, { "a" }) });
        ADD_FAILURE() << "a journal was written where none can be";
    } catch (const EDatabaseError& e) {
        const QString message = QString::fromStdString(e.what());
        EXPECT_TRUE(
            message.startsWith(QStringLiteral("The journal of readings waiting, \"%1\", cannot be written: ")
                                   .arg(QDir::toNativeSeparators(path))))
            << e.what();
        EXPECT_FALSE(e.Busy() || e.Damaged()) << e.what();
    }
    EXPECT_TRUE(journal.Load().empty());
}

TEST_F(ResultsJournalTest, AnotherWriterThatNeverCommitsCostsNoCommittedRow)
{
    ResultsJournal journal(Path());
    const std::vector<qint64> keys
        = journal.Append({ Row(ResultsTable::Battery, { "a" }), Row(ResultsTable::Battery, { "b" }) });
    {
        // Another process's write, begun and never finished: it holds the write lock.
        QSqlDatabase other
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("journal-other"));
        other.setDatabaseName(Path());
        ASSERT_TRUE(other.open());
        QSqlQuery query(other);
        ASSERT_TRUE(query.exec(QStringLiteral("begin immediate")));
        ASSERT_TRUE(query.exec(QStringLiteral("delete from waiting")));
        ASSERT_TRUE(
            query.exec(QStringLiteral("insert into waiting(tbl, run_record, run_id, seq, vals) values "
                                      "(0, 0, 'x', 1, '[\"uncommitted\"]')")));

        EXPECT_EQ(Names(), (QStringList { "a", "b" }));
        try {
            journal.Append({ Row(ResultsTable::Battery, { "c" }) });
            ADD_FAILURE() << "written past another writer's lock";
        } catch (const EDatabaseError& e) {
            EXPECT_TRUE(e.Busy()) << e.what();
        }
        query = QSqlQuery();
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("journal-other"));

    EXPECT_EQ(Names(), (QStringList { "a", "b" }));
    journal.Append({ Row(ResultsTable::Battery, { "c" }) });
    journal.Remove(keys);
    EXPECT_EQ(Names(), QStringList { "c" });
}

TEST_F(ResultsJournalTest, AWriterKilledInTheMiddleOfItsTransactionCostsNoCommittedRow)
{
    ResultsJournal(Path()).Append(
        { Row(ResultsTable::Battery, { "a" }), Row(ResultsTable::Battery, { "b" }) });
    // The sqlite3 shell overwrites the file's pages in place (its cache is one page, so the
    // change spills before any commit), says so through a marker file, and is killed there.
    const QString marker = dir.filePath(QStringLiteral("spilled"));
    QProcess shell;
    shell.start(QStringLiteral("sqlite3"), { QStringLiteral("-batch"), Path() });
    ASSERT_TRUE(shell.waitForStarted(10000)) << "sqlite3 is missing: run scripts/deps";
    shell.write(
        QStringLiteral("pragma cache_size=1;\nbegin immediate;\ndelete from waiting;\n"
                       "with recursive n(i) as (select 1 union all select i + 1 from n where i < 2000) "
                       "insert into waiting(tbl, run_record, run_id, seq, vals) select 0, 0, 'x', i, "
                       "'[\"' || hex(randomblob(200)) || '\"]' from n;\n.system touch '%1'\n")
            .arg(marker)
            .toUtf8());
    shell.waitForBytesWritten(10000);
    for (int i = 0; i < 1000 && !QFileInfo::exists(marker); ++i)
        QThread::msleep(10);
    const bool spilled = QFileInfo::exists(marker);
    shell.kill();
    shell.waitForFinished(10000);
    ASSERT_TRUE(spilled);
    ASSERT_GT(QFileInfo(Path() + QStringLiteral("-journal")).size(), 0)
        << "no transaction was left half done";

    EXPECT_EQ(Names(), (QStringList { "a", "b" }));
}

} // namespace
