#pragma once

#include "core/hotpluglistener.h"

#include <memory>

class HotplugAgentPrivate;

// Reports every device of the fiscal vendor that is plugged in, and those
// already attached, to a listener. Working once the constructor returns;
// destroying it ends detection before the destructor returns.
class HotplugAgent
{
public:
    explicit HotplugAgent(HotplugListener *listener);
    ~HotplugAgent();

    HotplugAgent(const HotplugAgent &) = delete;
    HotplugAgent &operator=(const HotplugAgent &) = delete;

    HotplugListener *listener() const { return m_listener; }

private:
    std::unique_ptr<HotplugAgentPrivate> d;
    HotplugListener *m_listener;
};
