#include "ui/MessageBoxes.h"
#include "workflows/ProgramInfo.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <algorithm>
#include <vector>

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

    int Ask(QWidget* parent, const Question& question) override
    {
        QMessageBox box(question.warning ? QMessageBox::Warning : QMessageBox::Question, kAppTitle, question.text,
            QMessageBox::NoButton, parent);
        box.setInformativeText(question.details);
        std::vector<QAbstractButton*> buttons;
        for (qsizetype i = 0; i < question.choices.size(); ++i) {
            const bool back = i + 1 == question.choices.size();
            buttons.push_back(
                box.addButton(question.choices[i], back ? QMessageBox::RejectRole : QMessageBox::AcceptRole));
            if (back)
                box.setEscapeButton(buttons.back());
        }
        if (question.preferred >= 0 && question.preferred < static_cast<int>(buttons.size()))
            box.setDefaultButton(static_cast<QPushButton*>(buttons[static_cast<size_t>(question.preferred)]));
        box.exec();
        const auto chosen = std::find(buttons.begin(), buttons.end(), box.clickedButton());
        return chosen == buttons.end() ? static_cast<int>(buttons.size()) - 1
                                       : static_cast<int>(chosen - buttons.begin());
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
