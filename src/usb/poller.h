#pragma once

#include <QThread>

#include <atomic>

class HotplugAgentPrivate;

// Drives libusb's event handling so that hot-plug callbacks run.
class Poller : public QThread
{
    Q_OBJECT
public:
    explicit Poller(HotplugAgentPrivate *agent);

    void requestStop() { stopRequested = true; }

    // Set by the callback when a device leaves; the loop then pauses 100 ms.
    static std::atomic<bool> departurePending;

protected:
    void run() override;

private:
    HotplugAgentPrivate *agent;
    std::atomic<bool> stopRequested{false};
};
