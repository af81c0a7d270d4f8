// The results file in the hands of the window and of other programs: the export dialog
// leaves SQLite's locks alone, an outside reader sees every reading, a killed run keeps
// every row it showed, start-up copes with a locked or damaged file, and a second window
// in the same folder never writes the file the first one fills.
#include "WindowFixture.h"

#include "store/ResultsDatabase.h"
#include "store/ResultsJournal.h"
#include "store/ResultsQuery.h"
#include "support/FileSizeLimit.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTableView>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The sqlite3 shell on db.sqlite, as an operator (or another tool) would run it.
class SqliteShell
{
public:
    explicit SqliteShell(const QString& path = QStringLiteral("db.sqlite"))
    {
        FShell.setProcessChannelMode(QProcess::MergedChannels);
        FShell.start(QStringLiteral("sqlite3"), { QStringLiteral("-batch"), path });
        EXPECT_TRUE(FShell.waitForStarted()) << "sqlite3 is missing: run scripts/deps";
    }
    ~SqliteShell()
    {
        FShell.closeWriteChannel();
        if (!FShell.waitForFinished(5000))
            FShell.kill();
    }
    // Runs statements and returns what they print, up to a marker written after them.
    QString Run(const QString& sql)
    {
        FShell.write((sql + QStringLiteral("\nselect 'done-marker';\n")).toUtf8());
        QByteArray out;
        while (!out.contains("done-marker") && FShell.waitForReadyRead(10000))
            out += FShell.readAll();
        return QString::fromUtf8(out).remove(QStringLiteral("done-marker")).trimmed();
    }

private:
    QProcess FShell;
};

// One-off statements through a shell of their own.
QString Sqlite(const QString& sql)
{
    return SqliteShell().Run(sql);
}

// Whether this process holds a lock on the file at `path` (by /proc/locks).
bool HoldsLock(const QString& path)
{
    struct stat file
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &file) != 0)
        return false;
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    const QString pid = QString::number(::getpid());
    const QString inode = QStringLiteral(":%1 ").arg(file.st_ino);
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QString text = QString::fromLatin1(line);
        if (text.contains(u' ' + pid + u' ') && text.contains(inode))
            return true;
    }
    return false;
}

class ResultsFileTest : public WithPortTest
{
protected:
    void Reading(int seconds)
    {
        Session().SetMode(TestMode::Battery);
        Guarded(
            [&] { Session().HandleMeasurement(QStringLiteral("12.00 V,0.300 A,%1s,0.001Ah").arg(seconds)); });
    }

    void StartBattery()
    {
        Session().Maxima() = { 5, 20, 100 };
        form->BSetButton->click();
        form->startButtonB->click();
        form->startButtonB->click();
        form->fetchTimer->stop();
    }
};

TEST_F(ResultsFileTest, ExportDialogOnTheWorkingFolderLeavesTheLocksAndOutsideReadersSeeEveryRow)
{
    StartBattery();
    Reading(1);
    ASSERT_TRUE(HoldsLock(QStringLiteral("db.sqlite-shm")) || HoldsLock(QStringLiteral("db.sqlite")));

    // The real dialog, made to list the folder db.sqlite is in, then cancelled.
    bool listed = false;
    QTimer::singleShot(0, form.get(), [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        EXPECT_NE(QFileInfo(dialog->directory().absolutePath()), QFileInfo(QDir::currentPath()))
            << "it starts elsewhere";
        QObject::connect(dialog->findChild<QFileSystemModel*>(), &QFileSystemModel::directoryLoaded, dialog,
            [&listed, dialog] {
                listed = true;
                QTimer::singleShot(300, dialog, &QDialog::reject);
            });
        dialog->setDirectory(QDir::currentPath());
    });
    form->DBGrid2->actions().first()->trigger();
    ASSERT_TRUE(listed);
    EXPECT_TRUE(HoldsLock(QStringLiteral("db.sqlite-shm")) || HoldsLock(QStringLiteral("db.sqlite")))
        << "the dialog dropped SQLite's locks";

    for (int t = 2; t <= 6; ++t) {
        Reading(t);
        EXPECT_EQ(Sqlite(QStringLiteral("select count(*) from battery;")), QString::number(t));
    }
    EXPECT_TRUE(QFile::exists(QStringLiteral("db.sqlite-wal")));
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
}

TEST_F(ResultsFileTest, AKilledRunKeepsEveryRowItShowedWhileAnOutsideReaderLooks)
{
    form.reset(); // the child has the folder to itself
    QProcess child;
    child.start(QStringLiteral(BATTERY_CHILD_EXE));
    ASSERT_TRUE(child.waitForStarted());
    int shown = 0;
    QByteArray out;
    for (int look = 0; shown < 60 && child.waitForReadyRead(10000); ++look) {
        out += child.readAllStandardOutput();
        const QList<QByteArray> lines = out.split('\n');
        for (const QByteArray& line : lines)
            if (line.startsWith("rows "))
                shown = std::max(shown, line.mid(5).toInt());
        if (look % 5 == 0)
            Sqlite(QStringLiteral("select count(*) from battery;")); // the reader the documents suggest
    }
    child.kill(); // SIGKILL
    child.waitForFinished();
    ASSERT_GE(shown, 60) << child.readAllStandardError().toStdString();
    EXPECT_EQ(Sqlite(QStringLiteral("pragma integrity_check;")), u"ok");
    EXPECT_GE(Sqlite(QStringLiteral("select count(*) from battery;")).toInt(), shown);
}

// Another program writing to the file at start: the window says it waits, keeps the
// readings that come meanwhile and empties the file once it may, before storing them.
TEST_F(ResultsFileTest, StartUpWaitsForAnotherProgramsLockThenEmptiesBeforeStoring)
{
    StartBattery();
    Reading(1);
    form.reset();
    SqliteShell other;
    other.Run(QStringLiteral("begin immediate; insert into battery(InputVoltage) values ('OLD-RUN');"));

    form = std::make_unique<TForm1>();
    form->BuildAllPages();
    boxes = RecordingBoxes::InstallOn(*form);
    form->Results().SetLockWaitMs(500);
    ASSERT_TRUE(
        WaitUntil([&] { return form->StatusStore->text().startsWith(u"Waiting for \"db.sqlite\""); }));
    OpenQuietly();
    StartBattery();
    Reading(1);
    Reading(2);
    EXPECT_EQ(form->ADOQuery2->RowCount(), 2) << "the grid shows them meanwhile";
    EXPECT_TRUE(form->StatusStore->text().endsWith(u"2 readings waiting to be stored"))
        << form->StatusStore->text().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return !boxes->errors.isEmpty(); }));
    EXPECT_TRUE(boxes->errors[0].contains(u"locked") && boxes->errors[0].contains(u"not emptied"))
        << boxes->errors[0].toStdString();

    other.Run(QStringLiteral("commit;"));
    ASSERT_TRUE(WaitUntil([&] { return form->StatusStore->text().isEmpty(); }, std::chrono::seconds(10)));
    EXPECT_EQ(Sqlite(QStringLiteral("select group_concat(DischargeTime) from battery;")), u"1,2");
    EXPECT_EQ(Row(*form->ADOQuery2->Model(), 1)[0].isEmpty(), false) << "the Id comes once stored";
}

TEST_F(ResultsFileTest, ADamagedFileIsMovedAsideAndAFreshOneMade)
{
    form.reset();
    QFile damaged(QStringLiteral("db.sqlite"));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write(QByteArray(8192, 'x'));
    damaged.close();

    form = std::make_unique<TForm1>();
    form->BuildAllPages();
    boxes = RecordingBoxes::InstallOn(*form);
    ASSERT_TRUE(WaitUntil([&] { return form->Results().Emptied(); }));
    OpenQuietly();
    ASSERT_EQ(boxes->errors.size(), 1);
    const QStringList aside = QDir::current().entryList({ QStringLiteral("db.sqlite.damaged-*") });
    ASSERT_EQ(aside.size(), 1);
    EXPECT_TRUE(boxes->errors[0].contains(QDir::current().absoluteFilePath(QStringLiteral("db.sqlite")))
        && boxes->errors[0].contains(QDir::current().absoluteFilePath(aside[0])))
        << boxes->errors[0].toStdString();
    EXPECT_EQ(QFileInfo(aside[0]).size(), 8192);
    StartBattery();
    Reading(1);
    EXPECT_EQ(Sqlite(QStringLiteral("select count(*) from battery;")), u"1");
}

// A lock taken while the run goes on: the window does not stall on it, the readings wait
// in order and are stored when it is gone.
TEST_F(ResultsFileTest, ReadingsWaitInOrderWhileAnotherProgramHoldsTheLock)
{
    StartBattery();
    Reading(1);
    SqliteShell other;
    other.Run(QStringLiteral("begin immediate;"));
    for (int t = 2; t <= 5; ++t)
        Reading(t);
    EXPECT_EQ(form->ADOQuery2->RowCount(), 5);
    EXPECT_EQ(form->StatusStore->text(), u"4 readings waiting to be stored");
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
    other.Run(QStringLiteral("commit;"));
    ASSERT_TRUE(WaitUntil([&] { return form->StatusStore->text().isEmpty(); }));
    EXPECT_EQ(Sqlite(QStringLiteral("select group_concat(DischargeTime) from battery;")), u"1,2,3,4,5");
}

// A full disk under a running battery test: the reading is in the grid and on the chart,
// the status line says why it is not stored, and it is stored once there is room again.
TEST_F(ResultsFileTest, AFullDiskKeepsTheReadingInTheGridAndTheChart)
{
    StartBattery();
    Reading(1);
    auto full = std::make_unique<FileSizeLimit>(4096);
    Reading(2);
    EXPECT_EQ(form->ADOQuery2->RowCount(), 2);
    EXPECT_EQ(form->Chart().Points().size(), 2u);
    EXPECT_TRUE(form->StatusStore->text().startsWith(u"1 readings not stored: the results database"))
        << form->StatusStore->text().toStdString();
    // The store's refusal, and the journal's: the disk is full for it too.
    ASSERT_EQ(boxes->errors.size(), 2) << boxes->errors.join(u'\n').toStdString();
    EXPECT_TRUE(boxes->errors[0].contains(u"kept in memory only") && boxes->errors[1].contains(u"refused"))
        << boxes->errors.join(u'\n').toStdString();

    full.reset();
    ASSERT_TRUE(WaitUntil([&] { return form->StatusStore->text().isEmpty(); }));
    EXPECT_EQ(Sqlite(QStringLiteral("select group_concat(DischargeTime) from battery;")), u"1,2");
}

// A battery run killed while another program holds the file's lock: the readings it showed
// and could not store were in its journal, and the next window in the folder stores them
// into the file before archiving it, each once, and says how many there were.
TEST_F(ResultsFileTest, ReadingsAKilledRunCouldNotStoreAreStoredOnceByTheNextWindow)
{
    form.reset(); // the child has the folder to itself
    QProcess child;
    child.start(QStringLiteral(BATTERY_CHILD_EXE));
    ASSERT_TRUE(child.waitForStarted());
    int shown = 0;
    const auto follow = [&] {
        for (const QByteArray& line : child.readAllStandardOutput().split('\n'))
            if (line.startsWith("rows "))
                shown = std::max(shown, line.mid(5).toInt());
        return shown;
    };
    ASSERT_TRUE(WaitUntil([&] { return follow() >= 10; })) << child.readAllStandardError().toStdString();
    auto other = std::make_unique<SqliteShell>();
    // The child writes now and then: the lock is waited for rather than refused as busy.
    other->Run(QStringLiteral(".timeout 5000\nbegin exclusive;"));
    const int before = follow();
    ASSERT_TRUE(WaitUntil([&] { return follow() >= before + 20; }));
    child.kill(); // SIGKILL
    child.waitForFinished();
    follow();
    other->Run(QStringLiteral("commit;"));
    other.reset();
    const int stored = Sqlite(QStringLiteral("select count(*) from battery;")).toInt();
    ASSERT_LT(stored, shown) << "readings waited for the lock";

    form = std::make_unique<TForm1>();
    form->BuildAllPages();
    boxes = RecordingBoxes::InstallOn(*form);
    ASSERT_TRUE(WaitUntil([&] { return form->Results().Emptied(); }));
    EXPECT_TRUE(QRegularExpression(
        QStringLiteral("^\\d+ readings an earlier session left waiting for \"%1\"")
            .arg(QRegularExpression::escape(QDir::current().absoluteFilePath("db.sqlite"))))
                    .match(form->StatusPanel0->text())
                    .hasMatch())
        << form->StatusPanel0->text().toStdString();
    const QStringList archives
        = QDir(QStringLiteral("db-archive")).entryList({ QStringLiteral("db-*.sqlite") });
    ASSERT_EQ(archives.size(), 1);
    // The child's readings count their seconds from 1: every one shown, none twice, none missing.
    const QString counts = SqliteShell(QStringLiteral("db-archive/") + archives[0])
                               .Run(QStringLiteral("select count(*), count(distinct DischargeTime), "
                                                   "max(cast(DischargeTime as integer)) from battery;"));
    const QStringList numbers = counts.split(u'|');
    ASSERT_EQ(numbers.size(), 3) << counts.toStdString();
    EXPECT_GE(numbers[0].toInt(), shown);
    EXPECT_EQ(numbers[1], numbers[0]);
    EXPECT_EQ(numbers[2], numbers[0]);
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();
}

// A second window started beside a battery run of another process: it neither empties nor
// writes the file, names the process that holds it, and read-only shows the file's rows
// and stores none of its own; once that process is killed the folder is free again, and
// the next window archives every row of the killed run before emptying the file.
TEST_F(ResultsFileTest, ASecondWindowBesideARunningBatteryTestNeverWritesItsFile)
{
    form.reset(); // the child has the folder to itself
    QProcess child;
    child.start(QStringLiteral(BATTERY_CHILD_EXE));
    ASSERT_TRUE(child.waitForStarted());
    int shown = 0; // the most rows the child's grid showed
    const auto follow = [&] {
        for (const QByteArray& line : child.readAllStandardOutput().split('\n'))
            if (line.startsWith("rows "))
                shown = std::max(shown, line.mid(5).toInt());
        return shown;
    };
    ASSERT_TRUE(WaitUntil([&] { return follow() >= 20; })) << child.readAllStandardError().toStdString();

    for (const QString answer : { "Quit", "Open read-only" }) {
        SCOPED_TRACE(answer.toStdString());
        form = std::make_unique<TForm1>();
        form->BuildAllPages();
        boxes = RecordingBoxes::InstallOn(*form);
        boxes->answers = { answer };
        form->show();
        ASSERT_TRUE(WaitUntil([&] { return !boxes->questions.isEmpty(); }));
        EXPECT_TRUE(boxes->questions[0].startsWith(
            QStringLiteral("db.sqlite is in use by battery_child, process %1, started ")
                .arg(child.processId())))
            << boxes->questions[0].toStdString();
        EXPECT_FALSE(form->Results().Emptied());
        if (answer == u"Quit") {
            EXPECT_TRUE(WaitUntil([&] { return !form->isVisible(); }));
        }
    }
    ASSERT_TRUE(form->Results().ReadOnly());
    ASSERT_TRUE(WaitUntil([&] { return form->ADOQuery2->RowCount() >= 20; })) << "the grid reads the file";
    EXPECT_EQ(form->StatusStore->text(), u"Read-only: readings are not stored");
    OpenQuietly();
    StartBattery();
    const int rows = form->ADOQuery2->RowCount();
    Reading(777777);
    ASSERT_EQ(form->ADOQuery2->RowCount(), rows + 1) << "the window's own reading is shown";
    EXPECT_EQ(Row(*form->ADOQuery2->Model(), rows)[3], u"777777");
    EXPECT_EQ(Row(*form->ADOQuery2->Model(), rows)[0], u"") << "with no Id: it is not stored";
    EXPECT_EQ(form->StatusStore->text(), u"Read-only: 1 reading not stored");
    EXPECT_TRUE(boxes->errors.isEmpty()) << boxes->errors.join(u'\n').toStdString();

    child.kill(); // SIGKILL
    child.waitForFinished();
    const int stored = Sqlite(QStringLiteral("select count(*) from battery;")).toInt();
    EXPECT_GE(stored, follow()) << "every row of the running test stays";
    EXPECT_EQ(Sqlite(QStringLiteral("select count(*) from battery where DischargeTime = '777777';")), u"0");
    EXPECT_FALSE(QDir(QStringLiteral("db-archive")).exists()) << "nobody archived or emptied the file";

    // A reading the child took while a reader held the file waits in the child's journal;
    // killed then, it is the next window that stores it, before it archives the file.
    const QString journal = ResultsJournal::PathFor(DisplayPath(QStringLiteral("db.sqlite")), {},
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/dcload"));
    const int waiting = ResultsJournal(journal).Count();
    form.reset();
    form = std::make_unique<TForm1>();
    form->BuildAllPages();
    boxes = RecordingBoxes::InstallOn(*form);
    ASSERT_TRUE(WaitUntil([&] { return form->Results().Emptied(); })) << "the lock went with the process";
    EXPECT_EQ(form->Results().JournalPath(), journal) << "the child's journal is the one counted";
    EXPECT_TRUE(boxes->questions.isEmpty());
    const QStringList archives
        = QDir(QStringLiteral("db-archive")).entryList({ QStringLiteral("db-*.sqlite") });
    ASSERT_EQ(archives.size(), 1);
    EXPECT_EQ(SqliteShell(QStringLiteral("db-archive/") + archives[0])
                  .Run(QStringLiteral("select count(*) from battery;")),
        QString::number(stored + waiting));
    EXPECT_EQ(Sqlite(QStringLiteral("select count(*) from battery;")), u"0");
}

} // namespace
