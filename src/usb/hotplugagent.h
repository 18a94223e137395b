#pragma once

#include "core/hotpluglistener.h"

#include <functional>
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

    // A heartbeat for the thread that handles libusb's events: it calls
    // answer in its own turn. False when that thread cannot be reached.
    bool heartbeat(const std::function<void()> &answer);

private:
    std::unique_ptr<HotplugAgentPrivate> d;
    HotplugListener *m_listener;
};
