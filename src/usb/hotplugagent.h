#pragma once

#include "core/hotpluglistener.h"

#include <QString>

#include <functional>
#include <memory>

class HotplugAgentPrivate;

// Reports every device of the fiscal vendor that is plugged in, and those
// already attached, to a listener. The constructor tries to start detection
// (libusb init, hot-plug capability, callback registration); when a step
// fails nothing is reported until retry() succeeds. Destroying it ends
// detection before the destructor returns.
class HotplugAgent
{
public:
    explicit HotplugAgent(HotplugListener *listener);
    ~HotplugAgent();

    HotplugAgent(const HotplugAgent &) = delete;
    HotplugAgent &operator=(const HotplugAgent &) = delete;

    HotplugListener *listener() const { return m_listener; }

    bool isRunning() const;
    // Of the last failed start: the step ("libusb init", "hot-plug
    // capability", "callback registration") and libusb's code.
    QString failedStep() const;
    int failureCode() const;
    // Starts detection again unless it runs; devices attached now are
    // reported during the call. True when detection runs.
    bool retry();
    // A heartbeat for the thread that handles libusb's events: it calls
    // answer in its own turn. False when that thread cannot be reached.
    bool heartbeat(const std::function<void()> &answer);

private:
    std::unique_ptr<HotplugAgentPrivate> d;
    HotplugListener *m_listener;
};
