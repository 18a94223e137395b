#pragma once

#include <QList>
#include <QString>
#include <QStringList>

struct UsbDeviceSettings
{
    QString id;
    QString port;
    bool hotplugged = false;
};

// The rate of a port the settings leave open, and always that of the
// application's side of a serial device.
constexpr qint32 kStandardBaudRate = 115200;

struct PortSettings
{
    QString port;
    int baudrate = kStandardBaudRate;
};

// Entries that give no valid protocol are served by the protocol-3 proxy.
constexpr quint8 kDefaultSerialProtocol = 3;

struct ComDeviceSettings
{
    QString id;
    PortSettings app;
    PortSettings dev;
    quint8 protocol = kDefaultSerialProtocol;
};

struct Settings
{
    QList<UsbDeviceSettings> usbDevices;
    QList<ComDeviceSettings> comDevices;
    QString logsDir;
    // Lowest level of other loggers' lines that the journal gets ("warn"
    // when empty); see the log set-up.
    QString journalLevel;
    bool hotplug = false;
};

// Something in the file that the service would not use as written.
struct SettingsProblem
{
    qint64 line = 0;
    qint64 column = 0;
    QString message;
};

// Where the configuration was read from and what went wrong, for the
// service's start-up log (reading itself never reports anything).
struct SettingsReport
{
    QString path;
    bool found = false;      // the file exists
    bool readable = false;   // it could be opened
    QString error;           // parser message, or why the file could not be opened
    qint64 line = 0;
    qint64 column = 0;
    // Unknown elements, empty or duplicate ids, invalid values, unusable
    // port names; a parse error is in error/line/column, not here.
    QList<SettingsProblem> problems;
};

// Full path of settings.xml; computed on the first call, then kept.
QString configFilePath();

// Log directory used when the configuration names none (may create it).
QString defaultLogsDir();

// The choice behind configFilePath, without keeping the result: the
// executable's directory when it holds a marker, else the first of the
// candidate directories that exists, else the root directory.
QString findConfigFile(const QString &exeDir, const QStringList &candidateDirs);

// The choice behind defaultLogsDir: the first candidate that exists or can
// be created and is writable, else fallback (untested).
QString chooseLogsDir(const QStringList &candidates, const QString &fallback);

// Reads configFilePath(); never fails, a missing file gives empty lists.
// The file is parsed again only when it changed (size, time, inode):
// every device's workers ask for the log directory while registering.
Settings readSettings(SettingsReport *report = nullptr);

// Whether text names a journal level: "debug", "info", "warn" or "error".
bool isJournalLevel(const QString &level);

// Reads the given file, always; for tests and tools.
Settings readSettingsFrom(const QString &path, SettingsReport *report = nullptr);
