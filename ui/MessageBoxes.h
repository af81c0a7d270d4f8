#pragma once
// Every message box the program shows goes through this interface, so tests can record
// (and answer) what an operator would have seen instead of blocking on a real box.
#include <QString>
#include <QStringList>
#include <memory>

class QWidget;

// A question with one button per choice. The last choice is the way back: Escape and
// closing the box take it.
struct Question
{
    QString text;
    QString details; // what each answer does, under the text; may be empty
    QStringList choices;
    int preferred = 0; // the default button
    bool warning = false; // a warning sign instead of a question mark
};

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
    // Asks modally; returns the index of the chosen choice (the last one when the box was
    // closed without a choice).
    virtual int Ask(QWidget* parent, const Question& question) = 0;
};

// The real boxes.
std::unique_ptr<IMessageBoxes> MakeQtMessageBoxes();
