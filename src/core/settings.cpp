#include "core/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QHash>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <sys/stat.h>

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

// The reader and what it finds wrong, with the place it found it.
struct Reading
{
    QXmlStreamReader &xml;
    QList<SettingsProblem> &problems;

    void problem(const QString &message) const
    {
        problems.append({xml.lineNumber(), xml.columnNumber(), message});
    }
    void unknown(const QString &name, const QString &inside) const
    {
        problem(QStringLiteral("unknown element <%1> in <%2>").arg(name, inside));
    }
};

// Runs handle() on every start element until the end tag named endName, the
// end of the document or an error. Returns whether the end tag was reached:
// a block that an error interrupted is incomplete.
template <typename Handler>
bool readBlock(QXmlStreamReader &xml, const QString &endName, Handler handle)
{
    xml.readNext();
    while (!xml.atEnd() && !xml.hasError()) {
        if (xml.isEndElement() && xml.name() == endName)
            return true;
        if (xml.isStartElement())
            handle(xml.name().toString());
        xml.readNext();
    }
    return false;
}

bool readPort(const Reading &r, const QString &endName, PortSettings *port)
{
    return readBlock(r.xml, endName, [&](const QString &name) {
        if (name == QLatin1String("port")) {
            port->port = elementText(r.xml);
        } else if (name == QLatin1String("baudrate")) {
            const QString text = elementText(r.xml);
            uint value = 0;
            const bool number = toUnsigned(text, &value);
            if (number)
                port->baudrate = int(value);
            if (!number || value == 0)
                r.problem(QStringLiteral("invalid baud rate \"%1\" in <%2>").arg(text, endName));
        } else {
            r.unknown(name, endName);
        }
    });
}

bool readComDevice(const Reading &r, ComDeviceSettings *device)
{
    return readBlock(r.xml, QStringLiteral("device"), [&](const QString &name) {
        if (name == QLatin1String("id")) {
            device->id = elementText(r.xml);
        } else if (name == QLatin1String("protocol")) {
            const QString text = elementText(r.xml);
            uint value = 0;
            if (toUnsigned(text, &value) && (value == 2 || value == 3))
                device->protocol = quint8(value);
            else
                r.problem(QStringLiteral("invalid protocol \"%1\" (2 or 3); protocol %2 is used")
                              .arg(text).arg(kDefaultSerialProtocol));
        } else if (name == QLatin1String("app")) {
            readPort(r, name, &device->app);
        } else if (name == QLatin1String("dev")) {
            readPort(r, name, &device->dev);
        } else {
            r.unknown(name, QStringLiteral("device"));
        }
    });
}

bool readUsbDevice(const Reading &r, UsbDeviceSettings *device)
{
    return readBlock(r.xml, QStringLiteral("device"), [&](const QString &name) {
        if (name == QLatin1String("id"))
            device->id = elementText(r.xml);
        else if (name == QLatin1String("port"))
            device->port = elementText(r.xml);
        else
            r.unknown(name, QStringLiteral("device"));
    });
}

void readLogs(const Reading &r, Settings *settings)
{
    readBlock(r.xml, QStringLiteral("logs"), [&](const QString &name) {
        if (name == QLatin1String("dir")) {
            settings->logsDir = elementText(r.xml);
        } else if (name == QLatin1String("journal")) {
            const QString level = elementText(r.xml);
            if (isJournalLevel(level))
                settings->journalLevel = level;
            else
                r.problem(QStringLiteral("invalid journal level \"%1\" (debug, info, warn or error)").arg(level));
        } else {
            r.unknown(name, QStringLiteral("logs"));
        }
    });
}

// A bus and port chain ("1-4.2") or a product id in hexadecimal ("a4").
bool usableUsbPort(const QString &port)
{
    static const QRegularExpression chain(QStringLiteral("^[0-9]+-[0-9]+(\\.[0-9]+)*$"));
    static const QRegularExpression product(QStringLiteral("^[0-9A-Fa-f]{1,4}$"));
    return chain.match(port).hasMatch() || product.match(port).hasMatch();
}

QString serialPortProblem(const QString &side, const QString &port)
{
    if (port.isEmpty())
        return QStringLiteral("no <%1> port").arg(side);
    if (port.trimmed() != port)
        return QStringLiteral("<%1> port \"%2\" has blanks around it").arg(side, port);
    return QString();
}

// Checks a complete device; place is where its element began.
void checkDevice(QList<SettingsProblem> &problems, const SettingsProblem &place, const QString &id,
                 QHash<QString, qint64> &seenIds, const QStringList &portProblems)
{
    auto add = [&](const QString &message) {
        problems.append({place.line, place.column, message});
    };
    if (id.isEmpty()) {
        add(QStringLiteral("device without id"));
    } else if (seenIds.contains(id)) {
        add(QStringLiteral("duplicate id \"%1\" (first at line %2)").arg(id).arg(seenIds.value(id)));
    } else {
        seenIds.insert(id, place.line);
    }
    for (const QString &text : portProblems) {
        if (!text.isEmpty())
            add(QStringLiteral("device \"%1\": %2").arg(id, text));
    }
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
        const Reading r{xml, local.problems};
        QHash<QString, qint64> seenIds;
        bool inRoot = false;
        while (!xml.atEnd() && !xml.hasError()) {
            xml.readNext();
            if (!xml.isStartElement())
                continue;
            const QString name = xml.name().toString();
            const SettingsProblem place{xml.lineNumber(), xml.columnNumber(), QString()};
            if (name == QLatin1String("hotplug")) {
                settings.hotplug = elementText(xml) == QLatin1String("auto");
            } else if (name == QLatin1String("device")) {
                // An entry that an error cut short is not served.
                if (xml.attributes().value(QLatin1String("type")) == QLatin1String("dalv")) {
                    ComDeviceSettings device;
                    if (readComDevice(r, &device)) {
                        settings.comDevices.append(device);
                        QStringList ports{serialPortProblem(QStringLiteral("app"), device.app.port),
                                          serialPortProblem(QStringLiteral("dev"), device.dev.port)};
                        if (!device.app.port.isEmpty() && device.app.port == device.dev.port)
                            ports.append(QStringLiteral("<app> and <dev> name the same port"));
                        checkDevice(local.problems, place, device.id, seenIds, ports);
                    }
                } else {
                    UsbDeviceSettings device;
                    if (readUsbDevice(r, &device)) {
                        settings.usbDevices.append(device);
                        const QString port = device.port.isEmpty()
                                                 ? QStringLiteral("no port")
                                                 : usableUsbPort(device.port)
                                                       ? QString()
                                                       : QStringLiteral("unusable port \"%1\" (a bus and "
                                                                        "port chain like 1-4.2, or a product "
                                                                        "id in hexadecimal)")
                                                             .arg(device.port);
                        checkDevice(local.problems, place, device.id, seenIds, {port});
                    }
                }
            } else if (name == QLatin1String("logs")) {
                settings.logsDir.clear();
                readLogs(r, &settings);
            } else if (name == QLatin1String("settings") && !inRoot) {
                inRoot = true;
            } else {
                r.unknown(name, QStringLiteral("settings"));
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

bool isJournalLevel(const QString &level)
{
    return level == QLatin1String("debug") || level == QLatin1String("info") || level == QLatin1String("warn")
           || level == QLatin1String("error");
}

Settings readSettings(SettingsReport *report)
{
    struct Stamp
    {
        bool exists = false;
        qint64 size = -1;
        qint64 modifiedNs = 0;
        quint64 inode = 0;
        bool operator==(const Stamp &o) const
        {
            return exists == o.exists && size == o.size && modifiedNs == o.modifiedNs && inode == o.inode;
        }
    };
    static QMutex mutex;
    static bool cached = false;
    static Stamp cachedStamp;
    static Settings cachedSettings;
    static SettingsReport cachedReport;

    const QString path = configFilePath();
    Stamp stamp;
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        stamp.exists = true;
        stamp.size = st.st_size;
        stamp.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        stamp.inode = st.st_ino;
    }
    QMutexLocker locker(&mutex);
    // A missing file is read every time: the default log directory it
    // leads to may appear.
    if (!cached || !stamp.exists || !(stamp == cachedStamp)) {
        cachedSettings = readSettingsFrom(path, &cachedReport);
        cachedStamp = stamp;
        cached = true;
    }
    if (report)
        *report = cachedReport;
    return cachedSettings;
}
