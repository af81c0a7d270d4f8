// dcload-cli's way out of a command: the input switched off first, then the readings the
// results store still waits for, then the --csv file put in place.
#include "app/cli/Cli.h"

#include "workflows/ProfileRun.h"
#include "workflows/RunRecords.h"

#include <QCoreApplication>
#include <algorithm>

namespace {

// How long the switch-off may take before the program gives up on it: a paced line waits
// at most one tick, so anything beyond that means the port takes nothing any more.
constexpr int kSwitchOffBoundMs = 3000;

} // namespace

// Ends the command with at least `code`. A battery or list run switches the input off
// first; the program ends once "load off" has left the port.
void Cli::End(int code)
{
    FExit = std::max(FExit, code);
    if (FPhase != Phase::Running)
        return;
    // A run whose end was not told otherwise could not go on. (A list's state turns idle
    // just before its report gives the verdict, so a plain end records nothing itself.)
    if (code >= PortFailed)
        RecordEnd(kOutcomeFailed);
    FPhase = Phase::SwitchingOff;
    FTrigger.stop();
    FSession.StopPolling();
    if (!FSwitches) {
        StoreThenExit();
        return;
    }
    if (FSession.Port() != PortState::Open) {
        if (FInputOnWritten)
            InputMayStillBeOn(QStringLiteral("the port closed before \"load off\" could be written"));
        StoreThenExit();
        return;
    }
    // Nothing queued behind the switch-off goes to an instrument being left.
    FSession.ReplaceQueue({});
    FSession.SwitchInput(false);
    FOffSince.start();
    FOffWatch.start();
}

void Cli::Fail(const QString& message)
{
    if (FPhase == Phase::Exited)
        return;
    Complain(message);
    End(PortFailed);
}

void Cli::WatchInputOff()
{
    if (FSession.Port() != PortState::Open) {
        PortLost();
        return;
    }
    if (FSession.InputOffOutstanding()) {
        if (FOffSince.elapsed() < kSwitchOffBoundMs)
            return;
        FOffWatch.stop();
        InputMayStillBeOn(
            QStringLiteral("\"load off\" did not leave the port within %1 s").arg(kSwitchOffBoundMs / 1000));
        StoreThenExit();
        return;
    }
    FOffWatch.stop();
    // Handed to the driver. Closing the port purges what the driver still holds, so the
    // line gets the time to cross the wire at the baud rate first; a hang-up posted by a
    // write that failed is handled meanwhile.
    QTimer::singleShot(FSession.CrossingMs(kInputOff.size() + 1), [this] {
        if (FPhase != Phase::SwitchingOff)
            return;
        if (FSession.Port() != PortState::Open) {
            PortLost();
            return;
        }
        StoreThenExit();
    });
}

void Cli::PortLost()
{
    RecordEnd(kOutcomePortLost);
    if (FPhase == Phase::Running) {
        End(PortFailed);
        return;
    }
    FExit = std::max<int>(FExit, PortFailed);
    if (FPhase != Phase::SwitchingOff)
        return;
    FOffWatch.stop();
    InputMayStillBeOn(QStringLiteral("the port was lost before \"load off\" had left it"));
    StoreThenExit();
}

void Cli::InputMayStillBeOn(const QString& why)
{
    Complain(QStringLiteral("The input may still be on: ") + why + u'.');
    FExit = std::max<int>(FExit, PortFailed);
}

// Readings the database has not taken yet are stored before the end.
void Cli::StoreThenExit()
{
    FPhase = Phase::Storing;
    if (FResults && FResults->Waiting() > 0 && !FGiveUpStore && !FResults->Refusing()) {
        Complain(
            QStringLiteral("%1 readings wait to be stored in the results database (Ctrl+C gives them up)")
                .arg(FResults->Waiting()));
        FStoreWatch.start();
        return;
    }
    ExitNow();
}

void Cli::ExitNow()
{
    FStoreWatch.stop();
    if (FResults && FResults->Waiting() > 0) {
        QString told = QStringLiteral("%1 readings were not stored").arg(FResults->Waiting());
        if (!FResults->WaitReason().isEmpty())
            told += QStringLiteral(": ") + FResults->WaitReason();
        if (!FResults->JournalPath().isEmpty())
            told += QStringLiteral("\nThey are kept in \"%1\"; the next run on this results database and "
                                   "station (dcload-cli or the window) stores them first.")
                        .arg(FResults->JournalPath());
        Complain(told);
        FExit = std::max<int>(FExit, PortFailed);
    }
    FinishFile();
    WriteBdfFile();
    if (FFailed)
        FExit = std::max<int>(FExit, StepFailed);
    FinishPublishing();
    FPhase = Phase::Exited;
    QCoreApplication::exit(FExit);
}

// The readings file takes FILE's place only whole: every line written, at least one reading.
void Cli::FinishFile()
{
    if (!FCsvFile)
        return;
    const QString path = FCsvFile->Path();
    if (FOutput && FOutput->FileBroken() && FOutput->Rows() > 0) {
        FCsvFile->Keep();
        Complain(QStringLiteral("%1 is left as it was; the readings written before the failure are in %2")
                     .arg(path, FCsvFile->TemporaryPath()));
    } else if (!FOutput || FOutput->Rows() == 0) {
        Complain(QStringLiteral("no readings were written: %1 is left as it was").arg(path));
    } else if (const std::optional<QString> failure = FCsvFile->Finish()) {
        FCsvFile->Keep();
        Complain(*failure + QStringLiteral("; the readings are in ") + FCsvFile->TemporaryPath());
        FExit = std::max<int>(FExit, PortFailed);
    }
    FCsvFile.reset();
}

// Ctrl+C and the like. A request while the input is being switched off never skips
// that; it only gives up the readings that would wait for the database afterwards.
void Cli::Interrupted()
{
    switch (FPhase) {
    case Phase::Running:
        // Whichever signal it was, the program ends the run: the record says so.
        RecordEnd(kOutcomeProgramEnded);
        if (FSwitches)
            Complain(QStringLiteral("Stopping: the input goes off first."));
        if (FProfile && FProfile->Running() && !FProfileEnding) {
            // The run's own stop also puts the instrument's switch-off voltage back.
            StopProfile();
            return;
        }
        End(Done);
        return;
    case Phase::SwitchingOff:
        Complain(QStringLiteral("Still switching the input off: the program ends once \"load off\" has "
                                "left the port, within %1 s.")
                     .arg(kSwitchOffBoundMs / 1000));
        FGiveUpStore = true;
        return;
    case Phase::Storing:
        FGiveUpStore = true;
        ExitNow();
        return;
    case Phase::Exited:
        return;
    }
}
