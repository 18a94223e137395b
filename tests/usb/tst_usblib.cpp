#include "usb/usblib.h"

#include "simusbcontrol.h"

#include <QProcess>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <thread>

class TestUsbLib : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void loadsFromExecutableDirectory();
    void exitClearsContextAndInitMakesFreshOne();
    void portNumbersAreCutToTheChain();
    void descriptorsAndPlace();
    void hotplugCallbacksWithEnumeration();
    void missingStrerrorFallsBackToTheCLibrary();
    void missingHotplugFailsTheLoadButNotTheCallers();
    void missingFileIsRetriedOnEveryCall();

private:
    QStringList runProbe(const QString &variant, const QStringList &arguments = {});
    SimUsb sim;
};

void TestUsbLib::initTestCase()
{
    UsbLib::instance();
    QVERIFY2(sim.load(), sim.error.constData());
}

void TestUsbLib::loadsFromExecutableDirectory()
{
    UsbLib *lib = UsbLib::instance();
    QVERIFY(lib->isLoaded());
    QVERIFY(lib->loadFailure().isEmpty());
    QCOMPARE(lib->fileName(), QCoreApplication::applicationDirPath() + "/libusb-1.0.so.0");
    QCOMPARE(UsbLib::instance(), lib);
    QCOMPARE(lib->strerror(LIBUSB_ERROR_BUSY), QByteArray("Resource busy"));
}

void TestUsbLib::exitClearsContextAndInitMakesFreshOne()
{
    UsbLib *lib = UsbLib::instance();
    const int before = sim.live_contexts();
    libusb_context *ctx = nullptr;
    QCOMPARE(lib->init(&ctx), 0);
    QVERIFY(ctx);
    QCOMPARE(sim.live_contexts(), before + 1);
    lib->exit(ctx);
    QVERIFY(!ctx);
    QCOMPARE(sim.live_contexts(), before);
    QCOMPARE(lib->init(&ctx), 0);
    QVERIFY(ctx);
    QCOMPARE(sim.live_contexts(), before + 1);
    lib->exit(ctx);
    lib->exit(ctx); // a second exit of a cleared pointer does nothing
    QCOMPARE(sim.live_contexts(), before);
}

void TestUsbLib::portNumbersAreCutToTheChain()
{
    sim.reset();
    sim.add_device(1, "4.2", 0x2912, 0xa4);
    sim.add_device(2, "", 0x2912, 0xa5);
    sim.add_device(3, "1.2.3.4.5.6.7.8.9", 0x2912, 0xa6);
    UsbLib *lib = UsbLib::instance();
    libusb_context *ctx = nullptr;
    lib->init(&ctx);
    libusb_device **list = nullptr;
    QCOMPARE(lib->getDeviceList(ctx, &list), ssize_t(3));

    QVector<quint8> ports;
    QCOMPARE(lib->getPortNumbers(list[0], ports), 2);
    QCOMPARE(ports, QVector<quint8>({4, 2}));
    QCOMPARE(lib->getBusNumber(list[0]), quint8(1));
    QCOMPARE(lib->getPortNumbers(list[1], ports), 0);
    QVERIFY(ports.isEmpty());
    // Too long for the room of 8: the error comes back, the vector is not cut.
    QCOMPARE(lib->getPortNumbers(list[2], ports), int(LIBUSB_ERROR_OVERFLOW));
    QCOMPARE(ports.size(), 8);

    lib->freeDeviceList(list, 1);
    lib->exit(ctx);
    QCOMPARE(sim.device_refs(), 0);
}

void TestUsbLib::descriptorsAndPlace()
{
    sim.reset();
    const int dev = sim.add_device(1, "3", 0x2912, 0x00a4);
    UsbLib *lib = UsbLib::instance();
    libusb_context *ctx = nullptr;
    lib->init(&ctx);
    libusb_device **list = nullptr;
    QCOMPARE(lib->getDeviceList(ctx, &list), ssize_t(1));
    libusb_device_descriptor desc{};
    QCOMPARE(lib->getDeviceDescriptor(list[0], &desc), 0);
    QCOMPARE(desc.idVendor, quint16(0x2912));
    QCOMPARE(desc.idProduct, quint16(0x00a4));

    libusb_device_handle *handle = nullptr;
    QCOMPARE(lib->open(list[0], &handle), 0);
    QCOMPARE(lib->getBusNumber(list[0]), quint8(1));
    QVector<quint8> ports;
    QVERIFY(lib->getPortNumbers(list[0], ports) >= 0);
    QCOMPARE(UsbLib::portChain(ports), QStringLiteral("3"));
    QCOMPARE(UsbLib::portChain({4, 2}), QStringLiteral("4.2"));
    sim.unplug(dev);
    lib->close(handle);
    lib->freeDeviceList(list, 1);
    lib->exit(ctx);
    QCOMPARE(sim.live_handles(), 0);
    QCOMPARE(sim.device_refs(), 0);
}

namespace {

struct HotplugLog
{
    QList<QPair<libusb_device *, int>> events;
};

int LIBUSB_CALL onHotplug(libusb_context *, libusb_device *dev, libusb_hotplug_event event, void *user)
{
    static_cast<HotplugLog *>(user)->events.append({dev, int(event)});
    return 0;
}

} // namespace

void TestUsbLib::hotplugCallbacksWithEnumeration()
{
    sim.reset();
    const int present = sim.add_device(1, "1", 0x2912, 0xa4);
    sim.add_device(1, "2", 0x1234, 0xa4);
    const int later = sim.add_device(3, "1", 0x2912, 0xa5);
    sim.unplug(later);
    UsbLib *lib = UsbLib::instance();
    libusb_context *ctx = nullptr;
    lib->init(&ctx);
    libusb_device **list = nullptr;
    QCOMPARE(lib->getDeviceList(ctx, &list), ssize_t(2));
    libusb_device *presentDev = list[0];
    lib->freeDeviceList(list, 1);

    HotplugLog log;
    libusb_hotplug_callback_handle handle = 0;
    const int events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    QCOMPARE(lib->hotplugRegisterCallback(ctx, events, LIBUSB_HOTPLUG_ENUMERATE, 0x2912, LIBUSB_HOTPLUG_MATCH_ANY,
                                          LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, &log, &handle),
             0);
    // Enumeration reports the vendor's present device during registration only.
    QCOMPARE(log.events.size(), 1);
    QCOMPARE(log.events[0].first, presentDev);
    QCOMPARE(log.events[0].second, int(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED));

    // Arrivals and departures reach the callback in the thread handling events.
    sim.plug(later);
    sim.unplug(present);
    QCOMPARE(lib->handleEvents(ctx), 0);
    QCOMPARE(log.events.size(), 3);
    QCOMPARE(lib->getBusNumber(log.events[1].first), quint8(3));
    QCOMPARE(log.events[1].second, int(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED));
    QCOMPARE(log.events[2].first, presentDev);
    QCOMPARE(log.events[2].second, int(LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT));

    // Deregistering from another thread wakes a thread blocked in event handling.
    QElapsedTimer timer;
    timer.start();
    std::thread other([&] {
        QThread::msleep(100);
        lib->hotplugDeregisterCallback(ctx, handle);
    });
    QCOMPARE(lib->handleEvents(ctx), 0);
    other.join();
    QVERIFY2(timer.elapsed() < 30000, "handle_events was not woken by the deregistration");
    QCOMPARE(sim.hotplug_callbacks(), 0);
    lib->exit(ctx);
}

QStringList TestUsbLib::runProbe(const QString &variant, const QStringList &arguments)
{
    QProcess probe;
    // Standard error is checked too: nothing may go there.
    probe.start(QStringLiteral(USB_PROBE_ROOT "/usb-%1/usblibprobe").arg(variant), arguments);
    if (!probe.waitForFinished(60000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0) {
        qWarning() << "probe" << variant << "failed:" << probe.errorString() << probe.exitCode();
        return {};
    }
    const QByteArray errors = probe.readAllStandardError();
    if (!errors.isEmpty()) {
        qWarning() << "probe" << variant << "wrote to standard error:" << errors;
        return {};
    }
    return QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

void TestUsbLib::missingStrerrorFallsBackToTheCLibrary()
{
    const QStringList out = runProbe("nostrerror");
    QVERIFY(!out.isEmpty());
    QVERIFY2(out.contains("loaded: 1"), qPrintable(out.join('\n')));
    QCOMPARE(out.filter("log:"), QStringList());
    QVERIFY(out.contains(QStringLiteral("strerror: ") + QString::fromUtf8(std::strerror(LIBUSB_ERROR_BUSY))));
    QVERIFY(out.contains("hotplug: 0"));
    QVERIFY(out.contains("context: null"));
}

void TestUsbLib::missingHotplugFailsTheLoadButNotTheCallers()
{
    const QStringList out = runProbe("nohotplug");
    QVERIFY(!out.isEmpty());
    QVERIFY2(out.contains("loaded: 0"), qPrintable(out.join('\n')));
    // Resolution is not retried once the file is loaded.
    QCOMPARE(out.filter("log:"), QStringList({"log: ERROR|error resolve libusb_hotplug_register_callback"}));
    QCOMPARE(out.filter("debug:"), QStringList());
    // Entries before the missing one keep working; the missing one refuses.
    QVERIFY(out.contains("init: 0"));
    QVERIFY(out.contains("strerror: Resource busy"));
    QVERIFY(out.contains(QStringLiteral("hotplug: %1").arg(LIBUSB_ERROR_NOT_SUPPORTED)));
}

void TestUsbLib::missingFileIsRetriedOnEveryCall()
{
    const QStringList out = runProbe("missing");
    QVERIFY(!out.isEmpty());
    QVERIFY2(out.contains("loaded: 0"), qPrintable(out.join('\n')));
    // One line naming the very file and why, however often the load is retried.
    const QString file = QStringLiteral(USB_PROBE_ROOT "/usb-missing/libusb-1.0.so.0");
    QCOMPARE(out.filter("log:"),
             QStringList({"log: ERROR|<" + file + "> load error [" + QString::fromLocal8Bit(std::strerror(ENOENT)) + "]"}));
    QCOMPARE(out.filter("debug:"), QStringList());
    QVERIFY(out.contains(QStringLiteral("init: %1").arg(LIBUSB_ERROR_NOT_SUPPORTED)));
    QVERIFY(out.contains(QStringLiteral("hotplug: %1").arg(LIBUSB_ERROR_NOT_SUPPORTED)));
    QVERIFY(out.contains("context: null"));

    // The file put in place later is loaded by the next call.
    const QStringList later = runProbe("missing", {QStringLiteral(USB_PROBE_ROOT "/libusb-1.0.so.0")});
    QVERIFY2(later.contains("loaded before: 0") && later.contains("loaded: 1"), qPrintable(later.join('\n')));
    QCOMPARE(later.filter("log:").size(), 1);
    QVERIFY(later.contains("init: 0"));
}

QTEST_GUILESS_MAIN(TestUsbLib)
#include "tst_usblib.moc"
