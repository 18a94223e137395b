// The configuration reader over real files.
#include "core/settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class Files
{
public:
    bool write(const QString &name, const QByteArray &text)
    {
        QFileInfo info(path(name));
        QDir().mkpath(info.path());
        QFile file(info.filePath());
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    }
    QString path(const QString &name) const { return dir.filePath(name); }
    Settings read(const QByteArray &text, SettingsReport *report = nullptr)
    {
        write(QStringLiteral("settings.xml"), text);
        return readSettingsFrom(path(QStringLiteral("settings.xml")), report);
    }

    QTemporaryDir dir;
};

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT
private slots:
    void typicalFile()
    {
        Files files;
        SettingsReport report;
        const Settings s = files.read(R"(<?xml version="1.0" encoding="UTF-8"?>
<settings>
  <hotplug>off</hotplug>
  <logs><dir>/tmp/kiv-logs</dir></logs>
  <device><id>usb1</id><port>1-4.2</port></device>
  <device type="dalv">
    <id>com1</id><protocol>2</protocol>
    <app><port>/dev/ttyS0</port><baudrate>9600</baudrate></app>
    <dev><port>/dev/ttyUSB0</port><baudrate>57600</baudrate></dev>
  </device>
  <device type="dalv"><id>Касса-2</id><protocol>3</protocol></device>
</settings>
)", &report);
        QVERIFY(report.found);
        QVERIFY(report.readable);
        QVERIFY2(report.error.isEmpty(), qPrintable(report.error));
        QVERIFY(!s.hotplug);
        QCOMPARE(s.logsDir, QStringLiteral("/tmp/kiv-logs"));
        QCOMPARE(s.usbDevices.size(), 1);
        QCOMPARE(s.usbDevices[0].id, QStringLiteral("usb1"));
        QCOMPARE(s.usbDevices[0].port, QStringLiteral("1-4.2"));
        QVERIFY(!s.usbDevices[0].hotplugged);
        QCOMPARE(s.comDevices.size(), 2);
        const ComDeviceSettings &c = s.comDevices[0];
        QCOMPARE(c.id, QStringLiteral("com1"));
        QCOMPARE(int(c.protocol), 2);
        QCOMPARE(c.app.port, QStringLiteral("/dev/ttyS0"));
        QCOMPARE(c.app.baudrate, 9600);
        QCOMPARE(c.dev.port, QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(c.dev.baudrate, 57600);
        // Missing port blocks: empty names, 115200.
        const ComDeviceSettings &d = s.comDevices[1];
        QCOMPARE(d.id, QStringLiteral("Касса-2"));
        QCOMPARE(int(d.protocol), 3);
        QVERIFY(d.app.port.isEmpty());
        QCOMPARE(d.app.baudrate, 115200);
        QCOMPARE(d.dev.baudrate, 115200);
    }

    void hotplugNeedsExactlyAuto_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("hotplug");
        QTest::newRow("auto") << QByteArray("<hotplug>auto</hotplug>") << true;
        QTest::newRow("blanks") << QByteArray("<hotplug> auto </hotplug>") << false;
        QTest::newRow("case") << QByteArray("<hotplug>Auto</hotplug>") << false;
        QTest::newRow("other") << QByteArray("<hotplug>on</hotplug>") << false;
        QTest::newRow("empty") << QByteArray("<hotplug/>") << false;
        QTest::newRow("later wins off") << QByteArray("<hotplug>auto</hotplug><hotplug>no</hotplug>") << false;
        QTest::newRow("later wins on") << QByteArray("<hotplug>no</hotplug><hotplug>auto</hotplug>") << true;
        QTest::newRow("nested") << QByteArray("<a><b><hotplug>auto</hotplug></b></a>") << true;
        QTest::newRow("inside device") << QByteArray("<device><hotplug>auto</hotplug></device>") << false;
    }

    void hotplugNeedsExactlyAuto()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, hotplug);
        Files files;
        QCOMPARE(files.read("<settings>" + body + "</settings>").hotplug, hotplug);
    }

    void onlyExactDalvIsSerial_data()
    {
        QTest::addColumn<QByteArray>("attributes");
        QTest::addColumn<bool>("serial");
        QTest::newRow("dalv") << QByteArray(" type=\"dalv\"") << true;
        QTest::newRow("none") << QByteArray() << false;
        QTest::newRow("Dalv") << QByteArray(" type=\"Dalv\"") << false;
        QTest::newRow("DALV") << QByteArray(" type=\"DALV\"") << false;
        QTest::newRow("blank") << QByteArray(" type=\"dalv \"") << false;
        QTest::newRow("usb") << QByteArray(" type=\"usb\"") << false;
        QTest::newRow("other attribute") << QByteArray(" kind=\"dalv\"") << false;
    }

    void onlyExactDalvIsSerial()
    {
        QFETCH(QByteArray, attributes);
        QFETCH(bool, serial);
        Files files;
        const Settings s = files.read("<settings><device" + attributes + "><id>x</id></device></settings>");
        QCOMPARE(s.comDevices.size(), serial ? 1 : 0);
        QCOMPARE(s.usbDevices.size(), serial ? 0 : 1);
    }

    void valuesAreTakenVerbatim()
    {
        Files files;
        const Settings s = files.read(
            "<settings>"
            "<device><id> spaced id </id><port>  1-2  </port></device>"
            "<device type=\"dalv\"><id>c</id><app><port> /dev/ttyS1 </port></app></device>"
            "<device><id/><port></port></device>"
            "<device><id>a&amp;b</id></device>"
            "</settings>");
        QCOMPARE(s.usbDevices.size(), 3);
        QCOMPARE(s.usbDevices[0].id, QStringLiteral(" spaced id "));
        QCOMPARE(s.usbDevices[0].port, QStringLiteral("  1-2  "));
        QCOMPARE(s.comDevices[0].app.port, QStringLiteral(" /dev/ttyS1 "));
        QVERIFY(s.usbDevices[1].id.isEmpty());
        QVERIFY(s.usbDevices[1].port.isEmpty());
        QVERIFY(s.usbDevices[2].id.startsWith(QLatin1Char('a')));
    }

    void numbers_data()
    {
        QTest::addColumn<QByteArray>("protocol");
        QTest::addColumn<int>("expectedProtocol");
        QTest::addColumn<QByteArray>("baudrate");
        QTest::addColumn<int>("expectedBaudrate");
        const int def = kDefaultSerialProtocol;
        QTest::newRow("valid") << QByteArray("2") << 2 << QByteArray("9600") << 9600;
        QTest::newRow("zero baud") << QByteArray("3") << 3 << QByteArray("0") << 0;
        QTest::newRow("words") << QByteArray("two") << def << QByteArray("fast") << 115200;
        QTest::newRow("negative") << QByteArray("-2") << def << QByteArray("-9600") << 115200;
        QTest::newRow("out of range") << QByteArray("4") << def << QByteArray("9600x") << 115200;
        QTest::newRow("hex") << QByteArray("0x2") << def << QByteArray("0x2580") << 115200;
        QTest::newRow("empty") << QByteArray("") << def << QByteArray("") << 115200;
        QTest::newRow("one") << QByteArray("1") << def << QByteArray("1") << 1;
    }

    void numbers()
    {
        QFETCH(QByteArray, protocol);
        QFETCH(int, expectedProtocol);
        QFETCH(QByteArray, baudrate);
        QFETCH(int, expectedBaudrate);
        Files files;
        const Settings s = files.read("<settings><device type=\"dalv\"><protocol>" + protocol
                                      + "</protocol><dev><baudrate>" + baudrate
                                      + "</baudrate></dev></device></settings>");
        QCOMPARE(s.comDevices.size(), 1);
        QCOMPARE(int(s.comDevices[0].protocol), expectedProtocol);
        QCOMPARE(s.comDevices[0].dev.baudrate, expectedBaudrate);
        QCOMPARE(s.comDevices[0].app.baudrate, 115200);
    }

    void invalidValueKeepsTheEarlierOne()
    {
        Files files;
        const Settings s = files.read(
            "<settings><device type=\"dalv\"><protocol>2</protocol><protocol>9</protocol>"
            "<app><baudrate>19200</baudrate><baudrate>x</baudrate></app></device></settings>");
        QCOMPARE(int(s.comDevices[0].protocol), 2);
        QCOMPARE(s.comDevices[0].app.baudrate, 19200);
    }

    void nestingIsFree()
    {
        Files files;
        const Settings s = files.read(
            "<root><group><settings><more>"
            "<device><wrap><id>deep</id><x><port>5-1</port></x></wrap><protocol>2</protocol></device>"
            "<device type=\"dalv\"><port>ignored</port><id>c</id>"
            "<box><app><inner><port>/dev/a</port></inner></app></box></device>"
            "</more></settings></group>"
            "<logs><dir>/first</dir><sub><dir>/second</dir></sub></logs>"
            "</root>");
        QCOMPARE(s.usbDevices.size(), 1);
        QCOMPARE(s.usbDevices[0].id, QStringLiteral("deep"));
        QCOMPARE(s.usbDevices[0].port, QStringLiteral("5-1"));
        QCOMPARE(s.comDevices.size(), 1);
        QCOMPARE(s.comDevices[0].app.port, QStringLiteral("/dev/a"));
        QVERIFY(s.comDevices[0].dev.port.isEmpty());
        QCOMPARE(s.logsDir, QStringLiteral("/second"));
    }

    void sameIdTwiceGivesTwoEntries()
    {
        Files files;
        const Settings s = files.read("<settings><device><id>a</id></device><device><id>a</id></device></settings>");
        QCOMPARE(s.usbDevices.size(), 2);
    }

    void logsBlock()
    {
        Files files;
        // The later block replaces the earlier, even without a "dir".
        Settings s = files.read("<settings><logs><dir>/a</dir></logs><logs><dir>/b</dir></logs></settings>");
        QCOMPARE(s.logsDir, QStringLiteral("/b"));
        s = files.read("<settings><logs><dir>/a</dir></logs><logs/></settings>");
        QCOMPARE(s.logsDir, defaultLogsDir());
        s = files.read("<settings/>");
        QCOMPARE(s.logsDir, defaultLogsDir());
    }

    void truncatedFileKeepsWhatWasRead()
    {
        Files files;
        SettingsReport report;
        const Settings s = files.read("<settings>\n"
                                      "<device><id>whole</id><port>1-1</port></device>\n"
                                      "<device type=\"dalv\"><id>cut</id><protocol>2</protocol>\n"
                                      "<app><port>/dev/ttyS3</port>",
                                      &report);
        // The entry the end cut short is not served.
        QCOMPARE(s.usbDevices.size(), 1);
        QCOMPARE(s.comDevices.size(), 0);
        QVERIFY(report.readable);
        QVERIFY(!report.error.isEmpty());
        QVERIFY(report.line >= 4);
    }

    void malformedFileReportsPlace()
    {
        Files files;
        SettingsReport report;
        const Settings s = files.read("<settings>\n"
                                      "  <device><id>ok</id></device>\n"
                                      "  <device><id>bad</wrong></device>\n"
                                      "  <device><id>never</id></device>\n"
                                      "</settings>\n",
                                      &report);
        QCOMPARE(report.line, 3);
        QVERIFY(report.column > 0);
        QVERIFY2(!report.error.isEmpty(), "parser message expected");
        QCOMPARE(s.usbDevices.size(), 1);
        QCOMPARE(s.usbDevices[0].id, QStringLiteral("ok"));
        QVERIFY(!s.logsDir.isEmpty());
    }

    void missingFile()
    {
        Files files;
        SettingsReport report;
        const Settings s = readSettingsFrom(files.path(QStringLiteral("none.xml")), &report);
        QVERIFY(!report.found);
        QVERIFY(!report.readable);
        QVERIFY(s.usbDevices.isEmpty() && s.comDevices.isEmpty());
        QVERIFY(!s.hotplug);
        QCOMPARE(s.logsDir, defaultLogsDir());
    }

    void unreadableFile()
    {
        Files files;
        // A directory in place of the file cannot be read as one, even by root.
        QVERIFY(QDir().mkpath(files.path(QStringLiteral("settings.xml"))));
        SettingsReport report;
        const Settings s = readSettingsFrom(files.path(QStringLiteral("settings.xml")), &report);
        QVERIFY(report.found);
        QVERIFY(!report.readable);
        QVERIFY(!report.error.isEmpty());
        QVERIFY(s.usbDevices.isEmpty());
        if (::geteuid() != 0) {
            QVERIFY(files.write(QStringLiteral("locked.xml"), "<settings><device/></settings>"));
            QVERIFY(::chmod(QFile::encodeName(files.path(QStringLiteral("locked.xml"))).constData(), 0) == 0);
            const Settings locked = readSettingsFrom(files.path(QStringLiteral("locked.xml")), &report);
            QVERIFY(report.found && !report.readable && !report.error.isEmpty());
            QVERIFY(locked.usbDevices.isEmpty());
        }
    }

    void problemsAreFoundWithTheirPlace_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown top element") << QByteArray("<hotplugs>auto</hotplugs>") << 2 << "unknown element <hotplugs>";
        QTest::newRow("unknown in device") << QByteArray("<device><id>a</id><port>9-1</port><prot>2</prot></device>") << 2
                                           << "unknown element <prot> in <device>";
        QTest::newRow("empty id") << QByteArray("<device><id></id><port>1-1</port></device>") << 2 << "device without id";
        QTest::newRow("no id") << QByteArray("<device><port>1-1</port></device>") << 2 << "device without id";
        QTest::newRow("duplicate id") << QByteArray("<device><id>a</id><port>1-1</port></device>\n"
                                                    "<device type=\"dalv\"><id>a</id><app><port>/dev/a</port></app>"
                                                    "<dev><port>/dev/b</port></dev></device>")
                                      << 3 << "duplicate id \"a\" (first at line 2)";
        QTest::newRow("protocol") << QByteArray("<device type=\"dalv\"><id>s</id><protocol>4</protocol>"
                                                "<app><port>/dev/a</port></app><dev><port>/dev/b</port></dev></device>")
                                  << 2 << "invalid protocol \"4\"";
        QTest::newRow("baud rate") << QByteArray("<device type=\"dalv\"><id>s</id><app><port>/dev/a</port>"
                                                 "<baudrate>fast</baudrate></app><dev><port>/dev/b</port></dev></device>")
                                   << 2 << "invalid baud rate \"fast\" in <app>";
        QTest::newRow("usb port") << QByteArray("<device><id>u</id><port>1-4/2</port></device>") << 2 << "unusable port \"1-4/2\"";
        QTest::newRow("usb no port") << QByteArray("<device><id>u</id></device>") << 2 << "device \"u\": no port";
        QTest::newRow("serial blanks") << QByteArray("<device type=\"dalv\"><id>s</id><app><port> /dev/a</port></app>"
                                                     "<dev><port>/dev/b</port></dev></device>")
                                       << 2 << "<app> port \" /dev/a\" has blanks around it";
        QTest::newRow("serial no dev") << QByteArray("<device type=\"dalv\"><id>s</id><app><port>/dev/a</port></app></device>")
                                       << 2 << "no <dev> port";
        QTest::newRow("journal") << QByteArray("<logs><journal>all</journal></logs>") << 2 << "invalid journal level";
    }

    void problemsAreFoundWithTheirPlace()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, line);
        QFETCH(QString, message);
        Files files;
        SettingsReport report;
        files.read("<settings>\n" + body + "\n</settings>\n", &report);
        QVERIFY2(report.error.isEmpty(), qPrintable(report.error));
        QCOMPARE(report.problems.size(), 1);
        QCOMPARE(report.problems[0].line, line);
        QVERIFY(report.problems[0].column > 0);
        QVERIFY2(report.problems[0].message.contains(message), qPrintable(report.problems[0].message));
    }

    void usableFileHasNoProblems()
    {
        Files files;
        SettingsReport report;
        const Settings s = files.read("<settings><hotplug>off</hotplug><logs><dir>/tmp/l</dir><journal>info</journal></logs>"
                                      "<device><id>a</id><port>1-4.2</port></device>"
                                      "<device><id>b</id><port>a4</port></device>"
                                      "<device type=\"dalv\"><id>c</id><protocol>2</protocol>"
                                      "<app><port>/dev/a</port><baudrate>9600</baudrate></app>"
                                      "<dev><port>/dev/b</port></dev></device></settings>",
                                      &report);
        QVERIFY(report.problems.isEmpty());
        QCOMPARE(s.journalLevel, QStringLiteral("info"));
        QCOMPARE(s.usbDevices.size() + s.comDevices.size(), 3);
    }

    void configLocation()
    {
        Files files;
        const QString exe = files.path(QStringLiteral("bin"));
        const QString home = files.path(QStringLiteral("home/.morv/Kiv"));
        const QString etc = files.path(QStringLiteral("etc/MORV/Kiv"));
        QVERIFY(QDir().mkpath(exe));
        const QStringList candidates{home, etc};

        // Neither exists: the root directory's file.
        QCOMPARE(findConfigFile(exe, candidates), QStringLiteral("/settings.xml"));
        QVERIFY(QDir().mkpath(etc));
        QCOMPARE(findConfigFile(exe, candidates), etc + QStringLiteral("/settings.xml"));
        QVERIFY(QDir().mkpath(home));
        QCOMPARE(findConfigFile(exe, candidates), home + QStringLiteral("/settings.xml"));
        // A file where a directory belongs does not count.
        QVERIFY(files.write(QStringLiteral("plain"), "x"));
        QCOMPARE(findConfigFile(exe, {files.path(QStringLiteral("plain")), etc}),
                 etc + QStringLiteral("/settings.xml"));

        // Either marker, of any kind, selects the executable's directory.
        QVERIFY(files.write(QStringLiteral("bin/USE_LOCAL_CONFIGS.txt"), ""));
        QCOMPARE(findConfigFile(exe, candidates), exe + QStringLiteral("/settings.xml"));
        QVERIFY(QFile::remove(files.path(QStringLiteral("bin/USE_LOCAL_CONFIGS.txt"))));
        QVERIFY(QDir().mkpath(files.path(QStringLiteral("bin/USE_LOCAL_CONFIGS"))));
        QCOMPARE(findConfigFile(exe, candidates), exe + QStringLiteral("/settings.xml"));
        QVERIFY(QDir().rmdir(files.path(QStringLiteral("bin/USE_LOCAL_CONFIGS"))));
        QCOMPARE(findConfigFile(exe, candidates), home + QStringLiteral("/settings.xml"));
        // Other spellings are no markers.
        QVERIFY(files.write(QStringLiteral("bin/use_local_configs"), ""));
        QCOMPARE(findConfigFile(exe, candidates), home + QStringLiteral("/settings.xml"));
    }

    void configFilePathIsKept()
    {
        const QString first = configFilePath();
        QVERIFY(first.endsWith(QLatin1String("/settings.xml")));
        QCOMPARE(configFilePath(), first);
    }

    void logsDirectoryChoice()
    {
        Files files;
        QVERIFY(files.write(QStringLiteral("file"), "x"));
        // A candidate below a plain file can never be created.
        const QString impossible = files.path(QStringLiteral("file/Kiv"));
        const QString home = files.path(QStringLiteral("home/.morv/Kiv/logs"));
        const QString fallback = files.path(QStringLiteral("exe/logs"));
        QCOMPARE(chooseLogsDir({impossible, home}, fallback), home);
        QVERIFY(QFileInfo(home).isDir());
        QCOMPARE(chooseLogsDir({impossible}, fallback), fallback);
        QVERIFY(!QFileInfo::exists(fallback));
        const QString existing = files.path(QStringLiteral("var"));
        QVERIFY(QDir().mkpath(existing));
        QCOMPARE(chooseLogsDir({existing, home}, fallback), existing);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
