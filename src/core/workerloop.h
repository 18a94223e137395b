#pragma once

#include <QObject>

#include <functional>

class QEventLoop;

// The blocking half of a worker's start(): runs the events of the worker's
// thread until stop() is asked for, from any thread, any number of times.
// Slots and timers of the worker do the work meanwhile.
class WorkerLoop
{
public:
    // owner is the worker; the loop is a member of it and lives in its thread.
    explicit WorkerLoop(QObject *owner) : m_owner(owner) {}

    WorkerLoop(const WorkerLoop &) = delete;
    WorkerLoop &operator=(const WorkerLoop &) = delete;

    // Returns once stop() was called, at once when it was already.
    void run();
    // Runs events until stop(), done() or msecs passed (see EventWait), for
    // a worker whose start() moves through states of its own. Returns
    // whether stop() or done() ended the wait.
    bool waitFor(int msecs, const std::function<bool()> &done = {});
    // Any thread: the request travels to the worker's thread.
    void stop();
    // Whether stop() has reached the worker's thread; that thread only.
    bool stopping() const { return m_stop; }

private:
    void quit();

    QObject *m_owner;
    bool m_stop = false;
    QEventLoop *m_loop = nullptr;
};
