#include "ui/KeyFilter.h"

#include <QKeyEvent>

KeyFilter::KeyFilter(QObject* edit, Handler handler)
    : QObject(edit)
    , FHandler(std::move(handler))
{
    edit->installEventFilter(this);
}

QChar KeyFilter::TypedCharacter(const QKeyEvent& event)
{
    const int key = event.key();
    // Focus navigation and forward delete are editing keys, not characters, even where a
    // platform attaches a control character to them.
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_Delete)
        return {};
    const Qt::KeyboardModifiers mods = event.modifiers();
    if ((mods & Qt::ControlModifier) && !(mods & Qt::AltModifier) && key >= Qt::Key_A && key <= Qt::Key_Z)
        return QChar(static_cast<char16_t>(key - Qt::Key_A + 1));
    const QString text = event.text();
    if (text.size() != 1)
        return {};
    return text.front();
}

bool KeyFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    QChar key = TypedCharacter(*static_cast<QKeyEvent*>(event));
    if (key.isNull())
        return false;
    FHandler(watched, key);
    return key.isNull();
}
