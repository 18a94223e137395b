#include "core/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QXmlStreamReader>

namespace {

const char *const kConfigFileName = "settings.xml";

// Moves to the token after the start tag and takes that token's text
// verbatim, whatever its kind; an empty element yields its end tag, whose
// text is empty.
QString elementText(QXmlStreamReader &xml)
{
    xml.readNext();
    return xml.text().toString();
}

bool toUnsigned(const QString &text, uint *value)
{
    bool ok = false;
    const uint v = text.toUInt(&ok, 10);
    if (ok)
        *value = v;
    return ok;
}

// Runs handle() on every start element until the end tag named endName, the
// end of the document or an error.
template <typename Handler>
void readBlock(QXmlStreamReader &xml, const QString &endName, Handler handle)
{
    xml.readNext();
    while (!xml.atEnd() && !xml.hasError()) {
        if (xml.isEndElement() && xml.name() == endName)
            return;
        if (xml.isStartElement())
            handle(xml.name().toString());
        xml.readNext();
    }
}

PortSettings readPort(QXmlStreamReader &xml, const QString &endName)
{
    PortSettings port;
    readBlock(xml, endName, [&](const QString &name) {
        if (name == QLatin1String("port")) {
            port.port = elementText(xml);
        } else if (name == QLatin1String("baudrate")) {
            uint value = 0;
            if (toUnsigned(elementText(xml), &value))
                port.baudrate = int(value);
        }
    });
    return port;
}

ComDeviceSettings readComDevice(QXmlStreamReader &xml)
{
    ComDeviceSettings device;
    readBlock(xml, QStringLiteral("device"), [&](const QString &name) {
        if (name == QLatin1String("id")) {
            device.id = elementText(xml);
        } else if (name == QLatin1String("protocol")) {
            uint value = 0;
            if (toUnsigned(elementText(xml), &value) && (value == 2 || value == 3))
                device.protocol = quint8(value);
        } else if (name == QLatin1String("app")) {
            device.app = readPort(xml, name);
        } else if (name == QLatin1String("dev")) {
            device.dev = readPort(xml, name);
        }
    });
    return device;
}

UsbDeviceSettings readUsbDevice(QXmlStreamReader &xml)
{
    UsbDeviceSettings device;
    readBlock(xml, QStringLiteral("device"), [&](const QString &name) {
        if (name == QLatin1String("id"))
            device.id = elementText(xml);
        else if (name == QLatin1String("port"))
            device.port = elementText(xml);
    });
    return device;
}

QString readLogs(QXmlStreamReader &xml)
{
    QString dir;
    readBlock(xml, QStringLiteral("logs"), [&](const QString &name) {
        if (name == QLatin1String("dir"))
            dir = elementText(xml);
    });
    return dir;
}

bool usableDir(const QString &path)
{
    QDir dir(path);
    if (!dir.exists() && !QDir().mkpath(path))
        return false;
    return QFileInfo(path).isDir() && QFileInfo(path).isWritable();
}

} // namespace

QString findConfigFile(const QString &exeDir, const QStringList &candidateDirs)
{
    QString configDir;
    if (QFileInfo::exists(exeDir + QLatin1String("/USE_LOCAL_CONFIGS"))
        || QFileInfo::exists(exeDir + QLatin1String("/USE_LOCAL_CONFIGS.txt"))) {
        configDir = exeDir;
    } else {
        for (const QString &candidate : candidateDirs) {
            if (QFileInfo(candidate).isDir()) {
                configDir = candidate;
                break;
            }
        }
    }
    return configDir + QLatin1Char('/') + QLatin1String(kConfigFileName);
}

QString configFilePath()
{
    static QMutex mutex;
    static QString path;
    QMutexLocker locker(&mutex);
    if (path.isEmpty()) {
        path = findConfigFile(QCoreApplication::applicationDirPath(),
                              {QDir::homePath() + QLatin1String("/.morv/Kiv"),
                               QStringLiteral("/etc/MORV/Kiv")});
    }
    return path;
}

QString chooseLogsDir(const QStringList &candidates, const QString &fallback)
{
    for (const QString &candidate : candidates) {
        if (usableDir(candidate))
            return candidate;
    }
    return fallback;
}

QString defaultLogsDir()
{
    return chooseLogsDir({QStringLiteral("/var/log/Kiv"),
                          QDir::homePath() + QLatin1String("/.morv/Kiv/logs")},
                         QCoreApplication::applicationDirPath() + QLatin1String("/logs"));
}

Settings readSettingsFrom(const QString &path, SettingsReport *report)
{
    Settings settings;
    SettingsReport local;
    local.path = path;
    local.found = QFileInfo::exists(path);

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (local.found)
            local.error = file.errorString();
    } else {
        local.readable = true;
        QXmlStreamReader xml(&file);
        while (!xml.atEnd() && !xml.hasError()) {
            xml.readNext();
            if (!xml.isStartElement())
                continue;
            const auto name = xml.name();
            if (name == QLatin1String("hotplug")) {
                settings.hotplug = elementText(xml) == QLatin1String("auto");
            } else if (name == QLatin1String("device")) {
                if (xml.attributes().value(QLatin1String("type")) == QLatin1String("dalv"))
                    settings.comDevices.append(readComDevice(xml));
                else
                    settings.usbDevices.append(readUsbDevice(xml));
            } else if (name == QLatin1String("logs")) {
                settings.logsDir = readLogs(xml);
            }
        }
        if (xml.hasError()) {
            local.error = xml.errorString();
            local.line = xml.lineNumber();
            local.column = xml.columnNumber();
        }
    }

    if (settings.logsDir.isEmpty())
        settings.logsDir = defaultLogsDir();
    if (report)
        *report = local;
    return settings;
}

Settings readSettings(SettingsReport *report)
{
    return readSettingsFrom(configFilePath(), report);
}
