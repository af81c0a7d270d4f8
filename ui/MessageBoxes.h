#pragma once
// Every message box the program shows goes through this interface, so tests can record
// (and answer) what an operator would have seen instead of blocking on a real box.
#include <QString>
#include <memory>

class QAbstractButton;
class QMessageBox;
class QWidget;

class IMessageBoxes
{
public:
    virtual ~IMessageBoxes() = default;
    // A modal box with one OK button and the application's title (input messages,
    // port errors). Returns when the operator has closed it.
    virtual void ShowMessage(QWidget* parent, const QString& text) = 0;
    // The general error display: non-modal, never a second box while one is open (the
    // open box shows the newest error instead). Must not spin a nested event loop.
    virtual void ShowError(QWidget* parent, const QString& text) = 0;
    // A question: `question` (its parent, texts and buttons set) shown modally. Returns
    // the button the operator chose; the question's escape button when the box was
    // closed without one.
    virtual QAbstractButton* Ask(QMessageBox& question) = 0;
};

// The real boxes.
std::unique_ptr<IMessageBoxes> MakeQtMessageBoxes();
