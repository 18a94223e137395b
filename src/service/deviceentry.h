#pragma once

#include "core/settings.h"

#include <QList>
#include <QString>

// A configured device as the service registers it: a USB or a serial entry,
// and the key that holds every field of it, so that a reload sees what
// changed.
struct DeviceEntry
{
    QString key;
    bool usb = false;
    // A configured USB device served while hot-plug detection fails.
    bool fallback = false;
    UsbDeviceSettings usbEntry;
    ComDeviceSettings comEntry;

    QString id() const { return usb ? usbEntry.id : comEntry.id; }

    static QString usbKey(const UsbDeviceSettings &entry);
    static QString comKey(const ComDeviceSettings &entry);
    // The devices settings asks for, USB ones first: the configured USB
    // devices only without hot-plug or while its detection fails.
    static QList<DeviceEntry> configured(const Settings &settings, bool hotplugFails);
};
