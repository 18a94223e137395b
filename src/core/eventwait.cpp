#include "core/eventwait.h"

#include <QAbstractEventDispatcher>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>

bool EventWait::until(int msecs, const std::function<bool()> &done)
{
    const QDeadlineTimer deadline(qMax(msecs, 0), Qt::PreciseTimer);
    QAbstractEventDispatcher *dispatcher = QThread::currentThread()->eventDispatcher();
    // The timer's own event is what wakes the dispatcher at the deadline.
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    bool met = false;
    while (!(met = done && done()) && !deadline.hasExpired()) {
        if (!dispatcher) {
            // No event loop on this thread yet: nothing can arrive, just sleep.
            QThread::msleep(static_cast<unsigned long>(deadline.remainingTime()));
        } else {
            if (!timer.isActive())
                timer.start(qMax<qint64>(deadline.remainingTime(), 0));
            dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
    }
    return met;
}
