#pragma once
// The question a window asks at start-up when another live process (another window in
// the same working folder) holds the results file: open it read-only, or quit. Read-only,
// the window runs as usual but never empties or writes the file, so its readings are not
// stored. The texts come from TextsFor, which shows nothing; the box itself goes through
// IMessageBoxes::Ask, so tests record and answer it.
#include "store/ResultsFileLock.h"

#include <QMessageBox>
#include <functional>

class IMessageBoxes;
class QPushButton;
class ResultsFile;

enum class ResultsInUseAnswer { OpenReadOnly, Quit };

class ResultsLockDialog : public QMessageBox
{
    Q_OBJECT
public:
    struct Texts
    {
        QString text; // names the file and the process that holds it
        QString informative; // what each answer does
        QString readOnly; // the buttons' captions
        QString quit;
    };
    static Texts TextsFor(const ResultsLockHolder& holder);

    explicit ResultsLockDialog(const ResultsLockHolder& holder, QWidget* parent = nullptr);

    // What the operator chose with `button` (one of this box's buttons; anything else is
    // Quit, which changes nothing).
    ResultsInUseAnswer AnswerOf(const QAbstractButton* button) const;

private:
    QPushButton* FReadOnly = nullptr;
};

// The window's start-up decision: asks through `boxes`, parented to `parent`.
ResultsInUseAnswer AskResultsInUse(IMessageBoxes& boxes, QWidget* parent, const ResultsLockHolder& holder);

// Asks each time `file` reports that another process holds it, and acts on the answer:
// the file is opened read-only, or `window` is closed. `boxes` is asked for when needed
// (tests replace a window's boxes after it is made).
void AskWhenResultsInUse(ResultsFile& file, QWidget& window, std::function<IMessageBoxes&()> boxes);
