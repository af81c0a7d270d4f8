// The dispatcher as the window drives it: a query queued and sent by a pacing tick, then
// the instrument's reply handed to the session, in the mode and run state the input sets.
#include "fuzz/FuzzTargets.h"
#include "link/InstrumentSession.h"

#include <QStringList>
#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct Query
{
    QString text;
    ReplyCode code;
};

// A command without an answer, the measurement, then every read-back query.
const std::vector<Query>& Queries()
{
    static const std::vector<Query> queries = [] {
        std::vector<Query> q { { QStringLiteral("load on"), ReplyCode::None },
            { QStringLiteral("fetch?"), ReplyCode::Measurement } };
        for (const ReadBackQuery& r : ReadBackQueries())
            q.push_back({ r.command, r.code });
        return q;
    }();
    return queries;
}

// Second byte: bits 0-1 the mode, 2-3 the run state of its activity, 4 list repeat,
// 5 several replies (split at 0xFF, each after its own query, or at 0xFE, without one).
constexpr uint8_t kRepeat = 0x10;
constexpr uint8_t kSeveral = 0x20;
constexpr uint8_t kAsk = 0xFF;
constexpr uint8_t kUnasked = 0xFE;

void CheckEvents(InstrumentSession& session)
{
    session.OnMainReading = [](InstrumentSession*, const MainReading& r, const QString& power) {
        Promise(std::isfinite(r.voltageValue) && std::isfinite(r.currentValue), "Main reading not finite");
        Promise(!power.isEmpty() && power.size() <= 5, "power text " + power.toStdString());
    };
    session.OnBatteryReading = [](InstrumentSession*, const BatteryReading& r) {
        Promise(r.seconds >= 0 && std::isfinite(r.voltageValue) && std::isfinite(r.currentValue)
                && std::isfinite(r.capacityValue),
            "battery reading out of range");
    };
    session.OnStepReading = [](InstrumentSession*, const StepReading& r) {
        // The window writes the reading into the row of its step.
        Promise(r.stepIndex >= 0 && r.stepIndex < kReadBackSteps,
            "step reading for step " + r.step.toStdString());
    };
    session.OnListReport = [](InstrumentSession*, const ListReport& r) {
        Promise(r.steps >= 1 && r.steps <= kReadBackSteps && r.stepVerdicts.size() <= r.steps,
            "list report with more verdicts than steps");
        for (const QString& v : r.stepVerdicts)
            Promise(v.size() == 1 && v[0].isDigit(), "step verdict " + v.toStdString());
    };
    session.OnBatteryEnd = [](InstrumentSession*, const BatterySummary& s) {
        Promise(
            s.readings > 0 && std::isfinite(s.wattHours) && s.seconds >= 0, "battery summary out of range");
    };
}

} // namespace

void FuzzReplyRouting(const uint8_t* data, size_t size)
{
    if (size < 3)
        return;
    const Query& query = Queries()[data[0] % Queries().size()];
    const uint8_t setup = data[1];
    const TestMode modes[] = { TestMode::Normal, TestMode::Battery, TestMode::List, TestMode::Normal };
    const RunState runs[] = { RunState::Initial, RunState::Idle, RunState::Running, RunState::Running };
    const TestMode mode = modes[setup & 3];
    const Activity activity = mode == TestMode::Battery ? Activity::Battery
        : mode == TestMode::List                        ? Activity::List
                                                        : Activity::Load;

    InstrumentSession session;
    session.Pause = [](int) {};
    CheckEvents(session);
    session.SetMode(mode);
    session.SetListPlan(data[2] % kReadBackSteps, (setup & kRepeat) != 0);
    session.SetRun(activity, runs[(setup >> 2) & 3]);

    const auto deliver = [&](const uint8_t* reply, size_t length, bool ask) {
        try {
            if (ask) {
                session.QueueCommand(query.text, query.code);
                session.PacingTick();
                if (length == 0)
                    return; // no answer came before the next tick
            }
            session.HandleReply(ReplyTextFromChunk(reinterpret_cast<const char*>(reply),
                static_cast<uint16_t>(std::min<size_t>(length, 0xFFFF))));
        } catch (const std::out_of_range&) {
            // a list step the instrument has not got
        } catch (const std::runtime_error&) {
            // refused readings and maxima, unasked replies, short list reports: the operator is told
        }
    };
    const uint8_t* reply = data + 3;
    const uint8_t* end = data + size;
    if (!(setup & kSeveral)) {
        deliver(reply, static_cast<size_t>(end - reply), true);
    } else {
        bool ask = true;
        for (const uint8_t* at = reply;; ++at) {
            if (at == end || *at == kAsk || *at == kUnasked) {
                deliver(reply, static_cast<size_t>(at - reply), ask);
                if (at == end)
                    break;
                ask = *at == kAsk;
                reply = at + 1;
            }
        }
    }
    const StoredMaxima& m = session.Maxima();
    for (const std::optional<double>& maximum : { m.current, m.voltage, m.power })
        Promise(!maximum || std::isfinite(*maximum), "maximum not finite");
}
