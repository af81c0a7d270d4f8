#include "ui/ResultsLockDialog.h"

#include "store/ResultsFile.h"
#include "ui/MessageBoxes.h"
#include "workflows/ProgramInfo.h"

#include <QPushButton>

ResultsLockDialog::Texts ResultsLockDialog::TextsFor(const ResultsLockHolder& holder)
{
    return {
        InUseMessage(holder) + u'.',
        QStringLiteral("Only one window at a time stores its results in a folder. This window can open "
                       "%1 read-only: the grids show the rows it holds, and it is neither emptied nor "
                       "written, so readings taken in this window are not stored. To store them, quit, "
                       "then start the program again once the other one has closed, or from another "
                       "folder.")
            .arg(holder.file),
        QStringLiteral("Open read-only"),
        QStringLiteral("Quit"),
    };
}

ResultsLockDialog::ResultsLockDialog(const ResultsLockHolder& holder, QWidget* parent)
    : QMessageBox(QMessageBox::Warning, kAppTitle, QString(), QMessageBox::NoButton, parent)
{
    setObjectName(QStringLiteral("ResultsLockDialog"));
    const Texts texts = TextsFor(holder);
    setText(texts.text);
    setInformativeText(texts.informative);
    FReadOnly = addButton(texts.readOnly, QMessageBox::AcceptRole);
    // Closing the box changes nothing: that is quitting.
    setEscapeButton(addButton(texts.quit, QMessageBox::RejectRole));
    setDefaultButton(FReadOnly);
}

ResultsInUseAnswer ResultsLockDialog::AnswerOf(const QAbstractButton* button) const
{
    return button == FReadOnly ? ResultsInUseAnswer::OpenReadOnly : ResultsInUseAnswer::Quit;
}

ResultsInUseAnswer AskResultsInUse(IMessageBoxes& boxes, QWidget* parent, const ResultsLockHolder& holder)
{
    ResultsLockDialog question(holder, parent);
    return question.AnswerOf(boxes.Ask(question));
}

void AskWhenResultsInUse(ResultsFile& file, QWidget& window, std::function<IMessageBoxes&()> boxes)
{
    QObject::connect(
        &file, &ResultsFile::InUse, &window, [&file, &window, boxes](const ResultsLockHolder& holder) {
            if (AskResultsInUse(boxes(), &window, holder) == ResultsInUseAnswer::OpenReadOnly)
                file.OpenReadOnly();
            else
                window.close();
        });
}
