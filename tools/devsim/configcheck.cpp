#include "devsim/configcheck.h"

#include "core/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString usbAttached(const QString &port)
{
    // Bus and port path (1-4.2): the kernel lists it by that very name.
    if (port.contains(QLatin1Char('-')))
        return QFileInfo::exists(QStringLiteral("/sys/bus/usb/devices/") + port) ? QStringLiteral("attached")
                                                                               : QStringLiteral("not attached now");
    bool ok = false;
    uint product = port.toUInt(&ok, 16);
    if (!ok)
        product = 1;
    const QDir dir(QStringLiteral("/sys/bus/usb/devices"));
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile vendor(dir.filePath(name + QStringLiteral("/idVendor")));
        QFile productFile(dir.filePath(name + QStringLiteral("/idProduct")));
        if (!vendor.open(QIODevice::ReadOnly) || !productFile.open(QIODevice::ReadOnly))
            continue;
        if (vendor.readAll().trimmed() == "2912" && productFile.readAll().trimmed().toUInt(nullptr, 16) == product)
            return QStringLiteral("attached");
    }
    return QStringLiteral("not attached now");
}

} // namespace

bool ConfigCheck::check(const QString &path, QStringList *notes, QString *error)
{
    SettingsReport report;
    const Settings settings = readSettingsFrom(path, &report);
    if (!report.found) {
        *error = QStringLiteral("%1 does not exist").arg(path);
        return false;
    }
    if (!report.readable) {
        *error = QStringLiteral("%1 cannot be read").arg(path);
        return false;
    }
    if (!report.error.isEmpty()) {
        *error = QStringLiteral("%1:%2:%3: %4").arg(path).arg(report.line).arg(report.column).arg(report.error);
        return false;
    }

    int usable = 0;
    if (settings.hotplug) {
        ++usable;
        notes->append(QStringLiteral("hot-plug mode: every USB fiscal device is served as it is plugged in"));
    } else {
        for (const UsbDeviceSettings &usb : settings.usbDevices) {
            ++usable;
            notes->append(QStringLiteral("USB device [%1] at \"%2\": %3").arg(usb.id, usb.port, usbAttached(usb.port)));
        }
    }
    for (const ComDeviceSettings &com : settings.comDevices) {
        QStringList missing;
        if (com.dev.port.isEmpty() || !QFileInfo::exists(com.dev.port))
            missing << QStringLiteral("device port \"%1\"").arg(com.dev.port);
        if (com.app.port.isEmpty() || !QFileInfo::exists(com.app.port))
            missing << QStringLiteral("application port \"%1\"").arg(com.app.port);
        if (missing.isEmpty()) {
            ++usable;
            notes->append(QStringLiteral("serial device [%1], protocol %2: device %3, application %4")
                              .arg(com.id)
                              .arg(com.protocol)
                              .arg(com.dev.port, com.app.port));
        } else {
            notes->append(QStringLiteral("serial device [%1] cannot be served: no %2")
                              .arg(com.id, missing.join(QStringLiteral(" and no "))));
        }
    }
    notes->append(QStringLiteral("logs go to %1").arg(settings.logsDir));
    if (usable == 0) {
        *error = QStringLiteral("%1 names no usable device").arg(path);
        return false;
    }
    return true;
}
