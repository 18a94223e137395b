#include "service/configreport.h"

#include <algorithm>
#include <cstdio>

namespace {

QString deviceIds(const Settings &settings)
{
    QStringList usb;
    for (const UsbDeviceSettings &device : settings.usbDevices)
        usb.append(device.id);
    QStringList com;
    for (const ComDeviceSettings &device : settings.comDevices)
        com.append(device.id);
    if (usb.isEmpty() && com.isEmpty())
        return QStringLiteral("none");
    return QStringLiteral("USB [%1], serial [%2]")
        .arg(usb.join(QLatin1String(", ")), com.join(QLatin1String(", ")));
}

} // namespace

QString ConfigReport::comLine(const ComDeviceSettings &entry)
{
    return QStringLiteral("protocol %1, app %2 at %3, dev %4 at %5")
        .arg(entry.protocol)
        .arg(entry.app.port)
        .arg(entry.app.baudrate)
        .arg(entry.dev.port)
        .arg(entry.dev.baudrate);
}

QString ConfigReport::idList(QStringList ids)
{
    ids.removeDuplicates();
    return QLatin1Char('[') + ids.join(QLatin1String(", ")) + QLatin1Char(']');
}

QString ConfigReport::usbIds(const Settings &settings)
{
    QStringList ids;
    for (const UsbDeviceSettings &entry : settings.usbDevices)
        ids.append(entry.id);
    return idList(ids);
}

QList<ConfigReport::Line> ConfigReport::startLines(const SettingsReport &report, const Settings &settings)
{
    if (!report.found)
        return {{false, QStringLiteral("No configuration file found (looked for %1)").arg(report.path)}};
    if (!report.readable)
        return {{true, QStringLiteral("Cannot read configuration file %1: %2").arg(report.path, report.error)}};
    QList<Line> lines{{false, QStringLiteral("Configuration file %1").arg(report.path)}};
    if (!report.error.isEmpty()) {
        lines.append({true, QStringLiteral("Configuration file %1 is malformed at line %2, column %3: %4; "
                                           "devices read before the error: %5")
                                .arg(report.path)
                                .arg(report.line)
                                .arg(report.column)
                                .arg(report.error, deviceIds(settings))});
    }
    return lines;
}

QString ConfigReport::unusedBecause(const SettingsReport &report)
{
    if (!report.found)
        return QStringLiteral("it does not exist");
    if (!report.readable)
        return report.error;
    return QStringLiteral("malformed at line %1, column %2: %3").arg(report.line).arg(report.column).arg(report.error);
}

int ConfigReport::check(const QString &path)
{
    SettingsReport report;
    const Settings settings = readSettingsFrom(path, &report);
    QStringList out;
    out << QStringLiteral("Configuration file: %1").arg(path);
    bool usable = true;
    if (!report.found) {
        out << QStringLiteral("problem: the file does not exist");
        usable = false;
    } else if (!report.readable) {
        out << QStringLiteral("problem: cannot read the file: %1").arg(report.error);
        usable = false;
    }
    if (report.readable) {
        out << QStringLiteral("Hot-plug: %1").arg(settings.hotplug ? QStringLiteral("on (configured USB devices are ignored)")
                                                                   : QStringLiteral("off"));
        out << QStringLiteral("Log directory: %1").arg(settings.logsDir);
        const int count = int(settings.usbDevices.size() + settings.comDevices.size());
        out << QStringLiteral("Devices: %1").arg(count);
        for (const UsbDeviceSettings &d : settings.usbDevices)
            out << QStringLiteral("  USB     [%1] port %2").arg(d.id, d.port);
        for (const ComDeviceSettings &d : settings.comDevices)
            out << QStringLiteral("  serial  [%1] %2").arg(d.id, comLine(d));
        QList<SettingsProblem> found = report.problems;
        if (!report.error.isEmpty())
            found.append({report.line, report.column, report.error + QStringLiteral(" (nothing after it is read)")});
        std::stable_sort(found.begin(), found.end(), [](const SettingsProblem &a, const SettingsProblem &b) {
            return a.line != b.line ? a.line < b.line : a.column < b.column;
        });
        QStringList problems;
        for (const SettingsProblem &p : std::as_const(found))
            problems << QStringLiteral("line %1, column %2: %3").arg(p.line).arg(p.column).arg(p.message);
        out << QStringLiteral("Problems: %1").arg(problems.size());
        for (const QString &p : std::as_const(problems))
            out << QStringLiteral("  ") + p;
        const bool serves = settings.hotplug || !settings.comDevices.isEmpty() || !settings.usbDevices.isEmpty();
        if (!serves)
            out << QStringLiteral("problem: no device to serve");
        usable = problems.isEmpty() && serves;
    }
    out << (usable ? QStringLiteral("OK") : QStringLiteral("NOT OK"));
    const QByteArray text = out.join(QLatin1Char('\n')).toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
    return usable ? 0 : 1;
}
