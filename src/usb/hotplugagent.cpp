#include "usb/hotplugagent.h"

#include "usb/hotplugagentprivate.h"

HotplugAgent::HotplugAgent(HotplugListener *listener)
    : d(std::make_unique<HotplugAgentPrivate>(listener))
    , m_listener(listener)
{
    d->q = this;
}

HotplugAgent::~HotplugAgent() = default;
