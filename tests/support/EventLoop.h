#pragma once
// How every test waits for timers, posted events and the instrument: run the event loop
// until the condition holds, never a blind sleep.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <chrono>
#include <functional>

// False when the limit passed first.
inline bool WaitUntil(
    const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const QDeadlineTimer deadline(limit);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}
