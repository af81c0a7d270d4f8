// The results grid's rows: every row of a long run reads back as it was appended, whether
// it has gone to the spill file or had to stay in memory.
#include "store/ResultsModel.h"
#include "support/FileSizeLimit.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <random>

namespace {

const QStringList kColumns { "Id", "Time", "Voltage", "Current", "Power", "Note" };

QString IdOf(int row)
{
    switch (row % 7) {
    case 0: return {};
    case 1: return QStringLiteral("007"); // not a plain number: kept as text
    case 2: return QStringLiteral("run-%1").arg(row);
    case 3: return QString::number(-static_cast<qint64>(row) * 1'000'000'007LL);
    default: return QString::number(row);
    }
}

QStringList CellsOf(int row)
{
    // Lengths past 127 bytes take a second length byte; empty and non-Latin texts too.
    return { QString::number(row), QStringLiteral("%1.%2").arg(row % 31).arg(row % 1000, 3, 10, QChar('0')),
        row % 5 == 0 ? QString() : QStringLiteral("1.250"), QStringLiteral("µΩ %1").arg(row),
        row % 97 == 0 ? QString(300, QChar(u'ж')) : QStringLiteral("x") };
}

// Reads every row back, in a shuffled order and then in order, as a view and an export do.
void ExpectEveryRow(const ResultsModel& model, int rows, const char* when)
{
    SCOPED_TRACE(when);
    ASSERT_EQ(model.rowCount(), rows);
    std::vector<int> order(static_cast<size_t>(rows));
    for (int i = 0; i < rows; ++i)
        order[static_cast<size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (const std::vector<int>& pass : { order, std::vector<int>() }) {
        for (int n = 0; n < rows; ++n) {
            const int row = pass.empty() ? n : pass[static_cast<size_t>(n)];
            const QStringList cells = CellsOf(row);
            ASSERT_EQ(model.data(model.index(row, 0)).toString(), IdOf(row)) << row;
            for (int column = 1; column < kColumns.size(); ++column)
                ASSERT_EQ(model.data(model.index(row, column)).toString(), cells[column - 1])
                    << row << "," << column;
        }
    }
}

TEST(ResultsModel, EveryRowReadsBackWhereverItIsKept)
{
    const struct
    {
        const char* name;
        bool tempFolder;               // false: the spill file cannot be made
        std::optional<rlim_t> maxFile; // a disk that fills after this many bytes
    } cases[] = {
        { "spilled", true, std::nullopt },
        { "no temporary folder", false, std::nullopt },
        { "disk full after the first block", true, 300 * 1024 },
    };
    constexpr int kRows = 40'000; // a few MiB of texts: several blocks
    const QByteArray oldTmp = qgetenv("TMPDIR");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir tmp;
        qputenv("TMPDIR", c.tempFolder ? tmp.path().toLocal8Bit() : QByteArray("/nonexistent/dcload"));
        auto limit = c.maxFile ? std::make_unique<FileSizeLimit>(*c.maxFile) : nullptr;
        ResultsModel model(kColumns);
        for (int row = 0; row < kRows / 2; ++row)
            model.AppendRow(IdOf(row), CellsOf(row));
        for (int row = kRows / 2; row < kRows; ++row)
            model.AppendRow(IdOf(row), CellsOf(row));
        if (c.tempFolder && !c.maxFile)
            EXPECT_LT(model.TextBytesInMemory(), 512u * 1024u) << "the texts stayed in memory";
        else
            EXPECT_GT(model.TextBytesInMemory(), 1024u * 1024u);
        ExpectEveryRow(model, kRows, "appended");

        // The room comes back: what waited in memory goes out, and nothing is lost or moved.
        limit.reset();
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        for (int row = kRows; row < 2 * kRows; ++row)
            model.AppendRow(IdOf(row), CellsOf(row));
        EXPECT_LT(model.TextBytesInMemory(), 4u * 1024u * 1024u);
        model.SetId(3, QStringLiteral("42"));
        model.SetId(kRows + 1, QString());
        EXPECT_EQ(model.data(model.index(3, 0)).toString(), u"42");
        EXPECT_EQ(model.data(model.index(kRows + 1, 0)).toString(), QString());
        model.SetId(3, IdOf(3));
        model.SetId(kRows + 1, IdOf(kRows + 1));
        ExpectEveryRow(model, 2 * kRows, "after the room came back");

        model.Clear();
        for (int row = 0; row < 3'000; ++row)
            model.AppendRow(IdOf(row), CellsOf(row));
        ExpectEveryRow(model, 3'000, "after clearing");
    }
    qputenv("TMPDIR", oldTmp);
}

} // namespace
