#include "ui/ResultsLockDialog.h"

#include "store/ResultsFile.h"
#include "ui/MessageBoxes.h"

#include <QWidget>

Question ResultsInUseQuestion(const ResultsLockHolder& holder)
{
    return {
        InUseMessage(holder) + u'.',
        QStringLiteral("Only one window at a time stores its results in a folder. This window can open "
                       "%1 read-only: the grids show the rows it holds, and it is neither emptied nor "
                       "written, so readings taken in this window are not stored. To store them, quit, "
                       "then start the program again once the other one has closed, or from another "
                       "folder.")
            .arg(holder.file),
        { QStringLiteral("Open read-only"), QStringLiteral("Quit") },
        0,
        true,
    };
}

ResultsInUseAnswer AskResultsInUse(IMessageBoxes& boxes, QWidget* parent, const ResultsLockHolder& holder)
{
    return boxes.Ask(parent, ResultsInUseQuestion(holder)) == 0 ? ResultsInUseAnswer::OpenReadOnly
                                                                 : ResultsInUseAnswer::Quit;
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
