#include "ui/PortComboBox.h"

#include <QAbstractItemView>
#include <QEvent>

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

bool PortComboBox::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Hide && watched == view()->window())
        ClosedUp();
    return QComboBox::eventFilter(watched, event);
}

void PortComboBox::ClosedUp()
{
    if (!FDroppedDown)
        return;
    FDroppedDown = false;
    if (OnCloseUp)
        OnCloseUp();
}
