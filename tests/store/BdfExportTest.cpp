// Battery Data Format export: the file and its sidecar read back, and readings made from
// the battery table's stored rows.
#include "store/BdfExport.h"
#include "store/ResultsQuery.h"
#include "workflows/ProgramInfo.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>

namespace {

using Rows = std::vector<QStringList>;

// The file's lines split into fields; no field of this format holds a comma or a quote.
Rows ReadCsv(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.endsWith(QLatin1String("\r\n")));
    Rows rows;
    for (const QString& line : text.split(QLatin1String("\r\n"), Qt::SkipEmptyParts))
        rows.push_back(line.split(QLatin1Char(',')));
    return rows;
}

double Field(const QStringList& row, int column)
{
    bool ok = false;
    const double value = row.value(column).toDouble(&ok);
    EXPECT_TRUE(ok) << row.join(',').toStdString();
    return value;
}

enum Column {
    kTime,
    kVoltage,
    kCurrent,
    kUnix,
    kCycle,
    kStepCount,
    kStepIndex,
    kCapacity,
    kEnergy,
    kPower,
    kResistance
};

// A discharge at uneven intervals with a falling voltage and a current that changes.
std::vector<BdfReading> SyntheticDischarge()
{
    const double t[] = { 0, 10, 20, 35, 60, 61 };
    const double v[] = { 4.2, 4.1, 4.05, 3.9, 3.7, 3.69 };
    const double i[] = { 1.0, 1.0, 2.5, 2.5, 0.75, 0.0 };
    std::vector<BdfReading> readings;
    for (int k = 0; k < 6; ++k) {
        BdfReading r;
        r.testTimeSeconds = t[k];
        r.voltage = v[k];
        r.current = i[k];
        r.unixTimeSeconds = 1'796'900'000.5 + t[k];
        readings.push_back(r);
    }
    return readings;
}

class BdfExportTest : public ::testing::Test
{
protected:
    QString Path(const QString& name) const { return FDir.filePath(name); }
    BdfRun Run() const
    {
        return { "bench-3", "42", "", { { "cutoff_V", "3.0" }, { "current_A", "2.5" } },
            QDateTime(QDate(2026, 12, 10), QTime(10, 0, 0), Qt::UTC), kProgramVersion };
    }
    QTemporaryDir FDir;
};

TEST_F(BdfExportTest, FileHoldsLabelsSignsAndTrapezoidTotals)
{
    struct Case
    {
        const char* name;
        std::vector<BdfReading> readings;
    };
    std::vector<BdfReading> fromInstrument = SyntheticDischarge();
    // The instrument's own count, with a dip that must not show as a loss.
    const double given[] = { 0, 0.003, 0.0025, 0.02, 0.03, 0.031 };
    for (std::size_t k = 0; k < fromInstrument.size(); ++k)
        fromInstrument[k].capacityAh = given[k];
    std::vector<BdfReading> measured = SyntheticDischarge();
    measured[2].resistanceOhm = 0.0425;
    const Case cases[] = { { "integrated", SyntheticDischarge() }, { "counted", fromInstrument },
        { "resistance", measured } };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = Path(QString::fromLatin1(c.name) + ".csv");
        WriteBdf(path, Run(), c.readings);
        const Rows rows = ReadCsv(path);
        ASSERT_EQ(rows.size(), c.readings.size() + 1);
        EXPECT_EQ(rows[0], BdfHeaderLabels());
        EXPECT_EQ(rows[0],
            QStringList({ "Test Time / s", "Voltage / V", "Current / A", "Unix Time / s", "Cycle Count / 1",
                "Step Count / 1", "Step Index / 1", "Discharging Capacity / Ah", "Discharging Energy / Wh",
                "Power / W", "Internal Resistance / ohm" }));

        double capacity = 0, energy = 0, counted = 0;
        for (std::size_t k = 0; k < c.readings.size(); ++k) {
            const BdfReading& r = c.readings[k];
            const QStringList& row = rows[k + 1];
            ASSERT_EQ(row.size(), 11) << k;
            if (k > 0) {
                const BdfReading& p = c.readings[k - 1];
                const double hours = (r.testTimeSeconds - p.testTimeSeconds) / 3600;
                capacity += (p.current + r.current) / 2 * hours;
                energy += (p.voltage * p.current + r.voltage * r.current) / 2 * hours;
            }
            EXPECT_EQ(Field(row, kTime), r.testTimeSeconds);
            EXPECT_EQ(Field(row, kVoltage), r.voltage);
            EXPECT_EQ(Field(row, kCurrent), -r.current) << "a discharge is negative";
            EXPECT_EQ(Field(row, kUnix), r.unixTimeSeconds);
            EXPECT_EQ(row[kCycle], "1");
            EXPECT_NEAR(Field(row, kPower), -r.voltage * r.current, 1e-12);
            if (r.capacityAh)
                counted = std::max(counted, *r.capacityAh);
            const double expectedCapacity = r.capacityAh ? counted : capacity;
            EXPECT_NEAR(Field(row, kCapacity), expectedCapacity, 1e-9) << k;
            EXPECT_NEAR(Field(row, kEnergy), energy, 1e-9) << k;
            if (k > 0) {
                EXPECT_GE(Field(row, kCapacity), Field(rows[k], kCapacity)) << k;
                EXPECT_GE(Field(row, kEnergy), Field(rows[k], kEnergy)) << k;
            }
            if (r.resistanceOhm)
                EXPECT_EQ(Field(row, kResistance), *r.resistanceOhm);
            else
                EXPECT_EQ(row[kResistance], "");
        }
    }
}

TEST_F(BdfExportTest, SidecarHoldsTheRun)
{
    const QString path = Path("run.csv");
    BdfRun run = Run();
    const QString profiles[] = { "", "CC 2.5 A to 3.0 V\nrest 10 min, \"then\" stop" };
    for (const QString& profile : profiles) {
        run.profile = profile;
        WriteBdf(path, run, SyntheticDischarge());
        QFile file(BdfMetadataPath(path));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QJsonParseError error;
        const QJsonObject json = QJsonDocument::fromJson(file.readAll(), &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
        EXPECT_EQ(json["station"].toString(), "bench-3");
        EXPECT_EQ(json["run_id"].toString(), "42");
        EXPECT_EQ(json["profile"].toString(), profile);
        EXPECT_EQ(json["program_version"].toString(), kProgramVersion);
        EXPECT_EQ(
            json["settings"].toObject(), QJsonObject({ { "cutoff_V", "3.0" }, { "current_A", "2.5" } }));
        EXPECT_EQ(QDateTime::fromString(json["start_time"].toString(), Qt::ISODateWithMs), run.start);
    }
    // A local start time is written with its offset, so that it names one instant.
    run.start = QDateTime(QDate(2026, 7, 1), QTime(8, 30, 15, 250));
    WriteBdf(path, run, SyntheticDischarge());
    QFile file(BdfMetadataPath(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString start = QJsonDocument::fromJson(file.readAll())["start_time"].toString();
    EXPECT_TRUE(start.contains(QRegularExpression("(Z|[+-]\\d\\d:\\d\\d)$"))) << start.toStdString();
    EXPECT_EQ(
        QDateTime::fromString(start, Qt::ISODateWithMs).toMSecsSinceEpoch(), run.start.toMSecsSinceEpoch());
    EXPECT_EQ(BdfMetadataPath(path), path + ".metadata.json");
}

// Another reader of the format: Python's csv module sees the same labels and rows.
TEST_F(BdfExportTest, PythonCsvReaderSeesTheColumns)
{
    const QString python = QStandardPaths::findExecutable("python3");
    if (python.isEmpty())
        GTEST_SKIP() << "python3 is not installed";
    const QString path = Path("run.csv");
    WriteBdf(path, Run(), SyntheticDischarge());
    QProcess process;
    process.start(python,
        { "-c",
            "import csv,sys\n"
            "rows=list(csv.DictReader(open(sys.argv[1],newline='',encoding='utf-8')))\n"
            "print(len(rows), rows[3]['Current / A'], repr(rows[3]['Internal Resistance / ohm']))",
            path });
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(QString::fromUtf8(process.readAllStandardOutput()).trimmed(), "6 -2.5 ''")
        << process.readAllStandardError().toStdString();
}

TEST_F(BdfExportTest, FailedWriteNamesTheFileAndLeavesNone)
{
    QFile plain(Path("plain"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    // The sidecar's name taken by a folder: the CSV file must not be left without it.
    ASSERT_TRUE(QDir(FDir.path()).mkpath("taken.csv.metadata.json"));
    struct Case
    {
        QString path;
        QString named; // the file the message names
        QString reason;
    };
    const Case cases[] = {
        { Path("missing/run.csv"), Path("missing/run.csv"), "No such file or directory" },
        { Path("plain/run.csv"), Path("plain/run.csv"), "Not a directory" },
        { Path("taken.csv"), Path("taken.csv.metadata.json"), "folder" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        try {
            WriteBdf(c.path, Run(), SyntheticDischarge());
            ADD_FAILURE() << "the write succeeded";
        } catch (const EBdfExportError& e) {
            const QString message = QString::fromLocal8Bit(e.what());
            EXPECT_TRUE(message.contains("\"" + QDir::toNativeSeparators(c.named) + "\"")) << e.what();
            EXPECT_TRUE(message.contains(c.reason)) << e.what();
        }
        EXPECT_FALSE(QFile::exists(c.path));
        EXPECT_FALSE(QFileInfo(BdfMetadataPath(c.path)).isFile());
    }
    EXPECT_EQ(QDir(FDir.path()).entryList(QDir::Files), QStringList({ "plain" })) << "no file left aside";
}

TEST(BdfReadingsFromBatteryRows, StoredRowsBecomeReadings)
{
    const QDateTime start(QDate(2026, 12, 10), QTime(10, 0, 0));
    const QDateTime taken = start.addSecs(125);
    const std::vector<QStringList> rows = {
        { "12.345", "1.500", "0", "0.000", MeasurementTimestamp(start) },
        { "12.100", "1.500", "125", "0.052", MeasurementTimestamp(taken) },
        { "11.900", "1.500", "130", "0.054", "not a time" },
    };
    const std::vector<BdfReading> readings = BdfReadingsFromBatteryRows(rows, start);
    ASSERT_EQ(readings.size(), 3u);
    EXPECT_EQ(readings[1].voltage, 12.1);
    EXPECT_EQ(readings[1].current, 1.5);
    EXPECT_EQ(readings[1].testTimeSeconds, 125);
    EXPECT_EQ(readings[1].capacityAh, 0.052);
    EXPECT_FALSE(readings[1].energyWh);
    EXPECT_FALSE(readings[1].resistanceOhm);
    EXPECT_EQ(readings[0].unixTimeSeconds, start.toSecsSinceEpoch());
    EXPECT_EQ(readings[1].unixTimeSeconds, taken.toSecsSinceEpoch());
    EXPECT_EQ(readings[2].unixTimeSeconds, start.toSecsSinceEpoch() + 130) << "the run's start plus its time";

    // A short date with a two-digit year lies in the century of the run.
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const QString stamp = us.toString(taken.date(), QLocale::ShortFormat) + " "
        + us.toString(taken.time(), QStringLiteral("h:mm:ss AP"));
    const std::vector<BdfReading> american
        = BdfReadingsFromBatteryRows({ { "12.1", "1.5", "125", "0.052", stamp } }, start, us);
    ASSERT_EQ(american.size(), 1u);
    EXPECT_EQ(american[0].unixTimeSeconds, taken.toSecsSinceEpoch()) << stamp.toStdString();
}

TEST(BdfReadingsFromBatteryRows, RefusesRowsItCannotRead)
{
    const std::vector<QStringList> rows[] = {
        { { "12.1", "1.5", "125", "0.052" } }, { { "12.1", "abc", "125", "0.052", "" } },
        { { "12.1", "1.5", "125", "0.052", "not a time" } }, // and no start to go by
    };
    for (const auto& row : rows)
        EXPECT_THROW(BdfReadingsFromBatteryRows(row), EBdfExportError) << row[0].join(',').toStdString();
}

} // namespace
