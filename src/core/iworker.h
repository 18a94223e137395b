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

public slots:
    virtual void start() = 0;
    virtual void stop() = 0;
};
