// How a results store keeps its waiting rows on disk: the journal they go into while they
// wait, leave once stored, and the rows an earlier session left there.
#include "store/ResultsFile.h"

#include "store/ResultsJournal.h"

#include <QDir>
#include <QStandardPaths>
#include <algorithm>

ResultsJournal* ResultsFile::Journal()
{
    if (!FJournalMade) {
        FJournalMade = true;
        const QString name = FBackend->Name();
        // One folder for every program of the package, whatever each calls itself: a
        // journal the window left is found by dcload-cli on the same store, and back.
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
            + QStringLiteral("/dcload");
        if (!name.isEmpty() && QDir().mkpath(folder))
            FJournal = std::make_unique<ResultsJournal>(
                ResultsJournal::PathFor(name, FBackend->Station(), folder));
    }
    return FJournal.get();
}

QString ResultsFile::JournalPath() const
{
    return FJournal ? FJournal->Path() : QString();
}

void ResultsFile::JournalRows(const std::vector<Row*>& rows)
{
    if (!Journal())
        return;
    std::vector<PendingRow> pending;
    pending.reserve(rows.size());
    for (const Row* row : rows)
        pending.push_back(row->pending);
    try {
        const std::vector<qint64> keys = FJournal->Append(pending);
        for (size_t i = 0; i < rows.size() && i < keys.size(); ++i)
            rows[i]->journalKey = keys[i];
    } catch (const EDatabaseError& e) {
        // The rows still wait, in memory only: a crash now would lose them, so it is said.
        Report(QString::fromStdString(e.what())
            + QStringLiteral(" Readings waiting for the results database are kept in memory only."));
    }
}

void ResultsFile::Unjournal(const std::vector<qint64>& keys)
{
    if (keys.empty() || !Journal())
        return;
    try {
        FJournal->Remove(keys);
    } catch (const EDatabaseError& e) {
        // Left in the journal, they are offered again at the next start; a shared store
        // knows them by their run and number and takes none twice.
        Report(QString::fromStdString(e.what()));
    }
}

// Rows an earlier session (a crash, a kill, a power cut, a window closed while rows waited)
// left in the journal go before this session's: a batching store takes them first; the
// local file takes them before it archives and empties itself, since they belong to the
// session its rows are from, and only once this session holds the file (a second window in
// the same folder must not take the first one's waiting rows for its own).
void ResultsFile::LoadJournal()
{
    if (!Journal())
        return;
    std::vector<std::pair<qint64, PendingRow>> loaded;
    try {
        loaded = FJournal->Load();
    } catch (const EDatabaseError& e) {
        // A damaged journal was set aside (the message says where); the session goes on.
        Report(QString::fromStdString(e.what()));
        return;
    }
    // Rows of this very object (a second StartSession) are in the queue already.
    std::erase_if(loaded, [this](const auto& entry) {
        return std::any_of(
            FWaiting.begin(), FWaiting.end(), [&](const Row& r) { return r.journalKey == entry.first; });
    });
    if (!FBackend->Batches()) {
        for (auto& [key, row] : loaded) {
            FEarlierKeys.push_back(key);
            FEarlier.push_back(std::move(row));
        }
        return;
    }
    if (loaded.empty())
        return;
    TellReplayed(loaded.size(),
        static_cast<int>(std::count_if(
            loaded.begin(), loaded.end(), [](const auto& entry) { return !entry.second.runRecord; })));
    for (auto it = loaded.rbegin(); it != loaded.rend(); ++it)
        FWaiting.push_front(Row { std::move(it->second), {}, it->first });
}

void ResultsFile::TellReplayed(size_t rows, int readings)
{
    if (rows == 0)
        return;
    emit Replayed(readings,
        QStringLiteral("%1 readings an earlier session left waiting for \"%2\" were in its journal: %3.")
            .arg(readings)
            .arg(FBackend->Name(),
                FBackend->Batches()
                    ? QStringLiteral("they are stored first")
                    : QStringLiteral("they were stored into it and archived with that session's rows")));
}
