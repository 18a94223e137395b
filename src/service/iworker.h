#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

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

// Waits count milliseconds in 1 ms steps, processing the calling thread's
// pending events after each step, so queued calls reach a busy worker.
void sleepProcessingEvents(int count);

// Traffic as text for log lines: "0A FF (2 bytes)".
QString hexDump(const QByteArray &data);
