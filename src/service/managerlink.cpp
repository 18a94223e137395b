#include "service/managerlink.h"

#include "core/iworker.h"
#include "service/statusregistry.h"
#include "service/statussummary.h"
#include "service/workerwatch.h"

#include <QDateTime>
#include <QThread>

#include <climits>

namespace {

QString seconds(qint64 msecs)
{
    return QStringLiteral("%1 s").arg((msecs + 500) / 1000);
}

} // namespace

ManagerLink::ManagerLink(StatusRegistry &registry, WorkerWatch &watch, const Settings &settings,
                         Log log, Notify ready, Notify status, QObject *parent)
    : QObject(parent),
      m_registry(registry),
      m_watch(watch),
      m_settings(settings),
      m_log(std::move(log)),
      m_ready(std::move(ready)),
      m_status(std::move(status))
{
    connect(&m_watch, &WorkerWatch::stallBegan, this, &ManagerLink::onStallBegan);
    connect(&m_watch, &WorkerWatch::stallEnded, this, &ManagerLink::onStallEnded);
    connect(&m_registry, &StatusRegistry::deviceChanged, this, [this] { publish(); });
}

void ManagerLink::start(qint64 watchdogUsec)
{
    m_watchdogUsec = watchdogUsec;
    // Half the service manager's watchdog period when that is longer: a
    // worker is not called stalled before the manager would care.
    m_watch.setStallAfter(int(qMin<qint64>(qMax<qint64>(WorkerWatch::kMinStallMs, watchdogUsec / 2000), INT_MAX)));
    m_watch.start();
}

void ManagerLink::stop()
{
    m_watch.stop();
}

void ManagerLink::watchWorker(IWorker *worker, const std::shared_ptr<WorkerGuard::State> &guard, const QString &id)
{
    QList<QPair<QObject *, QString>> targets{{worker, worker->objectName()}};
    for (QObject *context : worker->threadContexts())
        targets.append({context, context->thread()->objectName()});
    for (const auto &target : std::as_const(targets)) {
        QObject *object = target.first;
        m_watch.watch(target.second, id, [guard, object](const WorkerWatch::Answer &answer) {
            return WorkerGuard::invokeIn(guard, object, answer);
        });
    }
}

bool ManagerLink::workersAnswer()
{
    m_watch.check();
    return m_watch.stalled().isEmpty();
}

QString ManagerLink::statusText() const
{
    StatusSummary summary;
    qint64 lastExchangeMs = 0;
    for (const QString &id : m_registry.ids()) {
        const StatusRegistry::Device *device = m_registry.device(id);
        summary.setDevice(id, StatusRegistry::stateName(device->state));
        lastExchangeMs = qMax(lastExchangeMs, device->lastSession.endedMs);
    }
    QStringList stalled;
    for (const WorkerWatch::Stall &stall : m_watch.stalled())
        stalled.append(stall.name);
    summary.setStalled(stalled);
    QString text = summary.text();
    if (lastExchangeMs > 0)
        text += QStringLiteral("; last exchange %1 ago")
                    .arg(seconds(QDateTime::currentMSecsSinceEpoch() - lastExchangeMs));
    if (m_settings.hotplug)
        text += QStringLiteral("; hot-plug on");
    return text;
}

void ManagerLink::publish()
{
    m_status(statusText());
}

void ManagerLink::reportReady()
{
    if (m_readyReported)
        return;
    m_readyReported = true;
    m_ready(statusText());
}

void ManagerLink::onStallBegan(const QString &name, const QString &device, qint64 silentMs)
{
    if (!device.isEmpty())
        m_registry.setStalled(device, true);
    QString line = QStringLiteral("Worker thread %1 stalled: no sign of life for %2").arg(name, seconds(silentMs));
    if (m_watchdogUsec > 0)
        line += QStringLiteral("; the service manager's watchdog is not fed while it lasts");
    m_log.error(line);
    publish();
}

void ManagerLink::onStallEnded(const QString &name, const QString &device, qint64 silentMs)
{
    if (!device.isEmpty())
        m_registry.setStalled(device, m_watch.deviceStalled(device));
    m_log.info(QStringLiteral("Worker thread %1 answers again after %2 of silence").arg(name, seconds(silentMs)));
    publish();
}
