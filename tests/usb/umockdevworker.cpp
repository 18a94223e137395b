// The USB worker against the real libusb, with the device emulated by
// umockdev: the test binary links umockdev's preload library, and a handler
// answers the usbfs requests of the emulated device node.

// glib before Qt: its headers use the word Qt defines as a macro.
#include <umockdev.h>

#include "usb/usblib.h"
#include "usb/usbworker.h"

#include "logcapture.h"

#include <QPointer>
#include <QThread>
#include <QtTest>

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <deque>
#include <mutex>
#include <vector>

#include <errno.h>

namespace {

const int kWait = 20000;
const char kNode[] = "/dev/bus/usb/001/002";
const char kSysPath[] = "/sys/devices/pci0000:00/usb1/1-3";

// The emulated fiscal device: vendor 0x2912, product 0x00a4, interface 3
// with the bulk endpoints 0x8B (IN) and 0x0A (OUT).
struct Device
{
    std::mutex lock;
    std::vector<int> claims;
    std::vector<QByteArray> setups;            // control transfers' setup packets
    std::vector<QByteArray> outData;           // bulk OUT payloads
    std::vector<int> outEndpoints;
    std::vector<int> inEndpoints;
    std::deque<char> inBytes;                  // what the device will send
    std::deque<UMockdevIoctlData *> done;      // URBs to reap, in order
    std::deque<UMockdevIoctlData *> pendingIn; // bulk IN URBs waiting for bytes
    bool unplugged = false;

    ~Device()
    {
        for (UMockdevIoctlData *d : done)
            umockdev_ioctl_data_unref(d);
        for (UMockdevIoctlData *d : pendingIn)
            umockdev_ioctl_data_unref(d);
    }
};

usbdevfs_urb *urbOf(UMockdevIoctlData *data)
{
    return reinterpret_cast<usbdevfs_urb *>(data->data);
}

// Gives the reaper one finished URB (the oldest), or reports none.
void reap(Device *dev, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    UMockdevIoctlData *urbData = nullptr;
    if (!dev->done.empty()) {
        urbData = dev->done.front();
        dev->done.pop_front();
    } else if (!dev->pendingIn.empty() && !dev->inBytes.empty()) {
        urbData = dev->pendingIn.front();
        dev->pendingIn.pop_front();
        usbdevfs_urb *urb = urbOf(urbData);
        g_autoptr(UMockdevIoctlData) buffer = umockdev_ioctl_data_resolve(
            urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer), gsize(urb->buffer_length), nullptr);
        int n = 0;
        while (n < urb->buffer_length && !dev->inBytes.empty()) {
            buffer->data[n++] = guint8(dev->inBytes.front());
            dev->inBytes.pop_front();
        }
        urb->actual_length = n;
        urb->status = 0;
    } else if (dev->unplugged && !dev->pendingIn.empty()) {
        urbData = dev->pendingIn.front();
        dev->pendingIn.pop_front();
        urbOf(urbData)->actual_length = 0;
        urbOf(urbData)->status = -ENODEV;
    }
    if (!urbData) {
        umockdev_ioctl_client_complete(client, -1, dev->unplugged ? ENODEV : EAGAIN);
        return;
    }
    g_autoptr(UMockdevIoctlData) ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(ptr, 0, urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(urbData);
}

gboolean handleIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    Device *dev = static_cast<Device *>(user);
    std::lock_guard<std::mutex> guard(dev->lock);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);

    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        reap(dev, client, arg);
        return TRUE;
    }
    if (request == USBDEVFS_DISCARDURB) {
        const gulong address = *reinterpret_cast<gulong *>(arg->data);
        for (auto it = dev->pendingIn.begin(); it != dev->pendingIn.end(); ++it) {
            if ((*it)->client_addr == address) {
                urbOf(*it)->status = -ENOENT;
                urbOf(*it)->actual_length = 0;
                dev->done.push_back(*it);
                dev->pendingIn.erase(it);
                umockdev_ioctl_client_complete(client, 0, 0);
                return TRUE;
            }
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }
    if (dev->unplugged) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        g_autoptr(UMockdevIoctlData) d = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32 *>(d->data) = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM
            | USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE: {
        g_autoptr(UMockdevIoctlData) d = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
        dev->claims.push_back(*reinterpret_cast<int *>(d->data));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_GETDRIVER:
        // No kernel driver bound.
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
    case USBDEVFS_IOCTL:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData *urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        usbdevfs_urb *urb = urbOf(urbData);
        g_autoptr(UMockdevIoctlData) buffer = umockdev_ioctl_data_resolve(
            urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer), gsize(urb->buffer_length), nullptr);
        const QByteArray bytes(reinterpret_cast<const char *>(buffer->data), urb->buffer_length);
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            dev->setups.push_back(bytes.left(8));
            urb->actual_length = 0;
            urb->status = 0;
            dev->done.push_back(urbData);
        } else if (urb->endpoint & 0x80) {
            dev->inEndpoints.push_back(urb->endpoint);
            dev->pendingIn.push_back(urbData);
        } else {
            dev->outEndpoints.push_back(urb->endpoint);
            dev->outData.push_back(bytes);
            urb->actual_length = urb->buffer_length;
            urb->status = 0;
            dev->done.push_back(urbData);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

class Recorder : public QObject
{
    Q_OBJECT
public:
    QByteArray data;
    int established = 0;
    int lost = 0;
    int finished = 0;
public slots:
    void onData(QByteArray d) { data += d; }
    void onEstablished() { ++established; }
    void onLost() { ++lost; }
    void onFinished() { ++finished; }
};

} // namespace

class TestUmockdevWorker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void exchangeUnplugAndReplug();

private:
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    Device device;
};

void TestUmockdevWorker::initTestCase()
{
    testbed = umockdev_testbed_new();
    QVERIFY(testbed);
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(handleIoctl), &device);
    QVERIFY(umockdev_testbed_attach_ioctl(testbed, kNode, handler, nullptr));
    const QByteArray description = QByteArray("P: ") + (kSysPath + 4) + "\n"
        "N: bus/usb/001/002\n"
        "E: SUBSYSTEM=usb\n"
        "E: DRIVER=usb\n"
        "E: BUSNUM=001\n"
        "E: DEVNUM=002\n"
        "E: DEVNAME=/dev/bus/usb/001/002\n"
        "E: DEVTYPE=usb_device\n"
        "A: bConfigurationValue=1\\n\n"
        "A: busnum=1\\n\n"
        "A: devnum=2\\n\n"
        "A: speed=480\\n\n"
        // Vendor 0x2912, product 0x00a4; interface 3 with bulk 0x8B and 0x0A.
        "H: descriptors="
        "12010002000000401229a400000101020301"
        "090220000101008032"
        "0904030002ff000000"
        "07058b02400000"
        "07050a02400000\n";
    QVERIFY(umockdev_testbed_add_from_string(testbed, description.constData(), nullptr));
    QVERIFY(UsbLib::instance()->isLoaded());
}

void TestUmockdevWorker::cleanupTestCase()
{
    if (handler)
        g_object_unref(handler);
    if (testbed)
        g_object_unref(testbed);
}

void TestUmockdevWorker::exchangeUnplugAndReplug()
{
    UsbDeviceSettings entry;
    entry.id = "umockdev";
    entry.port = "a4";
    LogCapture log("USB-umockdev");
    QThread thread;
    Recorder rec;
    QPointer<UsbWorker> worker = new UsbWorker(entry);
    worker->setPauses(100, 200);
    worker->moveToThread(&thread);
    connect(&thread, &QThread::started, worker, &UsbWorker::start);
    connect(worker, &UsbWorker::finished, &thread, &QThread::quit);
    connect(worker, &UsbWorker::finished, worker, &QObject::deleteLater);
    connect(worker, &UsbWorker::portDataReceived, &rec, &Recorder::onData);
    connect(worker, &UsbWorker::portConnectionEstablished, &rec, &Recorder::onEstablished);
    connect(worker, &UsbWorker::portConnectionLost, &rec, &Recorder::onLost);
    connect(worker, &UsbWorker::finished, &rec, &Recorder::onFinished);
    thread.start();

    QTRY_COMPARE_WITH_TIMEOUT(rec.established, 1, kWait);
    {
        std::lock_guard<std::mutex> guard(device.lock);
        QCOMPARE(device.claims, std::vector<int>({3}));
        // CLEAR_FEATURE(ENDPOINT_HALT) for 0x8B, then 0x0A.
        QCOMPARE(device.setups.size(), size_t(2));
        QCOMPARE(device.setups[0], QByteArray("\x02\x01\x00\x00\x8b\x00\x00\x00", 8));
        QCOMPARE(device.setups[1], QByteArray("\x02\x01\x00\x00\x0a\x00\x00\x00", 8));
    }

    // Device to host.
    {
        std::lock_guard<std::mutex> guard(device.lock);
        for (char c : QByteArray("\x40\x01\x02", 3))
            device.inBytes.push_back(c);
    }
    QTRY_COMPARE_WITH_TIMEOUT(rec.data, QByteArray("\x40\x01\x02", 3), kWait);

    // Host to device.
    QMetaObject::invokeMethod(worker, "onOfdDataReceived", Qt::QueuedConnection,
                              Q_ARG(QByteArray, QByteArray("\x01\x00", 2)));
    QTRY_VERIFY_WITH_TIMEOUT(
        [this] {
            std::lock_guard<std::mutex> guard(device.lock);
            return !device.outData.empty();
        }(),
        kWait);
    {
        std::lock_guard<std::mutex> guard(device.lock);
        QCOMPARE(device.outData.front(), QByteArray("\x01\x00", 2));
        QCOMPARE(device.outEndpoints.front(), 0x0A);
        for (int ep : device.inEndpoints)
            QCOMPARE(ep, 0x8B);
    }

    // Unplugged: the link is reported lost and the worker keeps running.
    {
        std::lock_guard<std::mutex> guard(device.lock);
        device.unplugged = true;
    }
    umockdev_testbed_uevent(testbed, kSysPath, "remove");
    QTRY_COMPARE_WITH_TIMEOUT(rec.lost, 1, kWait);
    // The worker's context stays: libusb itself drops the device from the
    // list the reopen attempts read, and adds it back when it returns.
    QTRY_VERIFY_WITH_TIMEOUT(log.count("ERROR|Not found device 2912:00a4") >= 1, kWait);
    QCOMPARE(rec.established, 1);
    {
        std::lock_guard<std::mutex> guard(device.lock);
        device.unplugged = false;
    }
    umockdev_testbed_uevent(testbed, kSysPath, "add");
    QTRY_COMPARE_WITH_TIMEOUT(rec.established, 2, kWait);
    QVERIFY(worker);
    worker->stop();
    QVERIFY(QTest::qWaitFor([&thread] { return thread.isFinished(); }, kWait));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(worker.isNull());
    QCOMPARE(rec.finished, 1);
    QCOMPARE(rec.established, 2);
    const QStringList lines = log.lines();
    QCOMPARE(lines.count("INFO|Open USB: 2912:00a4"), 2);
    QVERIFY(lines.contains("INFO|read: 40 01 02 (3 bytes)"));
    QVERIFY(lines.contains("INFO|write: 01 00 (2 bytes)"));
    // libusb reports the vanished device; after it, the device is not found.
    QCOMPARE(lines.count(QStringLiteral("ERROR|error: %1").arg(LIBUSB_ERROR_NO_DEVICE)), 1);
}

QTEST_GUILESS_MAIN(TestUmockdevWorker)
#include "umockdevworker.moc"
