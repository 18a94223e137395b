// Real USB workers paired by the service with real OFD workers.
#include "service/service.h"
#include "usb/usbworker.h"

#include "simusbcontrol.h"

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

protected:
    IPortWorker *createUsbWorker(const UsbDeviceSettings &entry) override
    {
        auto *worker = new UsbWorker(entry);
        worker->setPauses(100, 200);
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
