// dcload-cli profile: a discharge profile run by the program, one reading a line, the steps
// and resistance measurements as notes, the summary at the end; the input goes off and the
// instrument's switch-off voltage goes back on every way out.
#include "app/cli/Cli.h"
#include "workflows/ProgramInfo.h"

#include "workflows/ProfileRun.h"
#include "workflows/RunRecords.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QTimer>
#include <cmath>

namespace {

// How long the run's last lines ("load off", the switch-off voltage put back) may take to
// leave once it has ended: a paced line waits at most a tick or two.
constexpr int kLastLinesBoundMs = 3000;

QString Number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

double Rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

} // namespace

void Cli::Profile(const QString& port)
{
    Connect(port, [this] {
        FSession.Pause = [](int) {};
        if (!BeginOutput(
                { "time_s", "step", "kind", "voltage_V", "current_A", "capacity_Ah", "energy_Wh" }, true))
            return;
        FProfile = std::make_unique<ProfileRun>(FSession);
        ProfileRun& run = *FProfile;
        run.OnStep = [this](const ProfileStepInfo& step) {
            QJsonObject note { { "number", step.number }, { "line", step.line },
                { "description", step.description } };
            if (!step.endCondition.isEmpty())
                note.insert(QStringLiteral("until"), step.endCondition);
            if (step.cycle > 1)
                note.insert(QStringLiteral("cycle"), step.cycle);
            CheckWritten(FOutput->Note(QStringLiteral("step"), note));
        };
        run.OnSample = [this](const ProfileSample& s) {
            // Stored (or journaled) before it is printed, as a battery reading.
            Store(ResultsTable::Profile, ProfileRowValues(FProfile->RunLabel(), s));
            CheckWritten(FOutput->Row({ Number(s.seconds, 3), QString::number(s.stepNumber),
                StepKindName(s.kind), Number(s.voltage, 3), Number(s.current, 3), Number(s.capacityAh, 6),
                Number(s.energyWh, 6) }));
            LiveReading live = LiveReadingOf(s.at, s.voltage, s.current);
            live.power = s.power;
            live.seconds = s.seconds;
            live.capacityAh = s.capacityAh;
            live.energyWh = s.energyWh;
            live.step = s.stepNumber;
            PublishReading(live);
        };
        run.OnResistance = [this](const ResistanceMeasurement& m) {
            QJsonObject note { { "step", m.stepNumber }, { "time_s", Rounded(m.seconds, 3) },
                { "capacity_Ah", Rounded(m.capacityAh, 6) }, { "v1_V", m.v1 }, { "v2_V", m.v2 },
                { "i1_A", m.i1 }, { "i2_A", m.i2 } };
            if (m.milliOhm)
                note.insert(QStringLiteral("resistance_mOhm"), Rounded(*m.milliOhm, 2));
            else
                note.insert(QStringLiteral("failed"), m.failure);
            Store(ResultsTable::Resistance, ResistanceRowValues(FProfile->RunLabel(), m));
            CheckWritten(FOutput->Note(QStringLiteral("resistance"), note));
        };
        run.OnStatus = [](const QString& status) { Complain(status); };
        run.OnEnd = [this](ProfileOutcome outcome, const QString& message) {
            RecordEnd(ProfileOutcomeWord(outcome));
            Complain(message);
            const ProfileRun& ended = *FProfile;
            int good = 0, failed = 0;
            double sum = 0;
            for (const ResistanceMeasurement& m : ended.Resistances()) {
                if (m.milliOhm) {
                    ++good;
                    sum += *m.milliOhm;
                } else {
                    ++failed;
                }
            }
            QJsonObject summary { { "duration_s", Rounded(ended.Seconds(), 1) },
                { "capacity_Ah", Rounded(ended.CapacityAh(), 6) },
                { "energy_Wh", Rounded(ended.EnergyWh(), 4) }, { "run", ended.RunLabel() } };
            if (good > 0)
                summary.insert(QStringLiteral("resistance_mOhm"), Rounded(sum / good, 2));
            if (good + failed > 0) {
                summary.insert(QStringLiteral("resistance_measured"), good);
                summary.insert(QStringLiteral("resistance_failed"), failed);
            }
            CheckWritten(FOutput->Summary(summary));
            PublishRunEnd(ProfileOutcomeWord(outcome), summary);
            const bool done = outcome == ProfileOutcome::Finished || outcome == ProfileOutcome::LimitReached
                || outcome == ProfileOutcome::Stopped;
            ProfileEnded(done ? Done : PortFailed);
        };
        if (FResults)
            FResults->BeginRun(ResultsTable::Profile);
        PublishRunStart(
            ResultsTable::Profile, QStringLiteral("profile"), { { "profile_file", FOptions.profileFile } });
        if (!FOptions.bdf.isEmpty()) {
            FBdfRun.station = FOptions.station;
            FBdfRun.programVersion = kProgramVersion;
            FBdfRun.profile = QString::fromUtf8(FOptions.profileText);
            FBdfRun.settings = { { QStringLiteral("profile_file"), FOptions.profileFile },
                { QStringLiteral("port"), FOptions.port }, { QStringLiteral("address"), FOptions.address } };
        }
        // Recorded first: a run that cannot begin ends within Start.
        RecordStart(ResultsTable::Profile, QStringLiteral("profile"),
            ProfileRunParameters(QString::fromUtf8(FOptions.profileText), FOptions.profileFile));
        run.Start(FOptions.profile, FOptions.profileText);
        FBdfRun.runId = run.RunLabel();
        FBdfRun.start = run.Started();
    });
}

// Ctrl+C: the run stops itself ("load off" first, then the switch-off voltage back).
void Cli::StopProfile()
{
    FProfile->Stop();
}

// The run has ended: its "load off" and the switch-off voltage put back leave the port
// before the command ends (within a bound: a port that takes nothing ends it anyway).
void Cli::ProfileEnded(int code)
{
    if (FProfileEnding)
        return;
    FProfileEnding = true;
    FExit = std::max(FExit, code);
    if (!FOptions.bdf.isEmpty()) {
        FBdfReadings = BdfReadingsFromProfile(FProfile->Samples(), FProfile->Resistances());
    }
    if (FSession.Port() != PortState::Open) {
        End(code);
        return;
    }
    auto* bound = new QTimer(QCoreApplication::instance());
    bound->setSingleShot(true);
    QObject::connect(bound, &QTimer::timeout, [this, bound, code] {
        bound->deleteLater();
        if (FPhase != Phase::Running)
            return;
        Complain(
            QStringLiteral("The profile's last commands did not leave the port within %1 s: the instrument's "
                           "under-voltage switch-off may still be at the profile's cut-off.")
                .arg(kLastLinesBoundMs / 1000));
        End(std::max<int>(code, PortFailed));
    });
    bound->start(kLastLinesBoundMs);
    WhenIdle([this, bound, code] {
        bound->stop();
        bound->deleteLater();
        End(code);
    });
}

// The --bdf file and its sidecar, written whole or not at all.
void Cli::WriteBdfFile()
{
    if (FOptions.bdf.isEmpty())
        return;
    if (FBdfReadings.empty()) {
        Complain(QStringLiteral("no readings were taken: %1 is left as it was").arg(FOptions.bdf));
        return;
    }
    try {
        WriteBdf(FOptions.bdf, FBdfRun, FBdfReadings);
    } catch (const EBdfExportError& e) {
        Complain(QString::fromUtf8(e.what()));
        FExit = std::max<int>(FExit, PortFailed);
    }
}
