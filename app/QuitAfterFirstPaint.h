#pragma once
// Used by the start-up benchmark: the real program and the bare comparison window both
// stop at the same moment, their first paint.
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

// Ends the process right after the first paint of the watched window: the rest of that
// paint pass (every child) completes before the queued end runs. The process ends there
// rather than tearing down, so the benchmark's clock stops at the first paint and not at
// whatever the program would do on its way out (joining threads started after the paint,
// closing files), which the operator never waits for at start-up.
class QuitAfterFirstPaint : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !FQuitting) {
            FQuitting = true;
            QTimer::singleShot(0, qApp, [] {
                std::fflush(nullptr);
                std::_Exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool FQuitting = false;
};
