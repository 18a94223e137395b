#include "usb/hotplugagentprivate.h"

#include "core/hotpluglistener.h"
#include "usb/poller.h"
#include "usb/usblib.h"
#include "usb/usbworker.h"

#include <QObject>

#include <atomic>

namespace {

// Callbacks carry no user data: they report to the listener of the latest agent.
std::atomic<HotplugListener *> currentListener{nullptr};

int LIBUSB_CALL onHotplugEvent(libusb_context *, libusb_device *device, libusb_hotplug_event event, void *)
{
    // A departure needs nothing here: the device's worker sees its own
    // transfers fail, and a later arrival on the same port goes to its pair.
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
        UsbLib *usb = UsbLib::instance();
        QVector<quint8> ports;
        usb->getPortNumbers(device, ports);
        QMap<QString, QString> properties;
        properties.insert(QStringLiteral("Dev"), HotplugAgentPrivate::deviceName(usb->getBusNumber(device), ports));
        if (HotplugListener *listener = currentListener.load())
            listener->onDeviceArrived(properties);
    }
    // Staying registered.
    return 0;
}

} // namespace

QString HotplugAgentPrivate::deviceName(quint8 bus, const QVector<quint8> &ports)
{
    return QStringLiteral("%1-%2").arg(bus).arg(UsbLib::portChain(ports));
}

HotplugAgentPrivate::HotplugAgentPrivate(HotplugListener *listener) : listener(listener)
{
    startDetection();
}

bool HotplugAgentPrivate::startDetection()
{
    if (poller)
        return true;
    currentListener = listener;
    UsbLib *usb = UsbLib::instance();
    failureCode = usb->init(&context);
    if (failureCode != 0 || !context) {
        failedStep = QStringLiteral("libusb init");
        if (failureCode == 0)
            failureCode = LIBUSB_ERROR_OTHER;
        usb->exit(context);
        return false;
    }
    if (!usb->hasCapability(LIBUSB_CAP_HAS_HOTPLUG)) {
        failedStep = QStringLiteral("hot-plug capability");
        failureCode = LIBUSB_ERROR_NOT_SUPPORTED;
        usb->exit(context);
        return false;
    }
    failureCode = usb->hotplugRegisterCallback(context,
                                               LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                                               LIBUSB_HOTPLUG_ENUMERATE, UsbWorker::kVendorId, LIBUSB_HOTPLUG_MATCH_ANY,
                                               LIBUSB_HOTPLUG_MATCH_ANY, onHotplugEvent, nullptr, &callbackHandle);
    if (failureCode != 0) {
        failedStep = QStringLiteral("callback registration");
        usb->exit(context);
        return false;
    }
    failedStep.clear();
    poller = new Poller(this);
    poller->start(QThread::InheritPriority);
    return true;
}

void HotplugAgentPrivate::stopDetection()
{
    if (!poller)
        return;
    UsbLib *usb = UsbLib::instance();
    poller->requestStop();
    // The deregistration also wakes the poller out of libusb's event wait,
    // so the tear-down does not sit out libusb's own time-out.
    usb->hotplugDeregisterCallback(context, callbackHandle);
    poller->wait();
    usb->exit(context);
    delete poller;
    poller = nullptr;
}

HotplugAgentPrivate::~HotplugAgentPrivate()
{
    stopDetection();
}
