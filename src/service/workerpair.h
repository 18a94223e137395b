#pragma once

#include "core/workerguard.h"

#include <QPointer>
#include <QString>
#include <QThread>

#include <functional>
#include <memory>

class DeviceFeed;
class IPortWorker;
class IWorker;

// A device's two workers (its port worker and its OFD worker), each in a
// thread of its own, wired to each other; the record the service keeps of
// them while either thread runs.
struct WorkerPair
{
    QString key;      // what the device's entry says, for reloads
    QString id;
    bool hotplugged = false;
    // A configured USB device served while hot-plug detection fails.
    bool fallback = false;
    bool stopping = false;
    // The port string of a USB device, whose arrivals go to this pair.
    QString usbPort;
    // Its worker answered an arrival that it is ending.
    bool refused = false;
    QPointer<IPortWorker> port;
    std::shared_ptr<WorkerGuard::State> portGuard;
    QPointer<IWorker> ofd;
    std::shared_ptr<WorkerGuard::State> ofdGuard;
    QPointer<QThread> portThread;
    QPointer<QThread> ofdThread;
    QPointer<DeviceFeed> feed;

    // Gives both workers a thread each, not started yet, and wires the two
    // to each other. threadGone runs in context's thread once a thread
    // object has been deleted, after the deletion has completed.
    static WorkerPair make(const QString &id, IPortWorker *portWorker, IWorker *ofdWorker, QObject *context,
                           const std::function<void()> &threadGone);
    // The OFD worker's thread first.
    void startThreads();
    bool alive() const;
    // Asks both workers to stop, each in its own thread; never waits.
    void requestStop();
};
