#pragma once

#include <libusb-1.0/libusb.h>

#include <QMap>
#include <QString>

class HotplugListener;
class Poller;

// The agent's libusb side: its own context, the callback registration and
// the thread that drives libusb's event handling.
class HotplugAgentPrivate
{
public:
    explicit HotplugAgentPrivate(HotplugListener *listener);
    virtual ~HotplugAgentPrivate();

    HotplugAgentPrivate(const HotplugAgentPrivate &) = delete;
    HotplugAgentPrivate &operator=(const HotplugAgentPrivate &) = delete;

    // "Dev" of a device: bus, "-", port chain joined by "." (1-4.2).
    static QString deviceName(quint8 bus, const QVector<quint8> &ports);

    // Context, capability, registration and poller, in that order; on a
    // failure everything made so far is undone and the step and libusb's
    // code are kept. True when detection runs.
    bool startDetection();

    libusb_context *context = nullptr;
    libusb_hotplug_callback_handle callbackHandle = 0;
    Poller *poller = nullptr;
    HotplugListener *listener = nullptr;
    int failureCode = 0;
    QString failedStep;

private:
    void stopDetection();
};
