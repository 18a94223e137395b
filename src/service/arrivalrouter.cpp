#include "service/arrivalrouter.h"

#include "core/iportworker.h"
#include "service/workerpair.h"

#include <QMutexLocker>

#include <algorithm>

ArrivalRouter::ArrivalRouter(QList<WorkerPair> &pairs, Register registerPair, Log log,
                             QObject *parent)
    : QObject(parent), m_pairs(pairs), m_register(std::move(registerPair)), m_log(std::move(log))
{
}

void ArrivalRouter::close()
{
    m_closed = true;
    m_waiting.clear();
    m_handed.clear();
}

bool ArrivalRouter::fallbackAlive() const
{
    return std::any_of(m_pairs.begin(), m_pairs.end(), [](const WorkerPair &p) { return p.fallback && p.alive(); });
}

void ArrivalRouter::wait(const UsbDeviceSettings &entry)
{
    for (const UsbDeviceSettings &w : std::as_const(m_waiting)) {
        if (w.port == entry.port)
            return;
    }
    m_waiting.append(entry);
}

void ArrivalRouter::arrive(const UsbDeviceSettings &entry)
{
    if (m_closed)
        return;
    if (fallbackAlive()) {
        wait(entry);
        return;
    }
    for (WorkerPair &pair : m_pairs) {
        if (pair.usbPort.isNull() || pair.usbPort != entry.port || !pair.alive())
            continue;
        if (pair.stopping || pair.refused) {
            m_log.info(QStringLiteral("Device %1 is back: it waits for its previous worker to end").arg(entry.port));
            wait(entry);
            return;
        }
        // The pair serves this port and is not ending: its worker opens the
        // device again now, instead of a second pair fighting it for the device.
        QMutexLocker locker(&pair.portGuard->mutex);
        IWorker *worker = pair.portGuard->worker;
        if (pair.portGuard->finished || !worker || worker->metaObject()->indexOfMethod("reopen()") < 0) {
            locker.unlock();
            wait(entry);
            return;
        }
        // Each arrival is handed on, also while an earlier one is unanswered:
        // the device may have left and come back meanwhile.
        ++m_handed[entry.port];
        m_log.info(QStringLiteral("Device %1 is back: its running worker opens it again").arg(entry.port));
        QMetaObject::invokeMethod(
            worker,
            [this, worker, entry] {
                bool taken = false;
                QMetaObject::invokeMethod(worker, "reopen", Qt::DirectConnection, Q_RETURN_ARG(bool, taken));
                QMetaObject::invokeMethod(
                    this, [this, entry, taken] { onAnswer(entry, taken); }, Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
        return;
    }
    m_register(entry);
}

void ArrivalRouter::onAnswer(const UsbDeviceSettings &entry, bool taken)
{
    const auto handed = m_handed.find(entry.port);
    // Not there: the pair ended first, and the arrival waits already.
    if (handed == m_handed.end())
        return;
    if (--handed.value() == 0)
        m_handed.erase(handed);
    if (taken)
        return;
    for (WorkerPair &pair : m_pairs) {
        if (pair.usbPort == entry.port && pair.alive())
            pair.refused = true;
    }
    m_waiting.append(entry);
    serveWaiting();
}

void ArrivalRouter::reclaimFromEndedPairs()
{
    // Both threads have ended: the workers and threads are deleted, only
    // the record is left.
    for (const WorkerPair &pair : std::as_const(m_pairs)) {
        if (pair.alive() || pair.usbPort.isNull())
            continue;
        if (m_handed.remove(pair.usbPort) > 0) {
            UsbDeviceSettings entry;
            entry.id = pair.usbPort;
            entry.port = pair.usbPort;
            entry.hotplugged = true;
            m_waiting.append(entry);
        }
    }
}

void ArrivalRouter::serveWaiting()
{
    if (m_closed) {
        m_waiting.clear();
        return;
    }
    if (m_waiting.isEmpty() || fallbackAlive())
        return;
    const QList<UsbDeviceSettings> waiting = m_waiting;
    m_waiting.clear();
    for (const UsbDeviceSettings &entry : waiting)
        arrive(entry);
}
