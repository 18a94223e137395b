// The status line the service manager shows, from device states.
#include "service/statussummary.h"

#include <QtTest>

class TestStatusSummary : public QObject
{
    Q_OBJECT

private slots:
    void text_data()
    {
        QTest::addColumn<QStringList>("devices"); // "id=state"
        QTest::addColumn<QStringList>("stalled");
        QTest::addColumn<QString>("text");
        QTest::newRow("none") << QStringList() << QStringList() << "0 devices";
        QTest::newRow("one") << QStringList{"a4=ready"} << QStringList() << "1 device: 1 ready";
        QTest::newRow("absent named, good first")
            << QStringList{"kkt-com3=absent", "a4=ready", "b2=ready"} << QStringList()
            << "3 devices: 2 ready, 1 absent (kkt-com3)";
        QTest::newRow("many absent, few named")
            << QStringList{"a=absent", "b=absent", "c=absent", "d=absent", "e=exchanging"} << QStringList()
            << "5 devices: 1 exchanging, 4 absent (a, b, c, …)";
        QTest::newRow("stalled first") << QStringList{"a4=ready"} << QStringList{"USB-a4-read"}
                                       << "STALLED USB-a4-read; 1 device: 1 ready";
    }

    void text()
    {
        QFETCH(QStringList, devices);
        QFETCH(QStringList, stalled);
        QFETCH(QString, text);
        StatusSummary summary;
        for (const QString &device : devices)
            summary.setDevice(device.section('=', 0, 0), device.section('=', 1));
        summary.setStalled(stalled);
        QCOMPARE(summary.text(), text);
        // A device that goes is no longer counted.
        if (!devices.isEmpty()) {
            summary.removeDevice(devices.first().section('=', 0, 0));
            QVERIFY(!summary.text().contains(QStringLiteral("%1 device").arg(devices.size())));
        }
    }
};

QTEST_GUILESS_MAIN(TestStatusSummary)
#include "tst_statussummary.moc"
