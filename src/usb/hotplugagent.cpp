#include "usb/hotplugagent.h"

#include "usb/hotplugagentprivate.h"
#include "usb/poller.h"

HotplugAgent::HotplugAgent(HotplugListener *listener)
    : d(std::make_unique<HotplugAgentPrivate>(listener))
    , m_listener(listener)
{
}

HotplugAgent::~HotplugAgent() = default;

bool HotplugAgent::isRunning() const
{
    return d->poller != nullptr;
}

QString HotplugAgent::failedStep() const
{
    return d->failedStep;
}

int HotplugAgent::failureCode() const
{
    return d->failureCode;
}

bool HotplugAgent::retry()
{
    return d->startDetection();
}

bool HotplugAgent::heartbeat(const std::function<void()> &answer)
{
    // No poller while detection is down and waits for its retry.
    return d->poller && d->poller->heartbeat(answer);
}
