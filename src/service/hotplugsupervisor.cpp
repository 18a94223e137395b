#include "service/hotplugsupervisor.h"

#include "service/configreport.h"
#include "service/workerwatch.h"
#include "usb/hotplugagent.h"
#include "usb/usblib.h"

HotplugSupervisor::HotplugSupervisor(const Settings &settings, WorkerWatch &watch, Factory factory,
                                     Log log, QObject *parent)
    : QObject(parent), m_settings(settings), m_watch(watch), m_factory(std::move(factory)), m_log(std::move(log))
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &HotplugSupervisor::retry);
}

HotplugSupervisor::~HotplugSupervisor() = default;

void HotplugSupervisor::start()
{
    stop();
    m_agent.reset(m_factory());
    if (HotplugAgent *agent = m_agent.get()) {
        // Not reached while detection waits for its retry: nothing runs then.
        m_pollerWatch = m_watch.watch(QStringLiteral("HotplugPoller"), QString(),
                                      [agent](const WorkerWatch::Answer &answer) { return agent->heartbeat(answer); });
    }
    m_attempts = 1;
    if (!failing())
        return;
    m_retryMs = m_retryFirstMs;
    const int code = m_agent->failureCode();
    const QString line = QStringLiteral("Hot-plug detection failed at %1: libusb error %2 (%3); serving the configured "
                                        "USB devices %4 instead, next attempt in %5 s")
                             .arg(m_agent->failedStep())
                             .arg(code)
                             .arg(QString::fromLocal8Bit(UsbLib::instance()->strerror(code)),
                                  ConfigReport::usbIds(m_settings), QString::number(m_retryMs / 1000.0));
    m_log.error(line);
    m_retry.start(m_retryMs);
}

void HotplugSupervisor::stop()
{
    m_retry.stop();
    if (m_pollerWatch)
        m_watch.forget(m_pollerWatch);
    m_pollerWatch = 0;
    m_agent.reset();
}

bool HotplugSupervisor::fallback() const
{
    return m_settings.hotplug && failing();
}

bool HotplugSupervisor::failing() const
{
    return m_agent && !m_agent->isRunning();
}

void HotplugSupervisor::setRetry(int firstMs, int maxMs)
{
    m_retryFirstMs = firstMs;
    m_retryMaxMs = maxMs;
}

void HotplugSupervisor::retry()
{
    if (!failing())
        return;
    ++m_attempts;
    // Devices attached now arrive during the call and wait for the
    // configured ones' pairs to end: no device is served twice.
    if (!m_agent->retry()) {
        m_retryMs = qMin(m_retryMs * 2, m_retryMaxMs);
        m_retry.start(m_retryMs);
        return;
    }
    const QString line = QStringLiteral("Hot-plug detection works after %1 attempts; the configured USB devices %2 "
                                        "make way for hot-plugged ones")
                             .arg(m_attempts)
                             .arg(ConfigReport::usbIds(m_settings));
    m_log.info(line);
    emit recovered();
}
