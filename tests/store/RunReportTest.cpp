// The run report: what the PDF says (read back with poppler's tools, as a reader would
// see it), reports built from stored rows, and files that cannot be written.
#include "store/RunReport.h"
#include "StoredRuns.h"
#include "support/FileSizeLimit.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace {

// The text of the PDF at `path`, of one page or of all (0).
QString PdfText(const QString& path, int page = 0)
{
    QStringList arguments;
    if (page > 0)
        arguments << "-f" << QString::number(page) << "-l" << QString::number(page);
    QProcess process;
    process.start(QStringLiteral("pdftotext"), arguments << path << QStringLiteral("-"));
    EXPECT_TRUE(process.waitForFinished(30000)) << "pdftotext is missing: run scripts/deps";
    return QString::fromUtf8(process.readAllStandardOutput());
}

int Pages(const QString& path)
{
    // pdfinfo takes no "-" for its output.
    QProcess process;
    process.start(QStringLiteral("pdfinfo"), { path });
    EXPECT_TRUE(process.waitForFinished(30000)) << "pdfinfo is missing: run scripts/deps";
    const QRegularExpressionMatch pages = QRegularExpression(QStringLiteral(R"(Pages:\s+(\d+))"))
                                              .match(QString::fromUtf8(process.readAllStandardOutput()));
    return pages.hasMatch() ? pages.captured(1).toInt() : -1;
}

// Three hours at 2 A, the voltage falling from 4.2 V to 3.0 V, and five resistance
// measurements of which two failed.
RunReport LongRun()
{
    RunReport report;
    report.title = QStringLiteral("Battery discharge at 2 A");
    report.station = QStringLiteral("bench-3");
    report.runId = QStringLiteral("0b7c2f1e-5a43-4d1e-9f0a-3c2b1a0d9e8f");
    report.started = QDateTime(QDate(2026, 12, 9), QTime(8, 0), Qt::UTC);
    report.parameters = { { "Current", "2.000 A" }, { "Cut-off voltage", "3.000 V" } };
    for (int i = 0; i < 3600; ++i) {
        const double seconds = 3.0 * i;
        report.points.push_back({ seconds, 4.2 - 1.2 * std::pow(i / 3599.0, 3), 2.0, 2.0 * seconds / 3600 });
    }
    report.summary = { report.points.back().seconds, report.points.back().capacityAh, 22.5,
        QStringLiteral("3.000 V reached") };
    const double nan = std::nan("");
    report.resistances = {
        { 600, 0.333, 4.10, 4.05, 1.0, 2.0, 40.0, {} },
        { 1800, 1.0, 3.95, nan, 1.0, nan, std::nullopt, QStringLiteral("the pulse did not reach 3 A") },
        { 3600, 2.0, 3.90, 3.85, 1.0, 2.0, 50.0, {} },
        { 5400, 3.0, 3.80, 3.70, 1.0, 1.2, std::nullopt, QStringLiteral("V2 read too early") },
        { 7200, 4.0, 3.70, 3.64, 1.0, 2.0, 60.0, {} },
    };
    return report;
}

TEST(RunReportTest, APdfOfALongRunShowsItsFiguresChartsAndFailedMeasurements)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("run.pdf"));
    WriteRunReportPdf(path, LongRun());

    EXPECT_EQ(Pages(path), 2);
    const QString text = PdfText(path);
    for (const char* shown : { "Battery discharge at 2 A", "bench-3", "0b7c2f1e-5a43-4d1e-9f0a-3c2b1a0d9e8f",
             "2026-12-09 08:00:00 UTC", "Cut-off voltage", "3.000 V reached", "2:59:57", "5.998 Ah",
             "22.500 Wh", "50.0 mΩ, mean of 3 good; 2 failed", "Voltage against time", "Time / h",
             "Voltage against capacity", "Capacity / Ah", "failed: the pulse did not reach 3 A",
             "failed: V2 read too early", "60.0" })
        EXPECT_TRUE(text.contains(QString::fromUtf8(shown))) << shown << " is not in:\n"
                                                             << text.toStdString();
    // A heading goes with its chart or table.
    EXPECT_TRUE(PdfText(path, 2).startsWith(u"Voltage against capacity")) << PdfText(path, 2).toStdString();
    // Ticks of the hours and of the voltage, each a label of its own.
    for (const char* tick : { "1.5", "4.00" })
        EXPECT_TRUE(text.contains(
            QRegularExpression(QStringLiteral("^%1$").arg(QRegularExpression::escape(QLatin1String(tick))),
                QRegularExpression::MultilineOption)))
            << tick;
}

TEST(RunReportTest, AFileThatCannotBeWrittenIsRefusedNamingItAndLeavesNothingBehind)
{
    struct Case
    {
        const char* name;
        const char* file;
        std::function<std::function<void()>(QDir&)> obstruct; // returns what removes the obstacle
    };
    const Case cases[] = {
        { "its folder is a file", "plain/run.pdf",
            [](QDir& dir) {
                QFile plain(dir.filePath(QStringLiteral("plain")));
                EXPECT_TRUE(plain.open(QIODevice::WriteOnly));
                return [] {};
            } },
        { "it is a folder", "folder",
            [](QDir& dir) {
                EXPECT_TRUE(dir.mkdir(QStringLiteral("folder")));
                return [] {};
            } },
        { "the disk fills up over an earlier report", "run.pdf",
            [](QDir& dir) {
                QFile earlier(dir.filePath(QStringLiteral("run.pdf")));
                EXPECT_TRUE(earlier.open(QIODevice::WriteOnly));
                earlier.write("earlier report");
                auto limit = std::make_shared<FileSizeLimit>(16 * 1024);
                return [limit]() mutable { limit.reset(); };
            } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir temporary;
        QDir dir(temporary.path());
        std::function<void()> clear = c.obstruct(dir);
        const QStringList before = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        const QString path = dir.filePath(QLatin1String(c.file));
        try {
            WriteRunReportPdf(path, LongRun());
            ADD_FAILURE() << "written";
        } catch (const ERunReportError& e) {
            EXPECT_TRUE(QString::fromUtf8(e.what()).startsWith(
                QStringLiteral("Cannot write the run report \"%1\": ").arg(QDir::toNativeSeparators(path))))
                << e.what();
        }
        clear();
        EXPECT_EQ(dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
        QFile earlier(dir.filePath(QStringLiteral("run.pdf")));
        if (earlier.open(QIODevice::ReadOnly)) {
            EXPECT_EQ(earlier.readAll(), "earlier report");
        }
    }
}

TEST(RunReportTest, StoredRowsOfABatteryOrProfileRunBecomeItsReport)
{
    const StoredRunsScenario scenario;
    const QDateTime t0 = scenario.t0;
    const auto battery = [&](const char* volts, int seconds, const char* ah) {
        return QStringList { volts, "2.000", QString::number(seconds), ah,
            MeasurementTimestamp(t0.addSecs(seconds).toLocalTime()) };
    };
    struct Case
    {
        const char* name;
        StoredRun run;
        std::vector<QStringList> rows, resistanceRows;
        const char* title;
        const char* runId;
        double seconds, capacityAh, energyWh;
        int points, good, failed;
    };
    const Case cases[] = {
        // Energy from the readings: 2 A at 12 V falling to 11 V over an hour is 23 Wh.
        { "the local file's battery run", { "battery", ResultsTable::Battery, {}, t0, {}, 2 },
            { battery("12.00", 0, "0.000"), battery("11.00", 3600, "2.000") }, {}, "Battery discharge", "",
            3600, 2.0, 23.0, 2, 0, 0 },
        { "a shared profile run", { "6f1c", ResultsTable::Profile, "bench-3", {}, {}, 3 },
            scenario.ProfileRun1(), scenario.ResistanceRun1(), "Discharge profile", "6f1c", 2, 0.1, 0.4, 3, 1,
            1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RunReport report = RunReportFromRows(c.run, c.rows, c.resistanceRows);
        EXPECT_EQ(report.title, QLatin1String(c.title));
        EXPECT_EQ(report.runId, QLatin1String(c.runId));
        EXPECT_EQ(report.station, c.run.station);
        EXPECT_EQ(report.started, c.run.table == ResultsTable::Battery ? t0 : t0.addSecs(3600));
        EXPECT_EQ(report.points.size(), static_cast<size_t>(c.points));
        EXPECT_DOUBLE_EQ(report.summary.seconds, c.seconds);
        EXPECT_DOUBLE_EQ(report.summary.capacityAh, c.capacityAh);
        EXPECT_NEAR(report.summary.energyWh, c.energyWh, 1e-9);
        const ResistanceFigures figures = SummariseResistances(report.resistances);
        EXPECT_EQ(figures.good, c.good);
        EXPECT_EQ(figures.failed, c.failed);
    }
    const RunReport profile = RunReportFromRows(cases[1].run, cases[1].rows, cases[1].resistanceRows);
    EXPECT_EQ(profile.resistances[1].failure, u"the pulse did not reach 3 A");
    EXPECT_TRUE(std::isnan(profile.resistances[1].i2));
    EXPECT_EQ(profile.resistances[0].milliOhm, 50.0);
}

TEST(RunReportTest, RowsThatDoNotReadAreRefusedNamingTheRowAndValue)
{
    const StoredRunsScenario scenario;
    QStringList badVoltage = scenario.Profile(1, 1);
    badVoltage[4] = QStringLiteral("3,7x");
    QStringList short_ = scenario.Resistance(1, 1, true);
    short_.removeLast();
    const StoredRun profile { "run", ResultsTable::Profile, {}, {}, {}, 2 };
    const struct
    {
        const char* name;
        StoredRun run;
        std::vector<QStringList> rows, resistanceRows;
        const char* says;
    } cases[] = {
        { "a voltage that is no number", profile, { scenario.Profile(1, 0), badVoltage }, {},
            "Profile row 2: the voltage \"3,7x\" is no number." },
        { "a resistance row short of a value", profile, { scenario.Profile(1, 0) }, { short_ },
            "Resistance row 1 holds 9 values, not 10." },
        { "the list table", { "listS", ResultsTable::ListS, {}, {}, {}, 1 }, {}, {}, "holds no discharge" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            RunReportFromRows(c.run, c.rows, c.resistanceRows);
            ADD_FAILURE() << "accepted";
        } catch (const ERunReportError& e) {
            EXPECT_TRUE(QString::fromUtf8(e.what()).contains(QLatin1String(c.says))) << e.what();
        }
    }
}

} // namespace
