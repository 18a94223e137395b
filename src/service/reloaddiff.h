#pragma once

#include "service/deviceentry.h"

#include <QList>
#include <QString>
#include <QStringList>

// What a reload changes, worked out before any pair is touched: the devices
// the fresh settings ask for against the pairs running and the devices
// still waiting for their registration.
struct ReloadDiff
{
    // A pair running and not stopping.
    struct Running
    {
        QString key;
        QString id;
        bool hotplugged = false;
    };

    // The registrations to wait for, in order; they replace the pending ones.
    QList<DeviceEntry> start;
    // Positions in running of the pairs to stop.
    QList<int> stop;
    // Ids; a device stopped and started again under its id is changed.
    QStringList added;
    QStringList removed;
    QStringList changed;
    int unchanged = 0;

    // hotplugFails: detection is on but does not run, so the configured USB
    // devices are served. Hot-plugged pairs stay while fresh keeps hot-plug.
    static ReloadDiff compute(const QList<Running> &running, const QList<DeviceEntry> &pending, const Settings &fresh,
                              bool hotplugFails);
};
