#include "usb/poller.h"

#include "usb/hotplugagentprivate.h"
#include "usb/usblib.h"

std::atomic<bool> Poller::departurePending{false};

Poller::Poller(HotplugAgentPrivate *agent)
    : agent(agent)
{
    setObjectName(QStringLiteral("HotplugPoller"));
}

void Poller::run()
{
    while (!stopRequested) {
        if (departurePending) {
            // Give the departed device's worker time to see its own failure.
            QThread::msleep(100);
            departurePending = false;
        }
        UsbLib::instance()->handleEvents(agent->context);
        QThread::msleep(1);
    }
}
