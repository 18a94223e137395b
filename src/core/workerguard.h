#pragma once

#include <QMutex>
#include <QObject>

#include <functional>
#include <memory>

class IWorker;

// Lets the main thread call stop() on a worker that lives and dies in
// another thread. The guard is a child of the worker (so it moves and dies
// with it) and records finished() under a lock; a worker is deleted only
// after finished(), so while the lock is held and finished() has not been
// seen, the worker is alive.
class WorkerGuard : public QObject
{
    Q_OBJECT
public:
    struct State
    {
        QMutex mutex;
        bool finished = false;
        IWorker *worker = nullptr;
    };

    // Attaches a guard to worker (before it is moved to its thread) and
    // returns the state the caller keeps.
    static std::shared_ptr<State> attach(IWorker *worker);

    // Queues a call of stop() into the worker's own thread unless it has
    // finished; never waits for the worker. Returns whether it queued one.
    static bool requestStop(const std::shared_ptr<State> &state);
    // Queues a call of method(text) the same way, when the worker has one.
    static bool requestCall(const std::shared_ptr<State> &state, const char *method, const QString &text);
    // Queues call into the thread of target (the worker, or an object of
    // the worker's own that lives as long as it) unless the worker has
    // finished; never waits. Returns whether it queued the call.
    static bool invokeIn(const std::shared_ptr<State> &state, QObject *target, std::function<void()> call);

private slots:
    void onFinished();

private:
    explicit WorkerGuard(IWorker *worker, std::shared_ptr<State> state);

    std::shared_ptr<State> m_state;
};
