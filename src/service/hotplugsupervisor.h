#pragma once

#include "core/log.h"
#include "core/settings.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>


class HotplugAgent;
class WorkerWatch;

// Keeps hot-plug detection going: starts the agent and checks that it
// runs; when it does not, the configured USB devices are served meanwhile
// (the fallback) and the start is tried again, the pause doubling from the
// first back-off up to the longest, until detection works.
class HotplugSupervisor : public QObject
{
    Q_OBJECT
public:
    static constexpr int kRetryFirstMs = 5000;
    static constexpr int kRetryMaxMs = 300000;

    // Makes an agent, or none when detection cannot run at all.
    using Factory = std::function<HotplugAgent *()>;

    // settings are the ones in force, kept by their owner.
    HotplugSupervisor(const Settings &settings, WorkerWatch &watch, Factory factory, Log log,
                      QObject *parent = nullptr);
    ~HotplugSupervisor() override;

    // Starts detection anew, dropping a running agent first.
    void start();
    // Ends detection and its retries.
    void stop();
    bool hasAgent() const { return m_agent != nullptr; }
    // Hot-plug is configured but its detection does not run (yet).
    bool fallback() const;
    // Detection has an agent that does not run.
    bool failing() const;
    void setRetry(int firstMs, int maxMs);

signals:
    // Detection works after failing: the configured USB devices make way.
    void recovered();

private:
    void retry();

    const Settings &m_settings;
    WorkerWatch &m_watch;
    Factory m_factory;
    Log m_log;
    std::unique_ptr<HotplugAgent> m_agent;
    QTimer m_retry;
    int m_retryFirstMs = kRetryFirstMs;
    int m_retryMaxMs = kRetryMaxMs;
    int m_retryMs = 0;
    int m_attempts = 0;
    int m_pollerWatch = 0;
};
