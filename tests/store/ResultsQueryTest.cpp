// The results store against real SQLite files in a temporary folder.
#include "store/ResultsQuery.h"
#include "ResultsFileReader.h"
#include "store/ResultsFile.h"
#include "support/EventLoop.h"
#include "support/FileSizeLimit.h"

#include <QAbstractTableModel>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QStringList kBatteryColumns { "Id", "InputVoltage", "InputCurrent", "DischargeTime", "BatteryCapacity",
    "MeasTime" };
const QStringList kListColumns { "Id", "Nr", "LoadPattern", "Setpoint", "mValueV", "mValueI", "upLimit",
    "downLimit", "sTime", "Result" };

class ResultsQueryTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString DbPath() const { return dir.filePath(QStringLiteral("db.sqlite")); }

    QTemporaryDir dir;
};

QStringList Texts(const QVariantList& row)
{
    QStringList texts;
    for (const QVariant& v : row)
        texts << v.toString();
    return texts;
}

QStringList ModelRow(const QAbstractTableModel& model, int row)
{
    QStringList texts;
    for (int c = 0; c < model.columnCount(); ++c)
        texts << model.data(model.index(row, c)).toString();
    return texts;
}

TEST_F(ResultsQueryTest, CreatesTheFileWithBothTablesAndExactColumnsOnFirstUse)
{
    TResultsQuery battery(ResultsTable::Battery, nullptr, DbPath());
    EXPECT_FALSE(QFile::exists(DbPath())) << "nothing may be opened before the first statement";
    battery.Clear();
    ASSERT_TRUE(QFile::exists(DbPath()));

    ResultsFileReader file(DbPath());
    EXPECT_EQ(file.Columns("battery"), kBatteryColumns);
    EXPECT_EQ(file.Columns("listS"), kListColumns);
    EXPECT_EQ(file.Rows("pragma journal_mode").value(0).value(0).toString(), "wal");
    EXPECT_EQ(battery.Model()->columnCount(), kBatteryColumns.size());
}

TEST_F(ResultsQueryTest, ClearEmptiesOnlyItsOwnTableInAnExistingFile)
{
    {
        TResultsQuery creator(ResultsTable::Battery, nullptr, DbPath());
        creator.Clear();
    }
    {
        ResultsFileReader file(DbPath());
        file.Exec("insert into battery(InputVoltage) values ('12.0')");
        file.Exec("insert into listS(Nr) values ('0')");
        file.Exec("insert into listS(Nr) values ('1')");
    }
    TResultsQuery list(ResultsTable::ListS, nullptr, DbPath());
    list.Insert({ "0", "CC", "1", "2", "3", "4", "5", "t", "1" });
    ASSERT_EQ(list.RowCount(), 1);
    int resets = 0;
    QObject::connect(list.Model(), &QAbstractItemModel::modelReset, [&resets] { ++resets; });

    list.Clear();

    ResultsFileReader file(DbPath());
    EXPECT_TRUE(file.Rows("select * from listS").isEmpty());
    EXPECT_EQ(file.Rows("select * from battery").size(), 1);
    EXPECT_EQ(list.RowCount(), 0);
    EXPECT_EQ(resets, 1);
}

TEST_F(ResultsQueryTest, EveryValueLandsInItsColumnOfEachTable)
{
    struct Case
    {
        ResultsTable table;
        QString select;
        QStringList values;
        QStringList expected; // the selected columns, in the order of `select`
    };
    // The list insert puts the low limit into upLimit and the high limit into downLimit.
    const Case cases[] = {
        { ResultsTable::Battery,
            "select InputVoltage, InputCurrent, DischargeTime, BatteryCapacity, MeasTime from battery",
            { "v", "i", "t", "c", "when" }, { "v", "i", "t", "c", "when" } },
        { ResultsTable::ListS,
            "select Nr, LoadPattern, Setpoint, mValueV, mValueI, upLimit, downLimit, sTime, Result from "
            "listS",
            { "3", "CV", "12", "11.9", "0.5", "low 11", "high 13", "when", "1" },
            { "3", "CV", "12", "11.9", "0.5", "low 11", "high 13", "when", "1" } },
    };
    for (const Case& c : cases) {
        TResultsQuery query(c.table, nullptr, DbPath());
        query.Insert(c.values);
        ResultsFileReader file(DbPath());
        const auto rows = file.Rows(c.select);
        ASSERT_EQ(rows.size(), 1) << c.select.toStdString();
        EXPECT_EQ(Texts(rows[0]), c.expected) << c.select.toStdString();
    }
}

TEST_F(ResultsQueryTest, HostileAndUnusualTextsAreStoredVerbatimAsText)
{
    const QStringList samples {
        "\"",
        "'",
        ",",
        "\"),(\"",
        "\"); drop table battery; --",
        "'); drop table battery; --",
        "?",
        "05.000",
        " 1.5 ",
        "12,5",
        "Ω µA ü 電圧",
        "line\r\nbreak",
        "",
        QString(),
    };
    TResultsQuery battery(ResultsTable::Battery, nullptr, DbPath());
    for (const QString& s : samples)
        battery.Insert({ s, s, s, s, s });

    ResultsFileReader file(DbPath());
    const auto rows = file.Rows(
        "select InputVoltage, InputCurrent, DischargeTime, BatteryCapacity, MeasTime, typeof(MeasTime) "
        "from battery order by Id");
    ASSERT_EQ(rows.size(), samples.size());
    for (qsizetype i = 0; i < samples.size(); ++i) {
        const QString expected = samples[i].isNull() ? QString("") : samples[i];
        for (int c = 0; c < 5; ++c)
            EXPECT_EQ(rows[i][c].toString(), expected) << "sample " << i << " column " << c;
        EXPECT_EQ(rows[i][5].toString(), "text") << "sample " << i << " must not become NULL";
    }
}

TEST_F(ResultsQueryTest, ModelAppendsOneRowPerInsertWithTheStoredId)
{
    TResultsQuery list(ResultsTable::ListS, nullptr, DbPath());
    QAbstractTableModel& model = *list.Model();
    QList<int> appended;
    QObject::connect(&list, &TResultsQuery::RowAppended, [&appended](int row) { appended << row; });
    QList<int> inserted;
    QObject::connect(&model, &QAbstractItemModel::rowsInserted,
        [&inserted](const QModelIndex&, int first, int last) { inserted << first << last; });

    for (int step = 0; step < 3; ++step)
        list.Insert({ QString::number(step), "CC", "1", "2", "3", "0", "0", "t", "1" });

    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(appended, QList<int>({ 0, 1, 2 }));
    EXPECT_EQ(inserted, QList<int>({ 0, 0, 1, 1, 2, 2 }));
    ResultsFileReader file(DbPath());
    const auto rows = file.Rows("select * from listS order by Id");
    ASSERT_EQ(rows.size(), 3);
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(ModelRow(model, r), Texts(rows[r])) << "row " << r;
}

TEST_F(ResultsQueryTest, ModelIsReadOnlyWithColumnNamesAsReplaceableTitles)
{
    TResultsQuery battery(ResultsTable::Battery, nullptr, DbPath());
    battery.Insert({ "1", "2", "3", "4", "5" });
    QAbstractTableModel& model = *battery.Model();
    for (int c = 0; c < kBatteryColumns.size(); ++c)
        EXPECT_EQ(model.headerData(c, Qt::Horizontal).toString(), kBatteryColumns[c]);

    int changed = 0;
    QObject::connect(&model, &QAbstractItemModel::headerDataChanged, [&changed] { ++changed; });
    EXPECT_TRUE(model.setHeaderData(1, Qt::Horizontal, "Input Voltage"));
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Input Voltage");
    EXPECT_EQ(changed, 1);
    EXPECT_FALSE(model.setHeaderData(kBatteryColumns.size(), Qt::Horizontal, "beyond"));

    const QModelIndex cell = model.index(0, 1);
    EXPECT_FALSE(model.flags(cell) & Qt::ItemIsEditable);
    EXPECT_FALSE(model.setData(cell, "changed"));
    EXPECT_EQ(model.data(cell).toString(), "1");
}

TEST_F(ResultsQueryTest, WrongNumberOfValuesThrowsAndStoresNothing)
{
    struct Case
    {
        ResultsTable table;
        int count;
    };
    const Case cases[] = { { ResultsTable::Battery, 0 }, { ResultsTable::Battery, 4 },
        { ResultsTable::Battery, 6 }, { ResultsTable::ListS, 8 }, { ResultsTable::ListS, 10 } };
    for (const Case& c : cases) {
        TResultsQuery query(c.table, nullptr, DbPath());
        QStringList values;
        for (int i = 0; i < c.count; ++i)
            values << QString::number(i);
        EXPECT_THROW(query.Insert(values), EDatabaseError) << c.count << " values";
        EXPECT_EQ(query.RowCount(), 0);
    }
    TResultsQuery creator(ResultsTable::Battery, nullptr, DbPath());
    creator.Clear();
    ResultsFileReader file(DbPath());
    EXPECT_TRUE(file.Rows("select * from battery").isEmpty());
    EXPECT_TRUE(file.Rows("select * from listS").isEmpty());
}

TEST_F(ResultsQueryTest, UnopenableFileThrowsAMessageNamingItEveryTime)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    QFile notADatabase(dir.filePath("notes.sqlite"));
    ASSERT_TRUE(notADatabase.open(QIODevice::WriteOnly));
    notADatabase.write(QByteArray(4096, 'x'));
    notADatabase.close();

    const QString paths[] = {
        dir.filePath("folder"),
        dir.filePath("missing/sub/db.sqlite"),
        dir.filePath("notes.sqlite"),
    };
    for (const QString& path : paths) {
        TResultsQuery query(ResultsTable::Battery, nullptr, path);
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                query.Clear();
                ADD_FAILURE() << "Clear succeeded on " << path.toStdString();
            } catch (const EDatabaseError& e) {
                const QString message = QString::fromStdString(e.what());
                EXPECT_TRUE(message.contains(QDir::toNativeSeparators(path))) << e.what();
                EXPECT_GT(message.size(), path.size() + 30) << "no reason given: " << e.what();
            }
            // The reading is shown whatever the store says, and kept for it.
            EXPECT_NO_THROW(query.Insert({ "1", "2", "3", "4", "5" }));
            EXPECT_EQ(query.RowCount(), attempt + 1);
        }
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("missing")));
}

// A row the file refuses is shown, kept in order with the rows behind it, said in the
// status line and stored once the file takes it.
TEST_F(ResultsQueryTest, ARefusedRowIsShownAndKeptInOrderUntilTheFileTakesIt)
{
    ResultsFile results(DbPath());
    QStringList failures;
    QString status;
    QObject::connect(&results, &ResultsFile::Failed, [&](const QString& m) { failures << m; });
    QObject::connect(&results, &ResultsFile::StatusChanged, [&](const QString& s) { status = s; });
    TResultsQuery battery(ResultsTable::Battery, &results);
    battery.Insert({ "1.0", "1", "1", "0.1", "t1" });
    {
        ResultsFileReader file(DbPath());
        file.Exec("create trigger refuse before insert on battery when new.InputVoltage = 'bad' "
                  "begin select raise(abort, 'refused by the test trigger'); end");
    }
    EXPECT_NO_THROW(battery.Insert({ "bad", "1", "1", "0.1", "t2" }));
    battery.Insert({ "3.0", "1", "1", "0.1", "t3" });
    ASSERT_EQ(battery.RowCount(), 3);
    EXPECT_EQ(results.Waiting(), 2);
    ASSERT_EQ(failures.size(), 1);
    EXPECT_TRUE(failures[0].contains("refused by the test trigger") && failures[0].contains("db.sqlite"))
        << failures[0].toStdString();
    EXPECT_TRUE(status.startsWith("2 readings not stored: the results database \"")
        && status.endsWith("refused by the test trigger"))
        << status.toStdString();
    EXPECT_TRUE(results.Refusing());
    EXPECT_EQ(ResultsFileReader(DbPath()).Rows("select * from battery").size(), 1) << "nothing past it";

    ResultsFileReader(DbPath()).Exec("drop trigger refuse");
    ASSERT_TRUE(WaitUntil([&] { return results.Waiting() == 0; }));
    EXPECT_TRUE(status.isEmpty()) << status.toStdString();
    ResultsFileReader file(DbPath());
    const auto rows = file.Rows("select * from battery order by Id");
    ASSERT_EQ(rows.size(), 3);
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(ModelRow(*battery.Model(), r), Texts(rows[r])) << "with the Ids the file gave";
}

TEST_F(ResultsQueryTest, BothTablesShareOneFileThroughSeparateQueries)
{
    TResultsQuery list(ResultsTable::ListS, nullptr, DbPath());
    TResultsQuery battery(ResultsTable::Battery, nullptr, DbPath());
    list.Clear();
    battery.Clear();
    for (int i = 0; i < 3; ++i) {
        battery.Insert({ QString::number(i), "b", "b", "b", "b" });
        list.Insert({ QString::number(i), "l", "l", "l", "l", "l", "l", "l", "l" });
    }
    ResultsFileReader file(DbPath());
    EXPECT_EQ(file.Rows("select * from battery").size(), 3);
    EXPECT_EQ(file.Rows("select * from listS").size(), 3);
    EXPECT_EQ(battery.RowCount(), 3);
    EXPECT_EQ(list.RowCount(), 3);
}

// Runs `child` in a forked process; returns the wait status. The child must end itself
// with _exit or a signal so that nothing of the test program's own teardown runs twice.
template <typename F> int RunInChild(F child)
{
    const pid_t pid = fork();
    if (pid == 0) {
        child();
        _exit(100);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST_F(ResultsQueryTest, RowIsInTheFileWhenTheProcessIsKilledRightAfterInsert)
{
    const QString path = DbPath();
    const int status = RunInChild([&path] {
        TResultsQuery battery(ResultsTable::Battery, nullptr, path);
        battery.Clear();
        battery.Insert({ "12.5", "1.0", "60", "0.017", "killed" });
        raise(SIGKILL);
    });
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;

    ResultsFileReader file(path);
    const auto rows = file.Rows("select InputVoltage, MeasTime from battery");
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(Texts(rows[0]), QStringList({ "12.5", "killed" }));
}

TEST_F(ResultsQueryTest, AFullDiskKeepsTheRowShownAndWaitingAndEveryCommittedRow)
{
    const QString path = DbPath();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const int status = RunInChild([&path, &pipeFds] {
        close(pipeFds[0]);
        ResultsFile results(path);
        TResultsQuery battery(ResultsTable::Battery, &results);
        battery.Clear();
        QString told;
        QObject::connect(&results, &ResultsFile::StatusChanged, [&told](const QString& s) { told = s; });
        const FileSizeLimit limit(256 * 1024);
        const QString big(8 * 1024, QLatin1Char('9'));
        for (int i = 0; i < 1000 && results.Waiting() == 0; ++i)
            battery.Insert({ QString::number(i), big, "t", "c", "m" });
        // Shown, waiting, and said: {rows shown, rows waiting, whether the status says so}.
        const int report[] = { battery.RowCount(), results.Waiting(),
            told.startsWith(QStringLiteral("1 readings not stored: ")) ? 1 : 0 };
        (void)!write(pipeFds[1], report, sizeof report);
        _exit(0);
    });
    close(pipeFds[1]);
    int report[3] = { -1, -1, -1 };
    ASSERT_EQ(read(pipeFds[0], report, sizeof report), static_cast<ssize_t>(sizeof report));
    close(pipeFds[0]);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    ASSERT_EQ(report[1], 1) << "the size limit never refused a row";
    EXPECT_EQ(report[2], 1) << "the status line says why";
    const int stored = report[0] - 1;
    ASSERT_GT(stored, 0);

    ResultsFileReader file(path);
    EXPECT_EQ(file.Rows("pragma integrity_check").value(0).value(0).toString(), "ok");
    const auto rows = file.Rows("select InputVoltage from battery order by Id");
    ASSERT_EQ(rows.size(), stored);
    for (int r = 0; r < stored; ++r)
        EXPECT_EQ(rows[r][0].toString(), QString::number(r));
}

} // namespace
