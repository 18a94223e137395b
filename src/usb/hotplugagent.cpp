#include "usb/hotplugagent.h"

#include "usb/hotplugagentprivate.h"
#include "usb/poller.h"

HotplugAgent::HotplugAgent(HotplugListener *listener)
    : d(std::make_unique<HotplugAgentPrivate>(listener))
    , m_listener(listener)
{
    d->q = this;
}

HotplugAgent::~HotplugAgent() = default;

bool HotplugAgent::heartbeat(const std::function<void()> &answer)
{
    return d->poller->heartbeat(answer);
}
