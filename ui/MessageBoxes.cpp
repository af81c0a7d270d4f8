#include "ui/MessageBoxes.h"
#include "workflows/ProgramInfo.h"

#include <QMessageBox>
#include <QPointer>

namespace {

class QtMessageBoxes : public IMessageBoxes
{
public:
    ~QtMessageBoxes() override
    {
        if (FErrorBox && !FErrorBox->parent())
            delete FErrorBox;
    }

    void ShowMessage(QWidget* parent, const QString& text) override
    {
        QMessageBox box(QMessageBox::NoIcon, kAppTitle, text, QMessageBox::Ok, parent);
        box.exec();
    }

    void ShowError(QWidget* parent, const QString& text) override
    {
        // One box for the whole run: while it is open the newest error replaces the
        // text, so a burst of failing replies never piles up boxes on the operator.
        if (!FErrorBox) {
            FErrorBox = new QMessageBox(QMessageBox::Critical, kAppTitle, text, QMessageBox::Ok, parent);
            FErrorBox->setModal(false);
            FErrorBox->setWindowModality(Qt::NonModal);
        }
        FErrorBox->setText(text);
        FErrorBox->show();
        FErrorBox->raise();
    }

    QAbstractButton* Ask(QMessageBox& question) override
    {
        question.exec();
        return question.clickedButton() ? question.clickedButton() : question.escapeButton();
    }

private:
    // Owned by its parent window (or by us without one); null once that window is gone.
    QPointer<QMessageBox> FErrorBox;
};

} // namespace

std::unique_ptr<IMessageBoxes> MakeQtMessageBoxes()
{
    return std::make_unique<QtMessageBoxes>();
}
