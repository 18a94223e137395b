// Real USB workers paired by the service with real OFD workers.
#include "service/service.h"
#include "usb/usbworker.h"

#include "logcapture.h"
#include "simusbcontrol.h"

#include <QDir>
#include <QPointer>
#include <QtTest>

namespace {

const int kWait = 20000;

char arg0[] = "kiv";
char *argv0[] = {arg0, nullptr};

class UsbService : public Service
{
public:
    UsbService() : Service(1, argv0) {}
    bool busy() const { return hasRunningWork(); }

    int lostPauseMs = 200;

protected:
    IPortWorker *createUsbWorker(const UsbDeviceSettings &entry) override
    {
        auto *worker = new UsbWorker(entry);
        worker->setPauses(100, lostPauseMs);
        return worker;
    }
};

UsbDeviceSettings entry(const QString &id, bool hotplugged)
{
    UsbDeviceSettings e;
    e.id = id;
    e.port = id;
    e.hotplugged = hotplugged;
    return e;
}

} // namespace

class TestUsbPair : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(sim.load(), sim.error.constData()); }
    void init()
    {
        sim.reset();
        baseContexts = sim.live_contexts();
    }
    void cleanup()
    {
        QCOMPARE(sim.live_handles(), 0);
        QCOMPARE(sim.live_contexts(), baseContexts);
        QCOMPARE(sim.device_refs(), 0);
    }

    void hotpluggedWorkerGivingUpEndsThePair()
    {
        UsbService service;
        service.registerUsbWorker(entry("3-1", true));
        QCOMPARE(service.portWorkers().size(), 1);
        QPointer<IPortWorker> port = service.portWorkers().at(0);
        QPointer<IWorker> ofd = service.ofdWorkers().at(0);
        QVERIFY(port && ofd);
        QPointer<QThread> portThread = port->thread();
        QPointer<QThread> ofdThread = ofd->thread();
        // The device never shows up: three attempts, then both workers and
        // both threads are gone.
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(port.isNull() && ofd.isNull(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(portThread.isNull() && ofdThread.isNull(), kWait);
        // Nothing of the pair is kept.
        QTRY_COMPARE_WITH_TIMEOUT(service.pairCount(), 0, kWait);
    }

    void replugDuringThePauseKeepsOnePair()
    {
        const int dev = sim.add_device(1, "2", 0x2912, 0xa4);
        LogCapture worker("USB-1-2");
        LogCapture kiv("Kiv");
        UsbService service;
        // Longer than the test: only the arrival can end it.
        service.lostPauseMs = 600000;
        const QMap<QString, QString> arrival{{"Dev", "1-2"}};
        service.onDeviceArrived(arrival);
        QTRY_COMPARE_WITH_TIMEOUT(sim.open_count(dev), 1, kWait);
        for (int round = 2; round <= 3; ++round) {
            sim.unplug(dev);
            QTRY_COMPARE_WITH_TIMEOUT(worker.count("ERROR|error: -4"), round - 1, kWait);
            sim.plug(dev);
            service.onDeviceArrived(arrival);
            QTRY_COMPARE_WITH_TIMEOUT(sim.open_count(dev), round, kWait);
        }
        QCOMPARE(service.pairCount(), 1);
        QCOMPARE(kiv.count("INFO|Register Kiv worker [1-2]"), 1);
        QCOMPARE(kiv.count("INFO|Device 1-2 is back: its running worker opens it again"), 2);
        service.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(service.pairCount(), 0, kWait);
    }

    void failedHotplugServesConfiguredDevicesUntilItWorks()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QByteArray oldHome = qgetenv("HOME");
        auto restoreHome = qScopeGuard([&] { qputenv("HOME", oldHome); });
        qputenv("HOME", home.path().toLocal8Bit());
        QVERIFY(QDir().mkpath(home.path() + "/.morv/Kiv"));
        QFile settings(home.path() + "/.morv/Kiv/settings.xml");
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write("<?xml version=\"1.0\"?>\n<settings><hotplug>auto</hotplug><logs><dir>" + home.path().toUtf8()
                       + "/logs</dir></logs><device><id>cfg</id><port>1-2</port></device></settings>\n");
        settings.close();

        const int dev = sim.add_device(1, "2", 0x2912, 0xa4);
        sim.set_register_result(LIBUSB_ERROR_ACCESS);
        LogCapture kiv("Kiv");
        UsbService service;
        service.setHotplugRetry(20, 40);
        service.start();
        QVERIFY(service.hotplugFallback());
        QCOMPARE(kiv.lines().filter("ERROR|"),
                 QStringList{"ERROR|Hot-plug detection failed at callback registration: libusb error -3 (Access "
                             "denied (insufficient permissions)); serving the configured USB devices [cfg] instead, "
                             "next attempt in 0.02 s"});
        QTRY_COMPARE_WITH_TIMEOUT(sim.open_count(dev), 1, kWait);
        QCOMPARE(kiv.count("INFO|Register Kiv worker [cfg]"), 1);
        const QPointer<IPortWorker> fallback = service.portWorkers().at(0);

        sim.set_register_result(0);
        // The hot-plugged pair starts only once the configured one has ended.
        QTRY_COMPARE_WITH_TIMEOUT(kiv.count("INFO|Register Kiv worker [1-2]"), 1, kWait);
        QVERIFY(fallback.isNull());
        QVERIFY(!service.hotplugFallback());
        QCOMPARE(kiv.lines().filter("INFO|Hot-plug detection works after ").size(), 1);
        QCOMPARE(kiv.lines().filter("ERROR|").size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(sim.open_count(dev), 2, kWait);
        QCOMPARE(service.pairCount(), 1);
        service.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
    }

    void serviceStopDuringPendingRead()
    {
        const int dev = sim.add_device(1, "2", 0x2912, 0xa4);
        UsbService service;
        service.registerUsbWorker(entry("1-2", false));
        QPointer<IPortWorker> port = service.portWorkers().at(0);
        QPointer<IWorker> ofd = service.ofdWorkers().at(0);
        QTRY_COMPARE_WITH_TIMEOUT(sim.open_count(dev), 1, kWait);
        // The OFD worker's first version request reaches the device once unpaused.
        QTRY_VERIFY_WITH_TIMEOUT(sim.write_count(dev) >= 1, kWait);
        int endpoint = 0;
        QCOMPARE(sim.writeAt(dev, 0, &endpoint), QByteArray("\x01\x00", 2));
        QCOMPARE(endpoint, 0x0A);
        const int reads = sim.read_count(dev);
        QTRY_VERIFY_WITH_TIMEOUT(sim.read_count(dev) > reads, kWait);
        service.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(port.isNull() && ofd.isNull(), kWait);
        QVERIFY(!sim.claimed(dev, 3));
    }

private:
    SimUsb sim;
    int baseContexts = 0;
};

QTEST_GUILESS_MAIN(TestUsbPair)
#include "tst_usbpair.moc"
