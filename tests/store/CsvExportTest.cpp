// CSV export of a results grid: field quoting and whole files.
#include "store/CsvExport.h"
#include "store/ResultsModel.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(CsvField, QuotesOnlyFieldsThatNeedItAndDoublesInnerQuotes)
{
    struct Case
    {
        QString text;
        QString field;
    };
    const Case cases[] = {
        { "12.500", "12.500" },
        { "", "" },
        { " 1 ", " 1 " },
        { "Ω µA", "Ω µA" },
        { "12,5", "\"12,5\"" },
        { "say \"hi\"", "\"say \"\"hi\"\"\"" },
        { "\"", "\"\"\"\"" },
        { "a\r\nb", "\"a\r\nb\"" },
        { "a\nb", "\"a\nb\"" },
        { "a\rb", "\"a\rb\"" },
        { "'single'", "'single'" },
    };
    for (const Case& c : cases)
        EXPECT_EQ(CsvField(c.text), c.field) << c.text.toStdString();
}

void FillSample(ResultsModel& model)
{
    model.setHeaderData(1, Qt::Horizontal, "Step");
    model.setHeaderData(2, Qt::Horizontal, "Time, local");
    model.AppendRow("1", { "0", "5.3.24 14:07:09", "1" });
    model.AppendRow("2", { "1", "say \"µ\"", "" });
}

// The list grid's visible columns with two titles replaced, one of them holding a comma.
const QStringList kSampleColumns { "Id", "Nr", "sTime", "Result" };

const QByteArray kSampleCsv = "Id,Step,\"Time, local\",Result\r\n"
                              "1,0,5.3.24 14:07:09,1\r\n"
                              "2,1,\"say \"\"\xC2\xB5\"\"\",\r\n";

TEST(WriteCsv, HeaderFromTitlesThenOneCrlfLinePerRowInUtf8)
{
    ResultsModel model(kSampleColumns);
    FillSample(model);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    WriteCsv(model, out);
    EXPECT_EQ(out.data(), kSampleCsv);

    const ResultsModel empty({ "Id", "InputVoltage" });
    QBuffer headerOnly;
    headerOnly.open(QIODevice::WriteOnly);
    WriteCsv(empty, headerOnly);
    EXPECT_EQ(headerOnly.data(), "Id,InputVoltage\r\n");
}

// A grid's file: its columns in the grid's order, a column twice (once in other words).
TEST(WriteCsv, ChosenColumnsInTheirOrderWithDerivedFields)
{
    ResultsModel model(kSampleColumns);
    FillSample(model);
    const auto verdict
        = [](const QString& digit) { return digit == u"1" ? QStringLiteral("PASS") : QString(); };
    const std::vector<CsvColumn> columns { { 3, "Result", {} }, { 3, "Verdict", verdict }, { 1, "Nr", {} } };
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    WriteCsv(model, columns, out);
    EXPECT_EQ(out.data(), "Result,Verdict,Nr\r\n1,PASS,0\r\n,,1\r\n");
}

TEST(ExportCsv, WritesTheFileAndReplacesAnEarlierOne)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("results.csv");
    QFile earlier(path);
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write("an older and much longer export that must not survive in part\r\n");
    earlier.close();

    ResultsModel model(kSampleColumns);
    FillSample(model);
    ExportCsv(model, AllCsvColumns(model), path);

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), kSampleCsv);
}

TEST(ExportCsv, UnwritablePlaceThrowsNamingTheFile)
{
    QTemporaryDir dir;
    ResultsModel model(kSampleColumns);
    FillSample(model);
    const QString paths[] = { dir.path(), dir.filePath("missing/results.csv") };
    for (const QString& path : paths) {
        try {
            ExportCsv(model, AllCsvColumns(model), path);
            ADD_FAILURE() << "export to " << path.toStdString() << " succeeded";
        } catch (const ECsvExportError& e) {
            EXPECT_TRUE(QString(e.what()).contains(QDir::toNativeSeparators(path))) << e.what();
        }
    }
}

} // namespace
