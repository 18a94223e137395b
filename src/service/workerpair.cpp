#include "service/workerpair.h"

#include "core/iportworker.h"

namespace {

// Connects by signature; a worker that lacks one is a programming error,
// which Qt reports on its own ("No such signal").
void wire(QObject *sender, const char *signal, QObject *receiver, const char *method)
{
    QObject::connect(sender, signal, receiver, method);
}

QThread *startThread(IWorker *worker, QObject *context, const std::function<void()> &threadGone)
{
    auto *thread = new QThread;
    thread->setObjectName(worker->objectName());
    worker->moveToThread(thread);
    wire(thread, SIGNAL(started()), worker, SLOT(start()));
    wire(thread, SIGNAL(finished()), worker, SLOT(stop()));
    wire(worker, SIGNAL(finished()), thread, SLOT(quit()));
    wire(worker, SIGNAL(finished()), worker, SLOT(deleteLater()));
    wire(thread, SIGNAL(finished()), thread, SLOT(deleteLater()));
    // Once the thread object is gone the thread has ended for sure.
    QObject::connect(thread, &QObject::destroyed, context,
                     [context, threadGone] { QMetaObject::invokeMethod(context, threadGone, Qt::QueuedConnection); });
    return thread;
}

} // namespace

WorkerPair WorkerPair::make(const QString &id, IPortWorker *portWorker, IWorker *ofdWorker, QObject *context,
                            const std::function<void()> &threadGone)
{
    WorkerPair pair;
    pair.id = id;
    // Attached before the move so that the guards move along.
    pair.portGuard = WorkerGuard::attach(portWorker);
    pair.port = portWorker;
    pair.portThread = startThread(portWorker, context, threadGone);
    pair.ofdGuard = WorkerGuard::attach(ofdWorker);
    pair.ofd = ofdWorker;
    pair.ofdThread = startThread(ofdWorker, context, threadGone);

    wire(ofdWorker, SIGNAL(sendData(QByteArray)), portWorker, SLOT(onOfdDataReceived(QByteArray)));
    wire(portWorker, SIGNAL(portDataReceived(QByteArray)), ofdWorker, SLOT(onDataReceived(QByteArray)));
    wire(portWorker, SIGNAL(finished()), ofdWorker, SLOT(stop()));
    wire(ofdWorker, SIGNAL(finished()), portWorker, SLOT(stop()));
    wire(portWorker, SIGNAL(portConnectionLost()), ofdWorker, SLOT(pause()));
    wire(portWorker, SIGNAL(portConnectionEstablished()), ofdWorker, SLOT(unpause()));
    return pair;
}

void WorkerPair::startThreads()
{
    ofdThread->start(QThread::InheritPriority);
    portThread->start(QThread::InheritPriority);
}

bool WorkerPair::alive() const
{
    return (portThread && !portThread->isFinished()) || (ofdThread && !ofdThread->isFinished());
}

void WorkerPair::requestStop()
{
    stopping = true;
    if (portGuard)
        WorkerGuard::requestStop(portGuard);
    if (ofdGuard)
        WorkerGuard::requestStop(ofdGuard);
}
