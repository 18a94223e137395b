#include "core/workerguard.h"

#include "core/iworker.h"

WorkerGuard::WorkerGuard(IWorker *worker, std::shared_ptr<State> state)
    : QObject(worker), m_state(std::move(state))
{
    // Direct: runs in the worker's thread while it emits, before the
    // deferred deletion that finished() schedules can happen.
    connect(worker, SIGNAL(finished()), this, SLOT(onFinished()), Qt::DirectConnection);
}

std::shared_ptr<WorkerGuard::State> WorkerGuard::attach(IWorker *worker)
{
    auto state = std::make_shared<State>();
    state->worker = worker;
    new WorkerGuard(worker, state);
    return state;
}

bool WorkerGuard::requestStop(const std::shared_ptr<State> &state)
{
    QMutexLocker locker(&state->mutex);
    if (state->finished || !state->worker)
        return false;
    // Held only for the posting: the worker cannot be deleted meanwhile, and
    // a call still queued when it goes is dropped with it.
    return QMetaObject::invokeMethod(state->worker, "stop", Qt::QueuedConnection);
}

bool WorkerGuard::requestCall(const std::shared_ptr<State> &state, const char *method, const QString &text)
{
    QMutexLocker locker(&state->mutex);
    if (state->finished || !state->worker)
        return false;
    const QByteArray signature = QByteArray(method) + "(QString)";
    if (state->worker->metaObject()->indexOfMethod(signature.constData()) < 0)
        return false;
    return QMetaObject::invokeMethod(state->worker, method, Qt::QueuedConnection, Q_ARG(QString, text));
}

bool WorkerGuard::invokeIn(const std::shared_ptr<State> &state, QObject *target, std::function<void()> call)
{
    QMutexLocker locker(&state->mutex);
    if (state->finished || !state->worker)
        return false;
    return QMetaObject::invokeMethod(target, std::move(call), Qt::QueuedConnection);
}

void WorkerGuard::onFinished()
{
    QMutexLocker locker(&m_state->mutex);
    m_state->finished = true;
}
