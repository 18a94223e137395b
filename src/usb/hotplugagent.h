#pragma once

#include "service/hotpluglistener.h"

// Placeholder until the agent is built: reports nothing.
class HotplugAgent
{
public:
    explicit HotplugAgent(HotplugListener *listener) { (void)listener; }
};
