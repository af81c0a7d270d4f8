#pragma once
// Gives a line edit a key-press handler that sees each typed character before the edit
// does and may swallow it by setting it to 0, the way the operator's edits filter what
// cannot belong to a number.
#include <QChar>
#include <QObject>
#include <functional>

class KeyFilter : public QObject
{
public:
    using Handler = std::function<void(QObject* Sender, QChar& Key)>;

    // Installs itself on `edit` and lives as long as it.
    KeyFilter(QObject* edit, Handler handler);

    // The character a key press types: its text when that is one character, Ctrl plus a
    // letter as the control code 1 to 26 (Ctrl+V is 22). Keys that move the focus or the
    // cursor, or delete forwards, type nothing (a null QChar) and are never filtered.
    static QChar TypedCharacter(const class QKeyEvent& event);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Handler FHandler;
};
