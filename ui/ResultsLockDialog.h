#pragma once
// The question a window asks at start-up when another live process (another window in
// the same working folder) holds the results file: open it read-only, or quit. Read-only,
// the window runs as usual but never empties or writes the file, so its readings are not
// stored. The box goes through IMessageBoxes::Ask, so tests record and answer it.
#include "store/ResultsFileLock.h"

#include <functional>

class IMessageBoxes;
class QWidget;
class ResultsFile;
struct Question;

enum class ResultsInUseAnswer { OpenReadOnly, Quit };

// The question's texts; its first choice opens read-only, the last quits.
Question ResultsInUseQuestion(const ResultsLockHolder& holder);

// The window's start-up decision: asks through `boxes`, parented to `parent`.
ResultsInUseAnswer AskResultsInUse(IMessageBoxes& boxes, QWidget* parent, const ResultsLockHolder& holder);

// Asks each time `file` reports that another process holds it, and acts on the answer:
// the file is opened read-only, or `window` is closed. `boxes` is asked for when needed
// (tests replace a window's boxes after it is made).
void AskWhenResultsInUse(ResultsFile& file, QWidget& window, std::function<IMessageBoxes&()> boxes);
