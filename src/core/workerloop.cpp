#include "core/workerloop.h"

#include "core/eventwait.h"

#include <QEventLoop>
#include <QThread>

void WorkerLoop::run()
{
    if (stopping())
        return;
    // A loop of its own, not a wait: objects deleted later while the worker
    // runs go at once, not when start() returns.
    QEventLoop events;
    m_loop = &events;
    // A stop() that came before the loop existed is still seen.
    if (!stopping())
        events.exec();
    m_loop = nullptr;
}

bool WorkerLoop::waitFor(int msecs, const std::function<bool()> &done)
{
    return EventWait::until(msecs, [this, &done] { return stopping() || (done && done()); });
}

void WorkerLoop::stop()
{
    if (QThread::currentThread() != m_owner->thread()) {
        // The flag is set in the worker's thread, after what was queued
        // there before; the call also ends a wait of waitFor().
        QMetaObject::invokeMethod(m_owner, [this] { stop(); }, Qt::QueuedConnection);
        return;
    }
    m_stop = true;
    quit();
}

void WorkerLoop::quit()
{
    if (m_loop)
        m_loop->quit();
}
