// The way rows travel to a store that writes in the background: gathered into batches,
// numbered within their run, kept in order whatever the store does (a write under way, a
// refusal, an outage), with run records among them, and never thrown at the caller.
#include "store/ResultsBackend.h"
#include "store/ResultsFile.h"
#include "store/ResultsJournal.h"
#include "support/EventLoop.h"

#include <QFile>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <optional>

namespace {

// What the fake store holds and how it behaves; the test keeps it, the session owns the store.
struct StoreState
{
    std::vector<size_t> calls; // the size of every WriteRows call that started a write
    int attempts = 0; // every WriteRows call
    std::vector<PendingRow> held; // what the store took, in order
    std::optional<EDatabaseError> failure; // what every write throws while set
    int busyPolls = 2; // calls that find a write still under way before it completes
    size_t takesAtMost = std::numeric_limits<size_t>::max(); // a write may cover fewer rows
    bool mismatch = false; // a poll's rows did not begin with the rows under way
    size_t underWay = 0;
    std::vector<PendingRow> underWayRows;
    int pollsLeft = 0;
    int runs = 0;
    std::optional<EDatabaseError> startFailure; // what every StartSession throws while set
    int starts = 0; // every StartSession call
};

// A shared store as ResultsBackend describes one that batches: a write starts in the
// background and throws Busy until a later call returns its outcome.
class FakeBatchingStore : public ResultsBackend
{
public:
    explicit FakeBatchingStore(std::shared_ptr<StoreState> state)
        : FState(std::move(state))
    {
        for (const ResultsTable table : kAllResultsTables)
            BeginRun(table);
    }
    bool Batches() const override { return true; }
    void StartSession() override
    {
        ++FState->starts;
        if (FState->startFailure)
            throw *FState->startFailure;
    }
    QString SetAsideDamaged() override { return {}; }
    QString Write(ResultsTable, const QStringList&) override
    {
        ADD_FAILURE() << "a batching store is written through WriteRows only";
        return {};
    }
    std::vector<QString> WriteRows(const std::vector<PendingRow>& rows) override
    {
        StoreState& s = *FState;
        ++s.attempts;
        if (s.failure)
            throw *s.failure;
        if (s.underWay == 0) {
            s.calls.push_back(rows.size());
            s.underWay = std::min(rows.size(), s.takesAtMost);
            s.underWayRows.assign(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(s.underWay));
            s.pollsLeft = s.busyPolls;
        } else {
            for (size_t i = 0; i < s.underWay; ++i)
                if (i >= rows.size() || rows[i].runId != s.underWayRows[i].runId
                    || rows[i].seq != s.underWayRows[i].seq)
                    s.mismatch = true;
        }
        if (s.pollsLeft-- > 0)
            throw EDatabaseError("under way", EDatabaseError::Cause::Busy);
        std::vector<QString> ids;
        for (const PendingRow& row : s.underWayRows) {
            s.held.push_back(row);
            ids.push_back(row.runRecord ? row.runId : QString::number(s.held.size()));
        }
        s.underWay = 0;
        s.underWayRows.clear();
        return ids;
    }
    void Clear(ResultsTable table) override { BeginRun(table); }
    void BeginRun(ResultsTable table) override
    {
        if (table == ResultsTable::Resistance)
            return;
        const QString id = QStringLiteral("run%1").arg(++FState->runs);
        FRuns[static_cast<int>(table)] = id;
        if (table == ResultsTable::Profile)
            FRuns[static_cast<int>(ResultsTable::Resistance)] = id;
    }
    QString RunKey(ResultsTable table) const override { return FRuns[static_cast<int>(table)]; }
    std::vector<StoredRun> Runs(std::optional<ResultsTable>) override { return {}; }
    std::vector<QStringList> RunRows(ResultsTable, const QString&) override { return {}; }
    void SetPassword(const QString&) override { }
    QString HeldUpStatus() const override { return QStringLiteral("Waiting for the server"); }
    QString NotReadyNote() const override { return {}; }
    QString Name() const override { return QStringLiteral("postgresql://lab@db1/results"); }
    QString Station() const override { return QStringLiteral("bench-1"); }

private:
    std::shared_ptr<StoreState> FState;
    QString FRuns[kResultsTables];
};

class ResultsQueueTest : public ::testing::Test
{
protected:
    ResultsQueueTest()
        : state(std::make_shared<StoreState>())
        , file(std::make_unique<FakeBatchingStore>(state))
    {
        QObject::connect(&file, &ResultsFile::Failed, [this](const QString& m) { failures << m; });
        QObject::connect(&file, &ResultsFile::StatusChanged, [this](const QString& s) { status = s; });
    }

    // Inserts battery readings v<from> … v<to - 1>; none may throw, none is given an Id now.
    void Insert(int from, int to, ResultsTable table = ResultsTable::Battery)
    {
        for (int i = from; i < to; ++i) {
            std::optional<QString> id;
            EXPECT_NO_THROW(id = file.Insert(table, { QStringLiteral("v%1").arg(i) },
                                [this](const QString& stored) { ids << stored; }));
            EXPECT_FALSE(id.has_value());
        }
    }
    QStringList HeldValues() const
    {
        QStringList values;
        for (const PendingRow& row : state->held)
            values << (row.runRecord ? QStringLiteral("record ") + row.record.kind : row.values.value(0));
        return values;
    }
    static QStringList Values(int from, int to)
    {
        QStringList values;
        for (int i = from; i < to; ++i)
            values << QStringLiteral("v%1").arg(i);
        return values;
    }

    std::shared_ptr<StoreState> state;
    ResultsFile file;
    QStringList failures;
    QString status;
    QStringList ids;
};

TEST_F(ResultsQueueTest, RowsGoInBatchesOfAtMost200AtOnceWhenFullOtherwiseOnTheirTime)
{
    struct Case
    {
        const char* name;
        int rows;
        std::vector<size_t> startedAtOnce; // the writes the inserts themselves started
        std::vector<size_t> all; // every write, once all are stored
    };
    const Case cases[] = {
        { "a few rows wait for their batch time", 3, {}, { 3 } },
        { "a full batch goes at once", 200, { 200 }, { 200 } },
        { "rows coming while a batch is under way follow in the next", 450, { 200 }, { 200, 200, 50 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = state->held.size();
        state->calls.clear();
        Insert(0, c.rows);
        EXPECT_EQ(state->calls, c.startedAtOnce);
        ASSERT_TRUE(WaitUntil([&] { return state->held.size() == before + static_cast<size_t>(c.rows); }));
        EXPECT_EQ(state->calls, c.all);
        EXPECT_EQ(file.Waiting(), 0);
    }
    EXPECT_FALSE(state->mismatch) << "a poll must bring the rows under way first";
    EXPECT_EQ(ids.size(), 653) << "every row's Id reaches its grid";
    EXPECT_TRUE(failures.isEmpty()) << failures.join(u'\n').toStdString();
    EXPECT_TRUE(status.isEmpty()) << status.toStdString();
}

TEST_F(ResultsQueueTest, RowsStayInOrderAcrossRefusalsOutagesAndShortWritesAndTheStatusSaysWhy)
{
    struct Case
    {
        const char* name;
        std::optional<EDatabaseError> failure;
        size_t takesAtMost;
        QString status; // while the rows wait
        bool refusing;
    };
    const Case cases[] = {
        { "a role that may not insert",
            EDatabaseError("The results database \"lab\" refused \"insert\": permission denied"), 1000,
            "10 readings not stored: the results database \"lab\" refused \"insert\": permission denied",
            true },
        { "the server gone", EDatabaseError("The server went away", EDatabaseError::Cause::Unreachable), 1000,
            "Waiting for the server; 10 readings waiting to be stored", false },
        { "writes that cover fewer rows than given", std::nullopt, 3, "", false },
        // Told again: the operator was told it came back in between.
        { "the server gone a second time",
            EDatabaseError("The server went away", EDatabaseError::Cause::Unreachable), 1000,
            "Waiting for the server; 10 readings waiting to be stored", false },
    };
    int from = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        failures.clear();
        const size_t before = state->held.size();
        state->takesAtMost = c.takesAtMost;
        Insert(from, from + 4);
        state->failure = c.failure;
        Insert(from + 4, from + 10);
        if (c.failure) {
            ASSERT_TRUE(WaitUntil([&] { return status == c.status; })) << status.toStdString();
            EXPECT_EQ(file.Refusing(), c.refusing);
            EXPECT_EQ(file.WaitReason(), QString::fromStdString(c.failure->what()));
            // Tried again, told once.
            const int attempts = state->attempts;
            ASSERT_TRUE(WaitUntil([&] { return state->attempts > attempts; }));
            EXPECT_EQ(failures.size(), 1) << failures.join(u'\n').toStdString();
            EXPECT_EQ(file.Waiting(), 10);
            state->failure.reset();
        }
        ASSERT_TRUE(WaitUntil([&] { return file.Waiting() == 0; }));
        EXPECT_EQ(HeldValues().mid(static_cast<qsizetype>(before)), Values(from, from + 10));
        EXPECT_TRUE(status.isEmpty()) << status.toStdString();
        EXPECT_FALSE(file.Refusing());
        from += 10;
    }
    EXPECT_FALSE(state->mismatch);
}

// A store another program holds at the start is told once, then tried again, less often
// but for as long as it takes: the rows go as soon as it is free.
TEST_F(ResultsQueueTest, AStoreHeldAtItsStartIsTriedAgainAfterItWasReported)
{
    state->startFailure
        = EDatabaseError("The results database is held by another program", EDatabaseError::Cause::Busy);
    file.SetLockWaitMs(0);
    file.StartSession();
    Insert(0, 3);
    ASSERT_TRUE(WaitUntil([&] { return failures.size() == 1; })) << failures.join(u'\n').toStdString();
    const int starts = state->starts;
    ASSERT_TRUE(WaitUntil([&] { return state->starts > starts; })) << "never tried again once reported";
    state->startFailure.reset();
    ASSERT_TRUE(WaitUntil([&] { return file.Waiting() == 0; }));
    EXPECT_EQ(HeldValues(), Values(0, 3));
    EXPECT_EQ(failures.size(), 1) << failures.join(u'\n').toStdString();
}

// The window holds its store's start until it has been seen, so opening it never delays the
// first look; a row that comes first starts it all the same, and nothing is lost meanwhile.
TEST_F(ResultsQueueTest, AHeldStartTouchesTheStoreOnlyWhenResumedOrWhenARowComes)
{
    struct Case
    {
        const char* name;
        bool resume;
        int rows;
        int starts; // of the store, once things have settled
    };
    const Case cases[] = {
        { "held", false, 0, 0 },
        { "resumed", true, 0, 1 },
        { "a row comes first", false, 2, 1 },
        { "a row, then resumed", true, 2, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto held = std::make_shared<StoreState>();
        ResultsFile session(std::make_unique<FakeBatchingStore>(held));
        session.StartSessionHeld();
        for (int i = 0; i < c.rows; ++i)
            session.Insert(ResultsTable::Battery, { QStringLiteral("v%1").arg(i) }, {});
        if (c.resume)
            session.ResumeSession();
        WaitUntil([] { return false; }, std::chrono::milliseconds(150));
        EXPECT_EQ(held->starts, c.starts);
        EXPECT_EQ(session.Emptied(), c.starts > 0);
        EXPECT_EQ(session.Waiting(), 0);
        EXPECT_EQ(static_cast<int>(held->held.size()), c.rows);
    }
}

TEST_F(ResultsQueueTest, RowsAreNumberedWithinTheirRunAndARunsRecordTravelsInOrderWithThem)
{
    Insert(0, 2);
    file.BeginRun(ResultsTable::Battery);
    RunRecord record;
    record.kind = QStringLiteral("battery");
    file.RecordRun(ResultsTable::Battery, record);
    Insert(2, 4);
    file.BeginRun(ResultsTable::Profile);
    Insert(4, 5, ResultsTable::Profile);
    Insert(5, 6, ResultsTable::Resistance);
    Insert(6, 7, ResultsTable::Profile);
    file.Clear(ResultsTable::Battery);
    Insert(7, 8);
    ASSERT_TRUE(WaitUntil([&] { return file.Waiting() == 0; }));

    // Runs as the fake names them: run1 … run3 from the start, then one per BeginRun or Clear.
    const struct
    {
        QString value;
        QString run;
        qint64 seq;
    } expected[] = {
        { "v0", "run1", 1 },
        { "v1", "run1", 2 },
        { "record battery", "run4", 0 },
        { "v2", "run4", 1 },
        { "v3", "run4", 2 },
        { "v4", "run5", 1 },
        { "v5", "run5", 2 },
        { "v6", "run5", 3 },
        { "v7", "run6", 1 },
    };
    ASSERT_EQ(state->held.size(), std::size(expected));
    for (size_t i = 0; i < state->held.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(HeldValues()[static_cast<qsizetype>(i)], expected[i].value);
        EXPECT_EQ(state->held[i].runId, expected[i].run);
        EXPECT_EQ(state->held[i].seq, expected[i].seq);
    }
    EXPECT_EQ(state->held[2].record.runId, "run4");
}

// Rows the store had not taken when their session ended (a crash, a kill) are on disk from
// the moment they were inserted; the next session on the same store and station stores
// them first, once, and says how many there were. A damaged journal is told and set aside.
TEST_F(ResultsQueueTest, RowsLeftWaitingByAnEndedSessionAreStoredFirstByTheNext)
{
    const QString journal = ResultsJournal::PathFor(QStringLiteral("postgresql://lab@db1/results"),
        QStringLiteral("bench-1"),
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/dcload"));
    struct Case
    {
        const char* name;
        bool damaged;
        QStringList stored; // by the next session
    };
    const Case cases[] = {
        { "left by a session that ended", false, Values(0, 5) + Values(5, 7) },
        { "a damaged journal", true, Values(5, 7) },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            auto ended = std::make_shared<StoreState>();
            ended->failure = EDatabaseError("The server went away", EDatabaseError::Cause::Unreachable);
            ResultsFile session(std::make_unique<FakeBatchingStore>(ended));
            session.StartSession();
            for (int i = 0; i < 5; ++i)
                session.Insert(ResultsTable::Battery, { QStringLiteral("v%1").arg(i) }, {});
            ASSERT_EQ(session.JournalPath(), journal);
        } // gone with its rows waiting, as a killed one would be
        ASSERT_EQ(ResultsJournal(journal).Count(), 5);
        if (c.damaged) {
            QFile file(journal);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(8192, 'x'));
        }

        auto next = std::make_shared<StoreState>();
        ResultsFile session(std::make_unique<FakeBatchingStore>(next));
        QStringList told;
        QObject::connect(&session, &ResultsFile::Replayed,
            [&](int n, const QString& note) { told << QString::number(n) + u' ' + note; });
        failures.clear();
        QObject::connect(&session, &ResultsFile::Failed, [this](const QString& m) { failures << m; });
        session.StartSession();
        for (int i = 5; i < 7; ++i)
            session.Insert(ResultsTable::Battery, { QStringLiteral("v%1").arg(i) }, {});
        ASSERT_TRUE(WaitUntil([&] { return session.Waiting() == 0; }));

        QStringList stored;
        for (const PendingRow& row : next->held)
            stored << row.values.value(0);
        EXPECT_EQ(stored, c.stored);
        EXPECT_FALSE(QFile::exists(journal)) << "emptied once everything is stored";
        if (c.damaged) {
            EXPECT_TRUE(told.isEmpty());
            ASSERT_EQ(failures.size(), 1);
            EXPECT_TRUE(failures[0].contains(journal)) << failures[0].toStdString();
        } else {
            ASSERT_EQ(told.size(), 1);
            EXPECT_TRUE(told[0].startsWith(u"5 5 readings an earlier session left waiting for "
                                           "\"postgresql://lab@db1/results\""))
                << told[0].toStdString();
            EXPECT_TRUE(failures.isEmpty()) << failures.join(u'\n').toStdString();
        }
    }
}

} // namespace
