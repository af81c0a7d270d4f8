#include "ui/ComboCompletion.h"

#include <QComboBox>
#include <QCompleter>
#include <QEvent>
#include <QLineEdit>

ComboCompletion::ComboCompletion(QObject* parent)
    : QObject(parent)
    , FCompleter(new QCompleter(this))
{
    FCompleter->setCaseSensitivity(Qt::CaseInsensitive);
    FCompleter->setCompletionMode(QCompleter::InlineCompletion);
}

void ComboCompletion::MakeEditable(QComboBox* box)
{
    auto* edit = new QLineEdit(box);
    // A line edit that has a completer already keeps it: the box makes none of its own.
    edit->setCompleter(FCompleter);
    edit->installEventFilter(this);
    // Unlike setEditable, this leaves the list's drop-down container to be built when it
    // first drops down.
    box->setLineEdit(edit);
}

bool ComboCompletion::eventFilter(QObject* watched, QEvent* event)
{
    // Bound when the box gets the focus, and again at a key in case the focus came
    // without an event (a window that was not active).
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::KeyPress) {
        auto* edit = static_cast<QLineEdit*>(watched);
        auto* box = static_cast<QComboBox*>(edit->parent());
        if (FCompleter->widget() != edit || FCompleter->model() != box->model()) {
            FCompleter->setWidget(edit);
            FCompleter->setModel(box->model());
            FCompleter->setCompletionColumn(box->modelColumn());
        }
    }
    return QObject::eventFilter(watched, event);
}
