#include "service/reloaddiff.h"

#include <algorithm>

ReloadDiff ReloadDiff::compute(const QList<Running> &running, const QList<DeviceEntry> &pending, const Settings &fresh,
                               bool hotplugFails)
{
    ReloadDiff diff;
    // Hot-plugged pairs are not the configuration's business while hot-plug stays.
    QList<int> left;
    for (int i = 0; i < running.size(); ++i) {
        if (!running.at(i).hotplugged || !fresh.hotplug)
            left.append(i);
    }
    // Devices still waiting for registration from before are not news.
    QStringList waiting;
    for (const DeviceEntry &entry : pending)
        waiting.append(entry.key);
    QStringList started;
    for (const DeviceEntry &wanted : DeviceEntry::configured(fresh, hotplugFails)) {
        const auto match =
            std::find_if(left.begin(), left.end(), [&](int i) { return running.at(i).key == wanted.key; });
        if (match != left.end()) {
            left.erase(match);
            ++diff.unchanged;
            continue;
        }
        diff.start.append(wanted);
        if (waiting.removeOne(wanted.key))
            ++diff.unchanged;
        else
            started.append(wanted.id());
    }
    diff.stop = left;
    for (int i : std::as_const(left))
        diff.removed.append(running.at(i).id);
    for (const QString &id : std::as_const(started)) {
        if (diff.removed.contains(id))
            diff.changed.append(id);
        else
            diff.added.append(id);
    }
    for (const QString &id : std::as_const(diff.changed))
        diff.removed.removeAll(id);
    return diff;
}
