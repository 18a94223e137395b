#pragma once

#include "core/log.h"
#include "core/settings.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>


struct WorkerPair;

// Takes each hot-plugged arrival, on the main thread, where it belongs: to
// a new pair, or to the live pair of its port, whose worker opens the
// device again, or into a wait until that pair, or the fallback pairs, have
// ended. The pairs are the service's; the router reads them and marks those
// that refused an arrival.
class ArrivalRouter : public QObject
{
public:
    // Makes the pair of a hot-plugged device.
    using Register = std::function<void(const UsbDeviceSettings &entry)>;

    ArrivalRouter(QList<WorkerPair> &pairs, Register registerPair, Log log,
                  QObject *parent = nullptr);

    void arrive(const UsbDeviceSettings &entry);
    // Before the ended pairs are dropped: an arrival handed to one of them
    // and never answered is served anew.
    void reclaimFromEndedPairs();
    // Serves the waiting arrivals once no fallback pair is alive.
    void serveWaiting();
    void dropWaiting() { m_waiting.clear(); }
    // Arrivals are taken (the start) or ignored, and what waits forgotten.
    void open() { m_closed = false; }
    void close();

private:
    void wait(const UsbDeviceSettings &entry);
    void onAnswer(const UsbDeviceSettings &entry, bool taken);
    bool fallbackAlive() const;

    QList<WorkerPair> &m_pairs;
    Register m_register;
    Log m_log;
    bool m_closed = false;
    // Arrivals handed to a live pair of their port and not yet answered, by port.
    QHash<QString, int> m_handed;
    // Arrivals waiting for their port's pair, or the fallback pairs, to end.
    QList<UsbDeviceSettings> m_waiting;
};
