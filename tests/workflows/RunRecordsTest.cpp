// The runs table's records: the words a run ends with, the parameters it was started with,
// and who the instrument is, asked once a connection, from one that answers and one that
// stays silent.
#include "workflows/RunRecords.h"
#include "support/SimWire.h"

#include "comm/SerialComm.h"
#include "link/InstrumentSession.h"
#include "sim/SimulatorHost.h"
#include "store/ResultsFile.h"
#include "support/EventLoop.h"
#include "workflows/ProgramInfo.h"
#include "workflows/RunRecorder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(RunRecords, ListReportsAndProfileEndsGiveTheirOutcome)
{
    const struct
    {
        ListReport report;
        QString outcome;
    } lists[] = {
        { { "L3:1,1,1", 1, { "1", "1" }, 2, {} }, kOutcomePass },
        { { "L3:0,0,1", 0, { "0", "1" }, 2, {} }, kOutcomePass }, // not compared is no failure
        { { "L3:2,1,2", 2, { "1", "2" }, 2, {} }, kOutcomeFail },
        { { "L3:1,1,2", 1, { "1", "2" }, 2, {} }, kOutcomeFail }, // a failed step fails the list
        { { "L3:1,1", 1, { "1" }, 2, "too few verdicts" }, kOutcomeFailed },
    };
    for (const auto& c : lists) {
        SCOPED_TRACE(c.report.reply.toStdString());
        EXPECT_EQ(ListOutcome(c.report), c.outcome);
    }
    const std::pair<ProfileOutcome, QString> profiles[] = {
        { ProfileOutcome::Finished, "finished" },
        { ProfileOutcome::LimitReached, "limit" },
        { ProfileOutcome::Stopped, "stopped by the operator" },
        { ProfileOutcome::PortLost, "port lost" },
        { ProfileOutcome::Failed, "failed" },
    };
    for (const auto& [outcome, word] : profiles)
        EXPECT_EQ(ProfileOutcomeWord(outcome), word);
}

QJsonObject Parsed(const QString& parameters)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(parameters.toUtf8(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << parameters.toStdString();
    EXPECT_TRUE(document.isObject()) << parameters.toStdString();
    return document.object();
}

TEST(RunRecords, ParametersHoldWhatWasSentAsJson)
{
    std::array<StepEntries, kListSteps> editor {};
    editor[0] = { "CC", 0, "1.5", "2", true, 0, "0.1", "0,3" };
    editor[1] = { "SHORT", 4, "", "", false, 0, "", "" };
    editor[2] = { "CV", 1, "12", "1", true, 3, "0", "0" }; // comparison off: no limits
    editor[3] = { "CP", 2, "9", "1", true, 0, "0", "0" }; // beyond the steps sent
    const struct
    {
        QString parameters;
        QString expected; // the object, compact
    } cases[] = {
        { BatteryRunParameters("2", "11", 1),
            R"({"current_A":2,"cutoff_V":11,"mode":"battery","period_s":1})" },
        { BatteryRunParameters("0,75", "10.5", 60),
            R"({"current_A":0.75,"cutoff_V":10.5,"mode":"battery","period_s":60})" },
        { ListRunParameters(3, false, true, editor),
            R"({"mode":"list","repeat":true,"stepping":"trigger","steps":[)"
            R"({"compare":"curr","dwell_s":2,"high":0.3,"level":1.5,"low":0.1,"mode":"CC","step":0},)"
            R"({"mode":"SHORT","step":1},{"compare":"off","dwell_s":1,"level":12,"mode":"CV","step":2}]})" },
        { ProfileRunParameters("Rest for 1 s\n", "p.txt"),
            R"({"file":"p.txt","mode":"profile","profile":"Rest for 1 s\n"})" },
        { ProfileRunParameters("Rest for 1 s", ""), R"({"mode":"profile","profile":"Rest for 1 s"})" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.parameters.toStdString());
        EXPECT_EQ(QString::fromUtf8(QJsonDocument(Parsed(c.parameters)).toJson(QJsonDocument::Compact)),
            c.expected);
    }
}

// A run's record on an instrument that answers "*idn?" and on one that does not: asked
// once per connection; silence costs no fault, note or count, and leaves the field empty.
TEST(RunRecorder, TheInstrumentIsAskedOnceAConnectionAndItsSilenceIsNoFault)
{
    const struct
    {
        std::string identity;
    } instruments[] = { { "KELVARON,4410,KV0012345,1.02" }, { "" } };
    for (const auto& instrument : instruments) {
        SCOPED_TRACE(instrument.identity);
        SimOptions options;
        options.identity = instrument.identity;
        SimulatorHost host(options);
        host.Start();
        InstrumentSession session;
        session.Pause = [](int) {};
        QStringList troubles;
        session.OnError = [&](InstrumentSession*, const QString& m) { troubles << m; };
        session.OnLinkEvent = [&](InstrumentSession*, const LinkEvent& e) { troubles << e.message; };
        session.OnSilence = [&](InstrumentSession*, std::optional<QTime>) { troubles << "silence"; };
        QTemporaryDir dir;
        ResultsFile results(dir.filePath(QStringLiteral("db.sqlite")));
        QStringList failures;
        QObject::connect(&results, &ResultsFile::Failed, [&](const QString& m) { failures << m; });
        RunRecorder recorder(session);
        session.Open(host.SlavePath(), 9600);

        const auto runs = [&] { return results.RunRecords({}); };
        for (int n = 0; n < 2; ++n) {
            results.BeginRun(ResultsTable::Battery);
            recorder.Begin(results, ResultsTable::Battery, "battery", BatteryRunParameters("1", "11", 1));
            ASSERT_TRUE(WaitUntil([&] { return runs().size() == static_cast<size_t>(n + 1); }));
            EXPECT_TRUE(recorder.Going(ResultsTable::Battery));
            recorder.End(ResultsTable::Battery, kOutcomeCutOff);
            EXPECT_FALSE(recorder.Going(ResultsTable::Battery));
            recorder.End(ResultsTable::Battery, kOutcomePortLost); // a later end changes nothing
        }
        ASSERT_TRUE(WaitUntil([&] { return session.Pipeline().Idle(); }));
        const std::vector<RunRecord> records = runs();
        ASSERT_EQ(records.size(), 2u);
        for (const RunRecord& r : records) {
            EXPECT_EQ(r.kind, u"battery");
            EXPECT_EQ(r.outcome, kOutcomeCutOff);
            EXPECT_EQ(r.instrument, QString::fromStdString(instrument.identity));
            EXPECT_EQ(r.programVersion, kProgramVersion);
            EXPECT_TRUE(r.started.isValid() && r.ended.isValid() && r.started <= r.ended);
            EXPECT_EQ(Parsed(r.parameters).value("cutoff_V").toDouble(), 11);
        }
        EXPECT_EQ(WireLines(host).count(QStringLiteral("*idn?")), 1) << "once on this connection";
        EXPECT_EQ(session.Counts().noAnswer, 0);
        EXPECT_TRUE(troubles.isEmpty()) << troubles.join(u'\n').toStdString();
        EXPECT_TRUE(failures.isEmpty()) << failures.join(u'\n').toStdString();
    }
}

} // namespace
