// Every seed and every input a fuzzer once failed on, through the fuzzers' own entries:
// a fixed fault stays fixed, and the seeds stay inputs each target accepts.
#include "fuzz/FuzzTargets.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

// Failures name the target, not its bytes.
static void PrintTo(const FuzzTarget& target, std::ostream* out)
{
    *out << target.name;
}

namespace {

class FuzzReplay : public ::testing::TestWithParam<FuzzTarget>
{
};

QStringList FilesIn(const QString& folder)
{
    QStringList paths;
    const QDir dir(QStringLiteral(DCLOAD_FUZZ_DIR "/") + folder);
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name))
        paths << dir.filePath(name);
    return paths;
}

TEST_P(FuzzReplay, SeedsAndKeptFindingsPass)
{
    const QString name = QString::fromLatin1(GetParam().name);
    const QStringList seeds = FilesIn(QStringLiteral("corpus/") + name);
    EXPECT_FALSE(seeds.isEmpty()) << "no seeds for " << GetParam().name;
    for (const QString& path : seeds + FilesIn(QStringLiteral("regressions/") + name)) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        const QByteArray input = file.readAll();
        try {
            GetParam().run(
                reinterpret_cast<const uint8_t*>(input.constData()), static_cast<size_t>(input.size()));
        } catch (const std::exception& e) {
            ADD_FAILURE() << path.toStdString() << ": " << e.what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(FuzzTargets().begin(), FuzzTargets().end()),
    [](const ::testing::TestParamInfo<FuzzTarget>& info) { return std::string(info.param.name); });

} // namespace
