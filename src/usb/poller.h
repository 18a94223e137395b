#pragma once

#include "core/log.h"

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>

class HotplugAgentPrivate;

// Drives libusb's event handling so that hot-plug callbacks run. The thread
// sleeps inside libusb until an event arrives; the agent's deregistration
// at tear-down wakes it.
class Poller : public QThread
{
    Q_OBJECT
public:
    explicit Poller(HotplugAgentPrivate *agent);

    // Any thread; also cuts short the wait after a failed event handling.
    void requestStop();
    // Has the thread call answer once its current wait in libusb ends, and
    // ends that wait; false when it cannot (not running, or libusb cannot
    // be interrupted).
    bool heartbeat(const std::function<void()> &answer);

    // Wait before event handling is tried again after it failed.
    static constexpr int kRetryMs = 1000;

protected:
    void run() override;

private:
    bool stopping();

    HotplugAgentPrivate *agent;
    Log log;
    QMutex stopLock;
    QWaitCondition stopChanged;
    bool stopRequested = false;
    std::function<void()> pendingAnswer;
};
