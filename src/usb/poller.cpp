#include "usb/poller.h"

#include "usb/hotplugagentprivate.h"
#include "usb/usblib.h"

#include <QMutexLocker>

Poller::Poller(HotplugAgentPrivate *agent)
    : agent(agent)
{
    setObjectName(QStringLiteral("HotplugPoller"));
    log = Log(objectName());
}

void Poller::requestStop()
{
    QMutexLocker locker(&stopLock);
    stopRequested = true;
    stopChanged.wakeAll();
}

bool Poller::heartbeat(const std::function<void()> &answer)
{
    {
        QMutexLocker locker(&stopLock);
        if (stopRequested || !isRunning())
            return false;
        pendingAnswer = answer;
    }
    return UsbLib::instance()->interruptEventHandler(agent->context);
}

bool Poller::stopping()
{
    QMutexLocker locker(&stopLock);
    return stopRequested;
}

void Poller::run()
{
    UsbLib *usb = UsbLib::instance();
    bool failing = false;
    while (!stopping()) {
        // Blocks until an event, libusb's own time-out or the deregistration.
        const int result = usb->handleEvents(agent->context);
        std::function<void()> answer;
        {
            QMutexLocker locker(&stopLock);
            answer.swap(pendingAnswer);
        }
        if (answer)
            answer();
        if (result == 0 || result == LIBUSB_ERROR_INTERRUPTED) {
            failing = false;
            continue;
        }
        // A failing call returns at once: wait before trying again.
        if (!failing) {
            log.error(QStringLiteral("handle events: %1").arg(result));
        }
        failing = true;
        QMutexLocker locker(&stopLock);
        if (!stopRequested)
            stopChanged.wait(&stopLock, kRetryMs);
    }
}
