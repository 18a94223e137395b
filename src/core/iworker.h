#pragma once

#include <QObject>

// A worker lives in a thread of its own. start() runs its whole job and
// returns only after it emitted finished(); stop() only asks it to end and
// may be called from any thread, any number of times.
class IWorker : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Declared as a signal by every concrete worker.
    virtual void finished() = 0;

    // Objects of the worker's own, one in each further thread it runs (one
    // that blocks in a library call, say), living as long as the worker:
    // the service's heartbeat reaches those threads through them.
    virtual QList<QObject *> threadContexts() { return {}; }

public slots:
    virtual void start() = 0;
    virtual void stop() = 0;
};
