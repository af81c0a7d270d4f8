// List program files: what is written reads back the same, and a file that is no list
// program is refused with the line and the field at fault.
#include "workflows/ListFile.h"

#include <gtest/gtest.h>

namespace {

TEST(ListFile, WrittenProgramsReadBackTheSame)
{
    ListProgram program;
    program.steps = 15;
    program.autoStep = false;
    program.repeat = true;
    const char* modes[] = { "CC", "CV", "CP", "CR", "SHORT", "OPEN" };
    const char* compares[] = { "curr", "volt", "pow", "off" };
    for (int n = 0; n < kListSteps; ++n) {
        ListRow& row = program.rows[static_cast<size_t>(n)];
        row = { QLatin1String(modes[n % 6]), QString::number(n + 0.25), QString::number(n + 1),
            QLatin1String(compares[n % 4]), QStringLiteral("0.%1").arg(n), QStringLiteral("1%1.5").arg(n) };
    }
    EXPECT_EQ(ReadListProgram(WriteListProgram(program)), program);
}

TEST(ListFile, RowsPastTheLastStepMayBeLeftOut)
{
    const ListProgram program = ReadListProgram(R"({ "steps": 1, "stepping": "trigger", "repeat": false,
        "rows": [ { "mode": "cv", "value": "12", "delay": "1", "compare": "VOLT", "low": "11", "high": "13" } ] })");
    EXPECT_EQ(program.steps, 1);
    EXPECT_FALSE(program.autoStep);
    EXPECT_EQ(ModeItem(program.rows[0].mode), 1);
    EXPECT_EQ(CompareItem(program.rows[0].compare), 1);
    EXPECT_EQ(program.rows[1], ListRow {});
}

TEST(ListFile, MalformedFilesNameTheLineAndTheField)
{
    const QByteArray row
        = R"({ "mode": "CC", "value": "0.2", "delay": "5", "compare": "curr", "low": "0.1", "high": "0.3" })";
    const auto file = [&](const QByteArray& head, const QByteArray& rows) {
        return "{\n" + head + ",\n\"rows\": [\n" + rows + "\n] }";
    };
    const QByteArray head = R"("steps": 2, "stepping": "auto", "repeat": false)";
    const struct
    {
        QByteArray json;
        const char* message;
    } cases[] = {
        { "{ \"steps\": 2,\n \"stepping\" }", "Line 2:" },
        { "[1, 2]", "Line 1: a list program is one JSON object" },
        { file(R"("steps": 0, "stepping": "auto", "repeat": false)", row), "Line 2, \"steps\"" },
        { file(R"("steps": 16, "stepping": "auto", "repeat": false)", row), "\"steps\"" },
        { file(R"("steps": 1.5, "stepping": "auto", "repeat": false)", row), "\"steps\"" },
        { file(R"("steps": 1, "stepping": "sideways", "repeat": false)", row), "Line 2, \"stepping\"" },
        { file(R"("steps": 1, "stepping": "auto", "repeat": "yes")", row), "Line 2, \"repeat\"" },
        { file(head, row), "Line 3, \"rows\": from 2 to 15 rows" },
        { file(head, (row + ",\n").repeated(15) + row), "Line 3, \"rows\": from 2 to 15 rows" },
        { file(head, row + ",\n" + QByteArray(row).replace("\"CC\"", "\"XX\"")), "Line 5, \"mode\"" },
        { file(head, row + ",\n" + QByteArray(row).replace("\"0.1\"", "\"1,5\"")),
            "Line 5, \"low\": a number such as 12.5 is needed, not \"1,5\"" },
        { file(head, QByteArray(row).replace(R"("delay": "5", )", "") + ",\n" + row),
            "Line 4, \"delay\": a text is needed" },
        { file(head, row + ",\n" + QByteArray(row).replace("\"curr\"", "7")), "Line 5, \"compare\"" },
        { file(head, row + ",\n42"), "\"rows\": row 1 is no object" },
    };
    for (const auto& c : cases) {
        try {
            ReadListProgram(c.json);
            ADD_FAILURE() << "taken: " << c.json.toStdString();
        } catch (const EListFile& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << e.what() << "\nexpected: " << c.message << "\nin: " << c.json.toStdString();
        }
    }
}

} // namespace
