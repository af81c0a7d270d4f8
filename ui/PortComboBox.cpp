#include "ui/PortComboBox.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QFocusEvent>
#include <QLineEdit>

void PortComboBox::showPopup()
{
    if (OnDropDown)
        OnDropDown();
    FDroppedDown = true;
    QComboBox::showPopup();
    view()->window()->installEventFilter(this);
}

void PortComboBox::hidePopup()
{
    QComboBox::hidePopup();
    ClosedUp();
}

void PortComboBox::ShowStartOfText()
{
    QLineEdit* edit = lineEdit();
    // Setting a text puts the cursor after it, and the line edit scrolls to the cursor;
    // the same text set again moves the cursor without any change of text to tell.
    connect(edit, &QLineEdit::cursorPositionChanged, this, [edit](int, int position) {
        if (position != 0 && !edit->hasFocus())
            edit->setCursorPosition(0);
    });
    edit->setCursorPosition(0);
}

bool PortComboBox::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Hide && watched == view()->window())
        ClosedUp();
    return QComboBox::eventFilter(watched, event);
}

void PortComboBox::focusOutEvent(QFocusEvent* event)
{
    QComboBox::focusOutEvent(event);
    // Another window taking over leaves the cursor where the operator was typing.
    if (lineEdit() && event->reason() != Qt::ActiveWindowFocusReason)
        lineEdit()->setCursorPosition(0);
}

void PortComboBox::ClosedUp()
{
    if (!FDroppedDown)
        return;
    FDroppedDown = false;
    if (OnCloseUp)
        OnCloseUp();
}
