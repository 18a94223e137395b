// What a reload starts and stops, from the running pairs, the pending
// registrations and the fresh settings; no thread runs.
#include "service/reloaddiff.h"

#include <QtTest>

namespace {

// "u:id:port" a configured USB device, "h:id:port" a hot-plugged one,
// "s:id:baud" a serial one.
Settings devices(const QStringList &specs, bool hotplug = false)
{
    Settings settings;
    settings.hotplug = hotplug;
    for (const QString &spec : specs) {
        const QStringList f = spec.split(':');
        if (f.at(0) == QLatin1String("s")) {
            ComDeviceSettings com;
            com.id = f.at(1);
            com.app.port = QStringLiteral("/dev/ttyS1");
            com.dev.port = QStringLiteral("/dev/ttyS2");
            com.dev.baudrate = f.at(2).toInt();
            settings.comDevices.append(com);
        } else {
            settings.usbDevices.append({f.at(1), f.at(2), f.at(0) == QLatin1String("h")});
        }
    }
    return settings;
}

QList<DeviceEntry> entries(const QStringList &specs)
{
    return DeviceEntry::configured(devices(specs), false);
}

} // namespace

class TestReloadDiff : public QObject
{
    Q_OBJECT

private slots:
    void compute_data()
    {
        QTest::addColumn<QStringList>("running");
        QTest::addColumn<QStringList>("pending");
        QTest::addColumn<QStringList>("fresh");
        QTest::addColumn<bool>("hotplug");
        QTest::addColumn<bool>("hotplugFails");
        QTest::addColumn<QStringList>("start"); // ids, "*" for a fallback
        QTest::addColumn<QString>("stop"); // positions in running
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<QStringList>("changed");
        QTest::addColumn<int>("unchanged");

        const QStringList none;
        QTest::newRow("first devices") << none << none << QStringList{"u:a:1-1", "s:b:9600"} << false << false
                                       << QStringList{"a", "b"} << "" << QStringList{"a", "b"} << none
                                       << none << 0;
        QTest::newRow("same devices") << QStringList{"u:a:1-1", "s:b:9600"} << none
                                      << QStringList{"s:b:9600", "u:a:1-1"} << false << false << none << ""
                                      << none << none << none << 2;
        QTest::newRow("usb port and serial speed changed")
            << QStringList{"u:a:1-1", "s:b:9600"} << none << QStringList{"u:a:1-2", "s:b:115200"} << false << false
            << QStringList{"a", "b"} << "0 1" << none << none << QStringList{"a", "b"} << 0;
        QTest::newRow("one gone, one new") << QStringList{"u:a:1-1", "u:c:1-3"} << none
                                           << QStringList{"u:a:1-1", "u:d:1-4"} << false << false << QStringList{"d"}
                                           << "1" << QStringList{"d"} << QStringList{"c"} << none << 1;
        QTest::newRow("pending are not news") << none << QStringList{"u:a:1-1", "u:x:9-9"}
                                              << QStringList{"u:a:1-1", "u:e:2-1"} << false << false
                                              << QStringList{"a", "e"} << "" << QStringList{"e"} << none
                                              << none << 1;
        QTest::newRow("two pairs of one entry: one stays")
            << QStringList{"u:a:1-1", "u:a:1-1"} << none << QStringList{"u:a:1-1"} << false << false << none
            << "1" << none << QStringList{"a"} << none << 1;
        QTest::newRow("hot-plugged pair stays with hot-plug")
            << QStringList{"h:3-1:3-1"} << none << QStringList{"s:b:9600"} << true << false << QStringList{"b"}
            << "" << QStringList{"b"} << none << none << 0;
        QTest::newRow("hot-plug off ends hot-plugged pairs")
            << QStringList{"h:3-1:3-1"} << none << QStringList{"u:a:1-1"} << false << false << QStringList{"a"}
            << "0" << QStringList{"a"} << QStringList{"3-1"} << none << 0;
        QTest::newRow("hot-plug on ends configured usb")
            << QStringList{"u:a:1-1"} << none << QStringList{"u:a:1-1"} << true << false << none << "0"
            << none << QStringList{"a"} << none << 0;
        QTest::newRow("failing hot-plug keeps configured usb")
            << QStringList{"u:a:1-1"} << none << QStringList{"u:a:1-1", "u:f:1-5"} << true << true
            << QStringList{"f*"} << "" << QStringList{"f"} << none << none << 1;
    }

    void compute()
    {
        QFETCH(QStringList, running);
        QFETCH(QStringList, pending);
        QFETCH(QStringList, fresh);
        QFETCH(bool, hotplug);
        QFETCH(bool, hotplugFails);
        QList<ReloadDiff::Running> pairs;
        for (const QString &spec : running) {
            const DeviceEntry entry = DeviceEntry::configured(devices({spec}), false).first();
            pairs.append({entry.key, entry.id(), entry.usbEntry.hotplugged});
        }
        const ReloadDiff diff = ReloadDiff::compute(pairs, entries(pending), devices(fresh, hotplug), hotplugFails);
        QStringList started;
        for (const DeviceEntry &entry : diff.start)
            started.append(entry.id() + (entry.fallback ? QStringLiteral("*") : QString()));
        QTEST(started, "start");
        QStringList stopped;
        for (int i : diff.stop)
            stopped.append(QString::number(i));
        QTEST(stopped.join(' '), "stop");
        QTEST(diff.added, "added");
        QTEST(diff.removed, "removed");
        QTEST(diff.changed, "changed");
        QTEST(diff.unchanged, "unchanged");
    }
};

QTEST_GUILESS_MAIN(TestReloadDiff)
#include "tst_reloaddiff.moc"
