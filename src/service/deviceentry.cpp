#include "service/deviceentry.h"

#include "service/configreport.h"

QString DeviceEntry::usbKey(const UsbDeviceSettings &entry)
{
    return QStringLiteral("usb|%1|%2|%3").arg(entry.id, entry.port).arg(entry.hotplugged);
}

QString DeviceEntry::comKey(const ComDeviceSettings &entry)
{
    return QStringLiteral("dalv|%1|%2").arg(entry.id, ConfigReport::comLine(entry));
}

QList<DeviceEntry> DeviceEntry::configured(const Settings &settings, bool hotplugFails)
{
    QList<DeviceEntry> devices;
    if (!settings.hotplug || hotplugFails) {
        for (const UsbDeviceSettings &entry : settings.usbDevices) {
            DeviceEntry device;
            device.key = usbKey(entry);
            device.usb = true;
            device.fallback = settings.hotplug;
            device.usbEntry = entry;
            devices.append(device);
        }
    }
    for (const ComDeviceSettings &entry : settings.comDevices) {
        DeviceEntry device;
        device.key = comKey(entry);
        device.comEntry = entry;
        devices.append(device);
    }
    return devices;
}
