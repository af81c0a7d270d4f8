#pragma once
// Used by the start-up benchmark: the real program and the bare comparison window both
// stop at the same moment, their first paint.
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

// Quits the application right after the first paint of the watched window: the rest of
// that paint pass (every child) completes before the queued quit runs.
class QuitAfterFirstPaint : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !FQuitting) {
            FQuitting = true;
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool FQuitting = false;
};
