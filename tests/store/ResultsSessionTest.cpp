// A session's start on the local results file: the previous rows are archived before the
// file is emptied, only the newest archives stay, an archive that cannot be written leaves
// the file as it was, and a second session on a file another one holds never writes it.
#include "ResultsFileReader.h"
#include "StoredRuns.h"
#include "store/ResultsDatabase.h"
#include "store/ResultsFile.h"
#include "store/ResultsQuery.h"
#include "store/SqliteResults.h"
#include "support/EventLoop.h"
#include "support/FileSizeLimit.h"

#include <QAbstractTableModel>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <numeric>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the sqlite3 shell, another process, prints for `sql` on the file at `path`.
QString OutsideSqlite(const QString& path, const QString& sql)
{
    QProcess shell;
    shell.start(QStringLiteral("sqlite3"), { QStringLiteral("-batch"), path, sql });
    EXPECT_TRUE(shell.waitForFinished(10000)) << "sqlite3 is missing: run scripts/deps";
    return QString::fromUtf8(shell.readAllStandardOutput()).trimmed();
}

// Makes the file at `path` read-only, as an operator's chmod would, and returns what
// undoes it. Root writes through the mode bits, so there the file is made immutable too.
std::function<void()> MakeReadOnly(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    ::chmod(name.constData(), 0444);
    if (::geteuid() == 0) {
        EXPECT_EQ(QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("+i"), path }), 0);
    }
    return [path, name] {
        if (::geteuid() == 0)
            QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("-i"), path });
        ::chmod(name.constData(), 0644);
    };
}

class ResultsSessionTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString DbPath() const { return dir.filePath(QStringLiteral("db.sqlite")); }
    QDir ArchiveFolder() const { return QDir(dir.filePath(QStringLiteral("db-archive"))); }
    QStringList Archives() const
    {
        return ArchiveFolder().entryList({ QStringLiteral("*.sqlite") }, QDir::Files);
    }
    QStringList LeftOvers() const
    {
        return ArchiveFolder().entryList({ QStringLiteral(".writing-*") }, QDir::Files | QDir::Hidden);
    }

    // Fills the file as an earlier session would have: rows per table, marked in their first
    // column b0, b1 … (battery), l0 … (listS), p0 … (profile), r0 … (resistance).
    void Fill(const std::array<int, kResultsTables>& rows, const QString& bulk = {})
    {
        TResultsQuery creator(ResultsTable::Battery, nullptr, DbPath());
        creator.Clear();
        ResultsFileReader file(DbPath());
        for (const ResultsTable table : kAllResultsTables)
            for (int i = 0; i < rows[static_cast<size_t>(table)]; ++i)
                file.Exec(QStringLiteral("insert into %1(%2, %3) values ('%4%5', '%6')")
                              .arg(TableShape(table).Name, TableShape(table).Columns[1],
                                  TableShape(table).Columns[2], Mark(table))
                              .arg(i)
                              .arg(bulk));
    }
    static QString Mark(ResultsTable table) { return TableShape(table).Name.left(1).toLower(); }

    // A session on the file, as the window starts it.
    std::unique_ptr<ResultsFile> Session(int archivesKept = 50)
    {
        auto file = std::make_unique<ResultsFile>(std::make_unique<SqliteResults>(DbPath(), archivesKept));
        QObject::connect(file.get(), &ResultsFile::Failed, [this](const QString& m) { failures << m; });
        QObject::connect(file.get(), &ResultsFile::StatusChanged, [this](const QString& s) { status = s; });
        file->SetLockWaitMs(0);
        file->StartSession();
        return file;
    }

    QTemporaryDir dir;
    QStringList failures;
    QString status;
};

TEST_F(ResultsSessionTest, ThePreviousRowsAreArchivedBeforeTheFileIsEmptiedAndAnEmptyFileIsNot)
{
    struct Case
    {
        const char* name;
        bool file;
        std::array<int, kResultsTables> rows; // battery, listS, profile, resistance
    };
    const Case cases[] = {
        { "rows in every table", true, { 3, 2, 4, 1 } },
        { "list rows only", true, { 0, 1, 0, 0 } },
        { "resistance rows only", true, { 0, 0, 0, 2 } },
        { "empty tables", true, {} },
        { "no file yet", false, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(QDir(dir.path()).removeRecursively() && QDir().mkpath(dir.path()));
        if (c.file)
            Fill(c.rows);

        const auto session = Session();
        ASSERT_TRUE(WaitUntil([&] { return session->Emptied(); })) << failures.join(u'\n').toStdString();
        EXPECT_TRUE(failures.isEmpty()) << failures.join(u'\n').toStdString();
        QString counts, marks, emptied;
        for (const ResultsTable table : kAllResultsTables) {
            const QString name = TableShape(table).Name;
            counts += QStringLiteral("select count(*) from %1;").arg(name);
            marks += QStringLiteral("select ifnull(group_concat(%1), '-') from %2;")
                         .arg(TableShape(table).Columns[1], name);
            emptied += emptied.isEmpty() ? QStringLiteral("0") : QStringLiteral("\n0");
        }
        EXPECT_EQ(OutsideSqlite(DbPath(), counts), emptied);
        EXPECT_TRUE(LeftOvers().isEmpty()) << LeftOvers().join(' ').toStdString();
        if (std::accumulate(c.rows.begin(), c.rows.end(), 0) == 0) {
            EXPECT_TRUE(Archives().isEmpty()) << Archives().join(' ').toStdString();
            continue;
        }
        ASSERT_EQ(Archives().size(), 1);
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("^db-\\d{8}-\\d{6}\\.sqlite$")).match(Archives()[0]).hasMatch())
            << Archives()[0].toStdString();
        const QString archive = ArchiveFolder().filePath(Archives()[0]);
        // What group_concat makes of each table's rows; "-" for none.
        QStringList expected;
        for (const ResultsTable table : kAllResultsTables) {
            QStringList rows;
            for (int i = 0; i < c.rows[static_cast<size_t>(table)]; ++i)
                rows << Mark(table) + QString::number(i);
            expected << (rows.isEmpty() ? QStringLiteral("-") : rows.join(u','));
        }
        EXPECT_EQ(OutsideSqlite(archive, marks + "pragma journal_mode; pragma integrity_check;"),
            (expected + QStringList { "delete", "ok" }).join(u'\n'));
    }
}

TEST_F(ResultsSessionTest, OnlyTheNewestArchivesAreKeptAndNamesTakenInTheSameSecondGetANumber)
{
    // Session n stores reading n; session n + 1 archives it: six archives, three kept.
    for (int n = 1; n <= 6; ++n) {
        const auto session = Session(3);
        ASSERT_TRUE(WaitUntil([&] { return session->Emptied(); })) << failures.join(u'\n').toStdString();
        ASSERT_TRUE(session->Insert(ResultsTable::Battery, { QString::number(n), "", "", "", "" }, nullptr));
    }
    const auto last = Session(3);
    ASSERT_TRUE(WaitUntil([&] { return last->Emptied(); }));

    const QStringList archives = Archives();
    ASSERT_EQ(archives.size(), 3) << archives.join(' ').toStdString();
    std::set<QString> kept;
    for (const QString& archive : archives) {
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^db-\\d{8}-\\d{6}(-\\d+)?\\.sqlite$"))
                        .match(archive)
                        .hasMatch())
            << archive.toStdString();
        kept.insert(OutsideSqlite(ArchiveFolder().filePath(archive), "select InputVoltage from battery;"));
    }
    EXPECT_EQ(kept, (std::set<QString> { "4", "5", "6" }));
    EXPECT_TRUE(failures.isEmpty()) << failures.join(u'\n').toStdString();
}

TEST_F(ResultsSessionTest, AnArchiveThatCannotBeWrittenLeavesTheFileUnemptiedSaysSoAndIsTriedAgain)
{
    struct Case
    {
        const char* name;
        std::function<std::function<void()>()> obstruct; // returns what removes the obstacle
    };
    const Case cases[] = {
        { "the archive folder's name is taken by a file",
            [this] {
                QFile file(ArchiveFolder().path());
                EXPECT_TRUE(file.open(QIODevice::WriteOnly));
                return [path = ArchiveFolder().path()] { QFile::remove(path); };
            } },
        { "the disk is full",
            [] {
                auto limit = std::make_shared<FileSizeLimit>(64 * 1024);
                return [limit]() mutable { limit.reset(); };
            } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(QDir(dir.path()).removeRecursively() && QDir().mkpath(dir.path()));
        failures.clear();
        Fill({ 40, 1, 0, 0 }, QString(4096, u'x')); // well above the size limit
        std::function<void()> clear = c.obstruct();

        const auto session = Session();
        ASSERT_TRUE(WaitUntil([&] { return !failures.isEmpty(); }));
        ASSERT_EQ(failures.size(), 1);
        EXPECT_TRUE(failures[0].contains(u"could not be archived")
            && failures[0].contains(QDir::toNativeSeparators(ArchiveFolder().path()))
            && failures[0].contains(u"not emptied"))
            << failures[0].toStdString();
        EXPECT_FALSE(session->Emptied());
        EXPECT_FALSE(session->Insert(ResultsTable::Battery, { "new", "", "", "", "" }, nullptr));
        EXPECT_EQ(status,
            u"Waiting for \"db.sqlite\": its previous results could not be archived; 1 readings "
            "waiting to be stored");
        EXPECT_EQ(
            OutsideSqlite(DbPath(), "select count(*) from battery where InputVoltage like 'b%';"), "40");
        EXPECT_EQ(OutsideSqlite(DbPath(), "select count(*) from battery where InputVoltage = 'new';"), "0");
        EXPECT_TRUE(LeftOvers().isEmpty()) << LeftOvers().join(' ').toStdString();

        clear();
        ASSERT_TRUE(WaitUntil([&] { return session->Emptied() && session->Waiting() == 0; }));
        EXPECT_EQ(OutsideSqlite(DbPath(), "select group_concat(InputVoltage) from battery;"), "new");
        ASSERT_EQ(Archives().size(), 1);
        EXPECT_EQ(
            OutsideSqlite(ArchiveFolder().filePath(Archives()[0]), "select count(*) from battery;"), "40");
        EXPECT_EQ(failures.size(), 1) << failures.join(u'\n').toStdString();
    }
}

// A file SQLite opens and reads without complaint may still be broken inside (here a page
// no table owns): it is set aside whole, never archived and emptied as a sound one.
TEST_F(ResultsSessionTest, AFileDamagedInsideIsSetAsideAndAFreshOneMade)
{
    Fill({ 2, 0, 0, 0 });
    OutsideSqlite(DbPath(),
        QStringLiteral("create table lost(a); insert into lost values(1); pragma writable_schema = 1; "
                       "delete from sqlite_master where name = 'lost';"));
    ASSERT_NE(OutsideSqlite(DbPath(), QStringLiteral("pragma quick_check;")), u"ok");

    const auto session = Session();
    ASSERT_TRUE(WaitUntil([&] { return session->Emptied(); })) << failures.join(u'\n').toStdString();
    const QStringList aside = QDir(dir.path()).entryList({ QStringLiteral("db.sqlite.damaged-*") });
    ASSERT_EQ(aside.size(), 1);
    ASSERT_EQ(failures.size(), 1);
    EXPECT_TRUE(failures[0].contains(aside[0])) << failures[0].toStdString();
    EXPECT_TRUE(Archives().isEmpty()) << Archives().join(' ').toStdString();
    EXPECT_EQ(OutsideSqlite(dir.filePath(aside[0]), QStringLiteral("select count(*) from battery;")), u"2");
    EXPECT_EQ(OutsideSqlite(DbPath(), QStringLiteral("pragma quick_check; select count(*) from battery;")),
        u"ok\n0");
}

TEST_F(ResultsSessionTest, ASecondSessionOnAFileAnotherHoldsNeverWritesItAndFollowsItReadOnly)
{
    auto first = Session();
    ASSERT_TRUE(WaitUntil([&] { return first->Emptied(); }));
    for (const char* v : { "f1", "f2" })
        first->Insert(ResultsTable::Battery, { v, "", "", "", "" }, nullptr);

    std::optional<ResultsLockHolder> holder;
    const auto second = std::make_unique<ResultsFile>(std::make_unique<SqliteResults>(DbPath()));
    QObject::connect(second.get(), &ResultsFile::InUse, [&](const ResultsLockHolder& h) { holder = h; });
    TResultsQuery grid(ResultsTable::Battery, second.get());
    second->StartSession();
    ASSERT_TRUE(WaitUntil([&] { return holder.has_value(); }));
    EXPECT_EQ(holder->pid, ::getpid());
    EXPECT_EQ(holder->program, QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    EXPECT_EQ(holder->file, u"db.sqlite");
    EXPECT_TRUE(
        InUseMessage(*holder).startsWith(QStringLiteral("db.sqlite is in use by %1, process %2, started ")
                                             .arg(holder->program)
                                             .arg(::getpid())))
        << InUseMessage(*holder).toStdString();
    EXPECT_FALSE(second->Emptied());

    second->OpenReadOnly();
    EXPECT_TRUE(second->ReadOnly());
    ASSERT_EQ(grid.RowCount(), 2) << "the grid shows the file's rows at once";
    EXPECT_EQ(grid.Model()->index(1, 1).data().toString(), "f2");
    first->Insert(ResultsTable::Battery, { "f3", "", "", "", "" }, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return grid.RowCount() == 3; })) << "it follows what the other one stores";
    first->Clear(ResultsTable::Battery);
    first->Insert(ResultsTable::Battery, { "f4", "", "", "", "" }, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return grid.RowCount() == 1; })) << "and what it empties";
    EXPECT_EQ(grid.Model()->index(0, 1).data().toString(), "f4");

    QString status;
    QObject::connect(second.get(), &ResultsFile::StatusChanged, [&status](const QString& s) { status = s; });
    EXPECT_FALSE(second->Insert(ResultsTable::Battery, { "s1", "", "", "", "" }, nullptr));
    second->Clear(ResultsTable::Battery);
    EXPECT_EQ(status, u"Read-only: 1 reading not stored");
    EXPECT_EQ(second->Waiting(), 0);
    EXPECT_EQ(OutsideSqlite(DbPath(), "select group_concat(InputVoltage) from battery;"), "f4");

    // Once the holder has gone, the next session may have the file.
    first.reset();
    const auto third = Session();
    ASSERT_TRUE(WaitUntil([&] { return third->Emptied(); })) << failures.join(u'\n').toStdString();
    EXPECT_EQ(OutsideSqlite(DbPath(), "select count(*) from battery;"), "0");
}

TEST_F(ResultsSessionTest, AReadOnlyFileSaysSoAndKeepsTheReadingsUntilItMayBeWritten)
{
    Fill({ 1, 0, 0, 0 });
    const std::function<void()> undo = MakeReadOnly(DbPath());
    const auto session = Session();
    ASSERT_TRUE(WaitUntil([&] { return !failures.isEmpty(); }));
    EXPECT_TRUE(failures[0].contains(u"read-only") && failures[0].contains(u"not emptied"))
        << failures[0].toStdString();
    EXPECT_FALSE(session->Insert(ResultsTable::Battery, { "new", "", "", "", "" }, nullptr));
    EXPECT_EQ(status, u"Waiting for \"db.sqlite\": it is read-only; 1 readings waiting to be stored");
    EXPECT_TRUE(Archives().isEmpty()) << "nothing archived while it cannot be emptied";

    undo();
    ASSERT_TRUE(WaitUntil([&] { return session->Emptied() && session->Waiting() == 0; }));
    EXPECT_EQ(OutsideSqlite(DbPath(), "select group_concat(InputVoltage) from battery;"), "new");
    EXPECT_EQ(Archives().size(), 1);
    EXPECT_EQ(failures.size(), 1) << failures.join(u'\n').toStdString();
}

// A file deleted or replaced under a running session: nothing more goes into the file that
// went; a new one is readied at the path (a replacement's rows archived first), the
// operator is told once, and the readings go on, in order, into it.
TEST_F(ResultsSessionTest, AFileDeletedOrReplacedMidRunIsMadeAnewAndTheReadingsGoOnThere)
{
    struct Case
    {
        const char* name;
        bool replace;
        const char* told;
    };
    const Case cases[] = {
        { "deleted", false, "was deleted" },
        { "replaced", true, "was replaced" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(QDir(dir.path()).removeRecursively() && QDir().mkpath(dir.path()));
        failures.clear();
        const auto session = Session();
        ASSERT_TRUE(WaitUntil([&] { return session->Emptied(); }));
        ASSERT_TRUE(session->Insert(ResultsTable::Battery, { "a", "", "", "", "" }, nullptr));
        if (c.replace) {
            const QString other = dir.filePath(QStringLiteral("other.sqlite"));
            OutsideSqlite(other,
                "create table battery(Id integer primary key autoincrement, InputVoltage, "
                "InputCurrent, DischargeTime, BatteryCapacity, MeasTime); insert into "
                "battery(InputVoltage) values ('theirs');");
            ASSERT_EQ(
                std::rename(QFile::encodeName(other).constData(), QFile::encodeName(DbPath()).constData()),
                0);
        } else
            ASSERT_TRUE(QFile::remove(DbPath()));

        EXPECT_FALSE(session->Insert(ResultsTable::Battery, { "b", "", "", "", "" }, nullptr));
        ASSERT_EQ(failures.size(), 1);
        EXPECT_TRUE(
            failures[0].contains(QString::fromLatin1(c.told)) && failures[0].contains(u"not in the new file"))
            << failures[0].toStdString();
        ASSERT_TRUE(WaitUntil([&] { return session->Waiting() == 0; }));
        EXPECT_TRUE(session->Insert(ResultsTable::Battery, { "c", "", "", "", "" }, nullptr));
        EXPECT_EQ(OutsideSqlite(DbPath(), "select group_concat(InputVoltage) from battery;"), "b,c");
        QStringList archived;
        for (const QString& archive : Archives())
            archived << OutsideSqlite(
                ArchiveFolder().filePath(archive), "select group_concat(InputVoltage) from battery;");
        EXPECT_EQ(archived, c.replace ? QStringList { "theirs" } : QStringList {});
        EXPECT_EQ(failures.size(), 1) << failures.join(u'\n').toStdString();
    }
}

// Rows that waited are written with their run and number: the same rows offered again (a
// journal the program ended before emptying) are taken once, until the file is emptied.
TEST_F(ResultsSessionTest, RowsOfferedAgainAreTakenOnce)
{
    SqliteResults file(DbPath());
    file.StartSession();
    std::vector<PendingRow> rows;
    for (int seq = 1; seq <= 3; ++seq)
        rows.push_back(
            { ResultsTable::Battery, { QString::number(seq), "", "", "", "" }, "run-a", seq, false, {} });
    EXPECT_EQ(file.WriteRows(rows).size(), 3u);
    rows.push_back({ ResultsTable::Battery, { "4", "", "", "", "" }, "run-a", 4, false, {} });
    const std::vector<QString> again = file.WriteRows(rows);
    EXPECT_EQ(again, (std::vector<QString> { {}, {}, {}, again[3] }));
    EXPECT_FALSE(again[3].isEmpty());
    EXPECT_EQ(OutsideSqlite(DbPath(), "select group_concat(InputVoltage) from battery;"), "1,2,3,4");
}

// The local file holds one session: its battery table is one run, profile runs are told
// apart by their Run label and their resistance rows come with them.
TEST_F(ResultsSessionTest, RunsAreReadBackByTheirLabelNewestFirstWithTheirRows)
{
    const StoredRunsScenario scenario;
    const auto session = Session();
    ASSERT_TRUE(WaitUntil([&] { return session->Emptied(); })) << failures.join(u'\n').toStdString();
    scenario.StoreInto(*session);

    const std::vector<StoredRun> runs = session->Runs();
    ASSERT_EQ(runs.size(), 3u);
    const struct
    {
        ResultsTable table;
        QString key;
        int readings;
        QDateTime started;
    } expected[] = {
        { ResultsTable::Profile, scenario.Label(2), 1, scenario.t0.addSecs(2 * 3600) },
        { ResultsTable::Profile, scenario.Label(1), 3, scenario.t0.addSecs(3600) },
        { ResultsTable::Battery, "battery", 2, scenario.t0 },
    };
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(runs[i].table, expected[i].table);
        EXPECT_EQ(runs[i].key, expected[i].key);
        EXPECT_EQ(runs[i].readings, expected[i].readings);
        EXPECT_EQ(runs[i].started, expected[i].started);
        EXPECT_TRUE(runs[i].station.isEmpty());
    }
    EXPECT_EQ(runs[2].ended, scenario.t0.addSecs(10));
    EXPECT_EQ(runs[1].ended, scenario.t0.addSecs(3600 + 2));
    EXPECT_EQ(session->RunRows(ResultsTable::Profile, runs[1].key), scenario.ProfileRun1());
    EXPECT_EQ(session->RunRows(ResultsTable::Resistance, runs[1].key), scenario.ResistanceRun1());
    EXPECT_EQ(session->RunRows(ResultsTable::Battery, QStringLiteral("battery")),
        (std::vector { scenario.Battery(0), scenario.Battery(10) }));
    EXPECT_TRUE(session->RunRows(ResultsTable::Profile, scenario.Label(5)).empty());
    const std::vector<StoredRun> resistance = session->Runs(ResultsTable::Resistance);
    ASSERT_EQ(resistance.size(), 1u);
    EXPECT_EQ(resistance[0].key, scenario.Label(1));
    EXPECT_EQ(resistance[0].readings, 2);
}

} // namespace
