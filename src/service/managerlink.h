#pragma once

#include "core/log.h"
#include "core/settings.h"
#include "core/workerguard.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>


class IWorker;
class StatusRegistry;
class WorkerWatch;

// The service's side of the service manager: the status line it shows,
// kept current; READY=1, once; the heartbeats of the worker threads, which
// feed its watchdog; and what a thread that stops answering brings about
// (an ERROR line, its device marked stalled, a new status line).
class ManagerLink : public QObject
{
public:
    using Notify = std::function<void(const QString &status)>;

    // The registry, watch and settings are the service's.
    ManagerLink(StatusRegistry &registry, WorkerWatch &watch, const Settings &settings, Log log,
                Notify ready, Notify status, QObject *parent = nullptr);

    // Heartbeats run from here until stop(); watchdogUsec is the service
    // manager's watchdog period, 0 for none.
    void start(qint64 watchdogUsec);
    void stop();
    // Heartbeats for worker (and the further threads it runs) of device id.
    void watchWorker(IWorker *worker, const std::shared_ptr<WorkerGuard::State> &guard, const QString &id);
    // Whether every watched thread answers, as of now.
    bool workersAnswer();

    QString statusText() const;
    void publish();
    void reportReady();

private:
    void onStallBegan(const QString &name, const QString &device, qint64 silentMs);
    void onStallEnded(const QString &name, const QString &device, qint64 silentMs);

    StatusRegistry &m_registry;
    WorkerWatch &m_watch;
    const Settings &m_settings;
    Log m_log;
    Notify m_ready;
    Notify m_status;
    qint64 m_watchdogUsec = 0;
    bool m_readyReported = false;
};
