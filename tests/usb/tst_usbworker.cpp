#include "core/workerguard.h"
#include "usb/usblib.h"
#include "usb/usbworker.h"

#include "logcapture.h"
#include "simusbcontrol.h"

#include <QPointer>
#include <QScopeGuard>
#include <QSemaphore>
#include <QThreadPool>
#include <QThread>
#include <QElapsedTimer>
#include <QtTest>

namespace {

const int kWait = 15000;

// Receives the worker's signals in the test thread (queued, like a partner).
class Recorder : public QObject
{
    Q_OBJECT
public:
    QList<QByteArray> data;
    int established = 0;
    int lost = 0;
    int finished = 0;
    // Failed opens in the current run of them (0: none or it ended).
    int attempts = 0;

    QByteArray allData() const
    {
        QByteArray all;
        for (const QByteArray &d : data)
            all += d;
        return all;
    }

public slots:
    void onData(QByteArray d) { data.append(d); }
    void onEstablished() { ++established; }
    void onLost() { ++lost; }
    void onFinished() { ++finished; }
    void onTrouble(const QString &, int n, qint64) { attempts = n; }
};

// One worker in a thread of its own, wired as the service wires it.
class Run
{
public:
    explicit Run(const UsbDeviceSettings &entry, int openRetryMs = 100, int lostPauseMs = 200)
    {
        worker = new UsbWorker(entry);
        guard = WorkerGuard::attach(worker);
        worker->setPauses(openRetryMs, lostPauseMs);
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, worker, &UsbWorker::start);
        QObject::connect(worker, &UsbWorker::finished, &thread, &QThread::quit);
        QObject::connect(worker, &UsbWorker::finished, worker, &QObject::deleteLater);
        QObject::connect(worker, &UsbWorker::portDataReceived, &rec, &Recorder::onData);
        QObject::connect(worker, &UsbWorker::portConnectionEstablished, &rec, &Recorder::onEstablished);
        QObject::connect(worker, &UsbWorker::portConnectionLost, &rec, &Recorder::onLost);
        QObject::connect(worker, &UsbWorker::finished, &rec, &Recorder::onFinished);
        QObject::connect(worker, &UsbWorker::troubleChanged, &rec, &Recorder::onTrouble);
        thread.start();
    }

    ~Run() { finish(); }

    // Stops the worker (as the service does, from this thread) and waits until it is gone.
    bool finish()
    {
        // As the service does: a worker that finishes meanwhile deletes
        // itself in its own thread, so stop() must not race with that.
        WorkerGuard::requestStop(guard);
        return waitGone();
    }

    // The thread's quit() arrives through this thread's events, as in the service.
    bool waitGone()
    {
        if (!QTest::qWaitFor([this] { return thread.isFinished(); }, kWait))
            return false;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return worker.isNull();
    }

    void send(const QByteArray &data)
    {
        QMetaObject::invokeMethod(worker, "onOfdDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, data));
    }

    QThread thread;
    QPointer<UsbWorker> worker;
    std::shared_ptr<WorkerGuard::State> guard;
    Recorder rec;
};

UsbDeviceSettings entry(const QString &id, const QString &port, bool hotplugged = false)
{
    UsbDeviceSettings e;
    e.id = id;
    e.port = port;
    e.hotplugged = hotplugged;
    return e;
}

} // namespace

class TestUsbWorker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void busAndPortPathOpensOnlyThatDevice();
    void badPathFailsSilentlyAndIsRetried();
    void productIdForm_data();
    void productIdForm();
    void notFoundAndOpenFailures();
    void failedListingIsNamed();
    void interface2FallbackLastsForTheWorkersLife();
    void busyInterfaceKeepsHandleUntilNextAttempt();
    void claimAndDetachFailuresCloseTheDevice();
    void readErrorAfterWorkingLinkReconnects();
    void earlyErrorIgnoredAndPartialDataDelivered();
    void persistentEarlyErrorsCountAsLostLink();
    void hotpluggedWorkerGivesUpAfterThreeAttempts();
    void absentDeviceIsOneEpisode();
    void failedWrite_data();
    void failedWrite();
    void stopNeverWaitsForThePendingRead();
    void stopDuringLostPause();
    void refusedOutHoldsNeitherReadsNorTheOutboxBound();
    void framesWhileTheLinkIsDownAreCounted();
    void noLeaksAcrossReconnects();
    void readsNeverWaitForTheGlobalPool();
    void workersShareOneContext();

private:
    SimUsb sim;
    int baseContexts = 0;
};

void TestUsbWorker::initTestCase()
{
    QVERIFY(UsbLib::instance()->isLoaded());
    QVERIFY2(sim.load(), sim.error.constData());
}

void TestUsbWorker::init()
{
    sim.reset();
    baseContexts = sim.live_contexts();
}

void TestUsbWorker::cleanup()
{
    // Every worker is gone by now: nothing of it may remain in libusb.
    QCOMPARE(sim.live_handles(), 0);
    QCOMPARE(sim.live_contexts(), baseContexts);
    QCOMPARE(sim.device_refs(), 0);
}

void TestUsbWorker::busAndPortPathOpensOnlyThatDevice()
{
    const int shorter = sim.add_device(1, "4", 0x2912, 0xa4);
    const int longer = sim.add_device(1, "4.2.1", 0x2912, 0xa4);
    const int otherBus = sim.add_device(2, "4.2", 0x2912, 0xa4);
    const int dev = sim.add_device(1, "4.2", 0x2912, 0xa4);
    sim.set_kernel_driver(dev, 3, 1);
    LogCapture log("USB-path");
    {
        Run run(entry("path", "1-4.2"));
        QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 1, kWait);
        QCOMPARE(sim.open_count(dev), 1);
        QCOMPARE(sim.open_count(shorter) + sim.open_count(longer) + sim.open_count(otherBus), 0);
        QCOMPARE(sim.detach_count(dev), 1);
        QVERIFY(sim.claimed(dev, 3));
        QVERIFY(!sim.claimed(dev, 2));

        // Clear-halt of IN, then OUT endpoint of interface 3.
        QCOMPARE(sim.control_count(dev), 2);
        const int expectedIndex[] = {0x8B, 0x0A};
        for (int i = 0; i < 2; ++i) {
            int type = -1, request = -1, value = -1, index = -1;
            sim.control_at(dev, i, &type, &request, &value, &index);
            QCOMPARE(type, 0x02);
            QCOMPARE(request, 1);
            QCOMPARE(value, 0);
            QCOMPARE(index, expectedIndex[i]);
        }

        // 70 bytes come out as a 64-byte read and a 6-byte read, in order.
        QByteArray incoming;
        for (int i = 0; i < 70; ++i)
            incoming.append(char(i));
        sim.pushIn(dev, incoming);
        QTRY_COMPARE_WITH_TIMEOUT(run.rec.allData().size(), 70, kWait);
        QCOMPARE(run.rec.allData(), incoming);
        QCOMPARE(run.rec.data.first().size(), 64);
        for (int i = 0; i < sim.read_count(dev); ++i)
            QCOMPARE(sim.read_endpoint_at(dev, i), 0x8B);

        run.send(QByteArray("\x01\x02", 2));
        run.send(QByteArray("\x03", 1));
        QTRY_COMPARE_WITH_TIMEOUT(sim.write_count(dev), 2, kWait);
        int endpoint = 0;
        QCOMPARE(sim.writeAt(dev, 0, &endpoint), QByteArray("\x01\x02", 2));
        QCOMPARE(endpoint, 0x0A);
        QCOMPARE(sim.writeAt(dev, 1, &endpoint), QByteArray("\x03", 1));

        QVERIFY(run.finish());
        QCOMPARE(run.rec.finished, 1);
        QCOMPARE(run.rec.lost, 0);
    }
    QVERIFY(!sim.claimed(dev, 3));
    // The driver of interface 2 is given back on close.
    QCOMPARE(sim.attach_count(dev), 1);
    const QStringList lines = log.lines();
    QCOMPARE(lines.count("INFO|Open USB: 1-4.2"), 1);
    QCOMPARE(lines.count("INFO|SUCCESS"), 1);
    QVERIFY(lines.contains("INFO|write: 01 02 (2 bytes)"));
    QVERIFY(lines.contains("INFO|write: 03 (1 bytes)"));
    QVERIFY(lines.contains("INFO|read: 40 41 42 43 44 45 (6 bytes)"));
    QCOMPARE(lines.filter("ERROR|").size(), 0);
}

void TestUsbWorker::badPathFailsSilentlyAndIsRetried()
{
    const int dev = sim.add_device(1, "4.2", 0x2912, 0xa4);
    LogCapture log("USB-bad");
    LogCapture hotLog("USB-badhot");
    Run run(entry("bad", "1-4-2"));
    // Attempts on a bad path touch nothing: they show in a hot-plugged
    // twin, which ends by itself after its attempts.
    Run hot(entry("badhot", "1-4-2", true));
    QVERIFY(hot.waitGone());
    QCOMPARE(hot.rec.finished, 1);
    QCOMPARE(run.rec.finished, 0);
    QVERIFY(run.finish());
    QCOMPARE(sim.open_count(dev), 0);
    QCOMPARE(run.rec.established + hot.rec.established, 0);
    QCOMPARE(log.lines(), QStringList());
    QCOMPARE(hotLog.lines(), QStringList());
}

void TestUsbWorker::productIdForm_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("opened");
    QTest::addColumn<QString>("line");
    QTest::newRow("a4") << "a4" << 2 << "INFO|Open USB: 2912:00a4";
    QTest::newRow("A4") << "A4" << 2 << "INFO|Open USB: 2912:00a4";
    QTest::newRow("zz means 1") << "zz" << 3 << "INFO|Open USB: 2912:0001";
    QTest::newRow("1") << "1" << 3 << "INFO|Open USB: 2912:0001";
}

void TestUsbWorker::productIdForm()
{
    QFETCH(QString, port);
    QFETCH(int, opened);
    QFETCH(QString, line);
    int devs[4];
    devs[0] = sim.add_device(1, "1", 0x1234, 0xa4); // another vendor
    devs[1] = sim.add_device(1, "2", 0x2912, 0xa5); // another product
    devs[2] = sim.add_device(1, "3", 0x2912, 0xa4);
    devs[3] = sim.add_device(1, "4", 0x2912, 0x01);
    LogCapture log("USB-pid");
    Run run(entry("pid", port));
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 1, kWait);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(sim.open_count(devs[i]), i == opened ? 1 : 0);
    QVERIFY(run.finish());
    QCOMPARE(log.count(line), 1);
}

void TestUsbWorker::notFoundAndOpenFailures()
{
    const int dev = sim.add_device(1, "4.2", 0x2912, 0xa4);
    sim.add_device(1, "5", 0x1234, 0x01);
    sim.set_open_result(dev, LIBUSB_ERROR_ACCESS);
    LogCapture log("USB-fail");
    {
        Run path(entry("fail", "1-4.2"));
        Run pid(entry("fail", "a4"));
        Run none(entry("fail", "zz"));
        Run nowhere(entry("fail", "1-5.1"));
        const QString denied = "Access denied (insufficient permissions)";
        // Every failure repeats; each says so once.
        QTRY_VERIFY_WITH_TIMEOUT(path.rec.attempts >= 2 && pid.rec.attempts >= 2 && none.rec.attempts >= 2
                                     && nowhere.rec.attempts >= 2,
                                 kWait);
        QCOMPARE(log.count("ERROR|Can't open device 1-4.2 [" + denied + "]"), 1);
        QCOMPARE(log.count("ERROR|Can't open device 2912:00a4 [" + denied + "]"), 1);
        QCOMPARE(log.count("ERROR|Not found device 2912:0001"), 1);
        QCOMPARE(log.count("ERROR|Not found device 1-5.1"), 1);
        QCOMPARE(log.count("INFO|SUCCESS"), 0);
        QCOMPARE(path.rec.established + pid.rec.established + none.rec.established, 0);
    }
}

void TestUsbWorker::failedListingIsNamed()
{
    sim.add_device(1, "3", 0x2912, 0xa4);
    sim.set_list_result(LIBUSB_ERROR_NO_MEM);
    LogCapture log("USB-list");
    Run run(entry("list", "1-3"));
    QTRY_VERIFY_WITH_TIMEOUT(run.rec.attempts >= 2, kWait);
    QCOMPARE(log.count("ERROR|Can't list USB devices for 1-3: Insufficient memory (-11)"), 1);
    QCOMPARE(log.count("ERROR|Not found device 1-3"), 0);
    sim.set_list_result(0);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 1, kWait);
}

void TestUsbWorker::interface2FallbackLastsForTheWorkersLife()
{
    const int dev = sim.add_device(1, "7", 0x2912, 0xa4);
    sim.set_claim_result(dev, 3, LIBUSB_ERROR_NOT_FOUND);
    LogCapture log("USB-fallback");
    Run run(entry("fallback", "1-7"));
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 1, kWait);
    QVERIFY(sim.claimed(dev, 2));
    QVERIFY(!sim.claimed(dev, 3));
    int type, request, value, index;
    sim.control_at(dev, 0, &type, &request, &value, &index);
    QCOMPARE(index, 0x83);
    sim.control_at(dev, 1, &type, &request, &value, &index);
    QCOMPARE(index, 0x02);

    // Interface 3 becomes claimable before the reconnect: the endpoints stay.
    sim.set_claim_result(dev, 3, 0);
    // A read that only times out (marking the link), then a failing one.
    sim.push_read_result(dev, LIBUSB_ERROR_TIMEOUT, nullptr, 0);
    sim.push_read_result(dev, LIBUSB_ERROR_IO, nullptr, 0);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.lost, 1, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 2, kWait);
    QVERIFY(sim.claimed(dev, 3));
    sim.pushIn(dev, "hello");
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.allData(), QByteArray("hello"), kWait);
    run.send("out");
    QTRY_COMPARE_WITH_TIMEOUT(sim.write_count(dev), 1, kWait);
    int endpoint = 0;
    sim.writeAt(dev, 0, &endpoint);
    QCOMPARE(endpoint, 0x02);
    QVERIFY(run.finish());
    for (int i = 0; i < sim.read_count(dev); ++i)
        QCOMPARE(sim.read_endpoint_at(dev, i), 0x83);
    QCOMPARE(sim.control_count(dev), 4);
    sim.control_at(dev, 2, &type, &request, &value, &index);
    QCOMPARE(index, 0x83);
    QCOMPARE(log.count("ERROR|error: -1"), 1);
}

void TestUsbWorker::busyInterfaceKeepsHandleUntilNextAttempt()
{
    const int dev = sim.add_device(1, "7", 0x2912, 0xa4);
    sim.set_claim_result(dev, 3, LIBUSB_ERROR_BUSY);
    LogCapture log("USB-busy");
    Run run(entry("busy", "1-7"), 300);
    QTRY_VERIFY_WITH_TIMEOUT(log.count("ERROR|Resource busy") >= 1, kWait);
    // Busy is not a reason to try interface 2, and the handle stays open.
    QVERIFY(!sim.claimed(dev, 2));
    QCOMPARE(sim.live_handles(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(sim.open_count(dev) >= 2, kWait);
    QVERIFY(sim.live_handles() <= 1);
    sim.set_claim_result(dev, 3, 0);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 1, kWait);
    QCOMPARE(sim.live_handles(), 1);
    QVERIFY(sim.claimed(dev, 3));
    QVERIFY(run.finish());
}

void TestUsbWorker::claimAndDetachFailuresCloseTheDevice()
{
    const int noClaim = sim.add_device(1, "1", 0x2912, 0xa4);
    sim.set_claim_result(noClaim, 3, LIBUSB_ERROR_ACCESS);
    sim.set_claim_result(noClaim, 2, LIBUSB_ERROR_IO);
    const int noDetach = sim.add_device(1, "2", 0x2912, 0xa5);
    sim.set_kernel_driver(noDetach, 3, 1);
    sim.set_detach_result(noDetach, LIBUSB_ERROR_ACCESS);
    LogCapture claimLog("USB-noclaim");
    LogCapture detachLog("USB-nodetach");
    {
        Run claim(entry("noclaim", "1-1"), 300);
        Run detach(entry("nodetach", "a5"), 300);
        QTRY_VERIFY_WITH_TIMEOUT(claim.rec.attempts >= 2 && detach.rec.attempts >= 2, kWait);
        QCOMPARE(claimLog.count("ERROR|Can't claim device [Input/Output Error]"), 1);
        QCOMPARE(detachLog.count("ERROR|Access denied (insufficient permissions)"), 1);
        QVERIFY(sim.open_count(noClaim) >= 2);
        QVERIFY(sim.open_count(noDetach) >= 2);
        QCOMPARE(claim.rec.established + detach.rec.established, 0);
    }
}

void TestUsbWorker::readErrorAfterWorkingLinkReconnects()
{
    const int dev = sim.add_device(1, "3", 0x2912, 0xa4);
    // Time-outs carry no data and no log line, but mark the link working.
    sim.push_read_result(dev, LIBUSB_ERROR_TIMEOUT, nullptr, 0);
    sim.push_read_result(dev, LIBUSB_ERROR_TIMEOUT, nullptr, 0);
    sim.push_read_result(dev, LIBUSB_ERROR_PIPE, nullptr, 0);
    LogCapture log("USB-lost");
    Run run(entry("lost", "a4"), 100, 300);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.lost, 1, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 2, kWait);
    QCOMPARE(sim.open_count(dev), 2);
    QCOMPARE(run.rec.data.size(), 0);
    sim.pushIn(dev, "after");
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.allData(), QByteArray("after"), kWait);
    QVERIFY(run.finish());
    const QStringList lines = log.lines();
    QCOMPARE(lines.count("ERROR|error: -9"), 1);
    QCOMPARE(lines.count("INFO|SUCCESS"), 2);
    QCOMPARE(lines.filter("read: ").size(), 1);
}

void TestUsbWorker::earlyErrorIgnoredAndPartialDataDelivered()
{
    const int dev = sim.add_device(1, "3", 0x2912, 0xa4);
    // An error before any good read is ignored, the next read follows at once.
    sim.push_read_result(dev, LIBUSB_ERROR_IO, nullptr, 0);
    sim.push_read_result(dev, 0, "ab", 2);
    // Bytes of a transfer that also failed are still delivered, with no reconnect.
    sim.push_read_result(dev, LIBUSB_ERROR_OVERFLOW, "cd", 2);
    sim.push_read_result(dev, 0, "ef", 2);
    LogCapture log("USB-early");
    Run run(entry("early", "a4"));
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.allData(), QByteArray("abcdef"), kWait);
    QVERIFY(run.finish());
    QCOMPARE(run.rec.lost, 0);
    QCOMPARE(run.rec.established, 1);
    QCOMPARE(sim.open_count(dev), 1);
    QCOMPARE(log.lines().filter("ERROR|").size(), 0);
    QVERIFY(log.lines().contains("INFO|read: 63 64 (2 bytes)"));
}

void TestUsbWorker::persistentEarlyErrorsCountAsLostLink()
{
    const int dev = sim.add_device(1, "3", 0x2912, 0xa4);
    for (int i = 0; i < UsbWorker::kEarlyErrorLimit; ++i)
        sim.push_read_result(dev, LIBUSB_ERROR_NO_DEVICE, nullptr, 0);
    LogCapture log("USB-dead");
    Run run(entry("dead", "a4"));
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.lost, 1, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 2, kWait);
    QVERIFY(run.finish());
    QCOMPARE(log.count("ERROR|error: -4"), 1);
}

void TestUsbWorker::hotpluggedWorkerGivesUpAfterThreeAttempts()
{
    LogCapture log("USB-3-1");
    LogCapture configuredLog("USB-configured");
    Run configured(entry("configured", "3-1"));
    Run hot(entry("3-1", "3-1", true));
    QVERIFY(hot.waitGone());
    QCOMPARE(hot.rec.finished, 1);
    QTRY_COMPARE_WITH_TIMEOUT(hot.rec.attempts, 3, kWait);
    QCOMPARE(log.count("ERROR|Not found device 3-1"), 1);
    // A configured device keeps trying.
    QTRY_VERIFY_WITH_TIMEOUT(configured.rec.attempts >= 5, kWait);
    QCOMPARE(configuredLog.count("ERROR|Not found device 3-1"), 1);
    QCOMPARE(configured.rec.finished, 0);
    QVERIFY(configured.finish());
    QCOMPARE(configured.rec.finished, 1);
}

void TestUsbWorker::absentDeviceIsOneEpisode()
{
    LogCapture log("USB-late");
    Run run(entry("late", "1-7"));
    QTRY_VERIFY_WITH_TIMEOUT(run.rec.attempts >= 3, kWait);
    QCOMPARE(log.count("ERROR|Not found device 1-7"), 1);

    sim.add_device(1, "7", 0x2912, 0xa4);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 1, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.attempts, 0, kWait);
    const QStringList lines = log.lines();
    QCOMPARE(lines.filter(QRegularExpression("^ERROR\\|")).size(), 1);
    const QStringList found = lines.filter(QRegularExpression("^INFO\\|Device 1-7 found after \\d+ attempts, absent \\d+s$"));
    QCOMPARE(found.size(), 1);
    QVERIFY(run.finish());
}

void TestUsbWorker::failedWrite_data()
{
    QTest::addColumn<QList<int>>("results"); // result, bytes sent; per attempt
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("clearHalts");
    QTest::addColumn<bool>("lost");
    QTest::newRow("device gone") << QList<int>{LIBUSB_ERROR_NO_DEVICE, 0} << ""
                                 << "write error: -4 (0 of 3 bytes sent)" << 0 << true;
    QTest::newRow("i/o error after a part") << QList<int>{LIBUSB_ERROR_IO, 1} << "write: 01 (1 bytes)"
                                            << "write error: -1 (1 of 3 bytes sent)" << 0 << true;
    QTest::newRow("stall that stays") << QList<int>{LIBUSB_ERROR_PIPE, 0, LIBUSB_ERROR_PIPE, 0} << ""
                                      << "write error: -9 (0 of 3 bytes sent)" << 1 << true;
    QTest::newRow("stall cleared") << QList<int>{LIBUSB_ERROR_PIPE, 1, 0, 2} << "write: 01 02 03 (3 bytes)" << ""
                                   << 1 << false;
    QTest::newRow("short on time-out") << QList<int>{LIBUSB_ERROR_TIMEOUT, 2} << "write: 01 02 (2 bytes)"
                                       << "write error: -7 (2 of 3 bytes sent)" << 0 << false;
}

void TestUsbWorker::failedWrite()
{
    QFETCH(QList<int>, results);
    QFETCH(QString, written);
    QFETCH(QString, error);
    QFETCH(int, clearHalts);
    QFETCH(bool, lost);
    const int dev = sim.add_device(1, "3", 0x2912, 0xa4);
    LogCapture log("USB-write");
    Run run(entry("write", "a4"));
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 1, kWait);
    for (int i = 0; i + 1 < results.size(); i += 2)
        sim.push_write_result(dev, results[i], results[i + 1]);
    run.send("\x01\x02\x03");
    if (lost) {
        QTRY_COMPARE_WITH_TIMEOUT(run.rec.lost, 1, kWait);
        // The read still in flight fails too: the loss is not reported again.
        sim.push_read_result(dev, LIBUSB_ERROR_NO_DEVICE, nullptr, 0);
        QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 2, kWait);
    }
    // Bytes read after the write are delivered: by then any loss would be known.
    sim.pushIn(dev, "in");
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.allData(), QByteArray("in"), kWait);
    QVERIFY(run.finish());
    QCOMPARE(run.rec.lost, lost ? 1 : 0);
    QCOMPARE(sim.clear_halt_count(dev), clearHalts);
    QCOMPARE(sim.closes_during_read(dev), 0);
    const QStringList lines = log.lines();
    QCOMPARE(lines.filter("|write: "), written.isEmpty() ? QStringList() : QStringList{"INFO|" + written});
    QCOMPARE(lines.filter("ERROR|"), error.isEmpty() ? QStringList() : QStringList{"ERROR|" + error});
}

void TestUsbWorker::stopNeverWaitsForThePendingRead()
{
    const int dev = sim.add_device(1, "3", 0x2912, 0xa4);
    sim.hold_reads(dev, 1);
    auto release = qScopeGuard([&] { sim.hold_reads(dev, 0); });
    Run run(entry("pending", "a4"));
    QTRY_COMPARE_WITH_TIMEOUT(sim.reads_in_progress(dev), 1, kWait);
    // As the service calls it, from another thread: back while the read still runs.
    QVERIFY(WorkerGuard::requestStop(run.guard));
    QCOMPARE(sim.reads_in_progress(dev), 1);
    // The handle stays open for the read, so the worker cannot end before it.
    QVERIFY(!QTest::qWaitFor([&] { return run.thread.isFinished(); }, 300));
    QCOMPARE(run.rec.finished, 0);
    sim.hold_reads(dev, 0);
    QVERIFY(run.waitGone());
    QCOMPARE(run.rec.finished, 1);
    QCOMPARE(sim.closes_during_read(dev), 0);
}

void TestUsbWorker::stopDuringLostPause()
{
    const int dev = sim.add_device(1, "3", 0x2912, 0xa4);
    sim.push_read_result(dev, LIBUSB_ERROR_TIMEOUT, nullptr, 0);
    sim.push_read_result(dev, LIBUSB_ERROR_IO, nullptr, 0);
    Run run(entry("paused", "a4"), 100, UsbWorker::kLostPauseMs);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.lost, 1, kWait);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(run.finish());
    // Ends long before the pause would.
    QVERIFY2(timer.elapsed() < 5000, QByteArray::number(timer.elapsed()));
    QCOMPARE(run.rec.established, 1);
}

void TestUsbWorker::refusedOutHoldsNeitherReadsNorTheOutboxBound()
{
    const int dev = sim.add_device(1, "3", 0x2912, 0xa4);
    LogCapture log("USB-out");
    Run run(entry("out", "a4"));
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 1, kWait);
    sim.hold_writes(dev, 1);
    auto release = qScopeGuard([&] { sim.hold_writes(dev, 0); });
    run.send("\x10\x01" "A");
    QTRY_COMPARE_WITH_TIMEOUT(sim.writes_in_progress(dev), 1, kWait);
    // Behind the stuck frame: more version requests than the outbox holds, then a frame.
    const QByteArray version("\x01\x00", 2);
    const int extra = 5;
    for (int i = 0; i < UsbWorker::kOutboxFrames + extra; ++i)
        run.send(version);
    run.send("\x20\x01" "B");
    // Queued after the frames above: once it arrives, all of them were taken.
    sim.pushIn(dev, "in");
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.allData(), QByteArray("in"), kWait);
    QCOMPARE(sim.writes_in_progress(dev), 1);

    sim.hold_writes(dev, 0);
    const int expected = 1 + (UsbWorker::kOutboxFrames - 1) + 1;
    QTRY_COMPARE_WITH_TIMEOUT(sim.write_count(dev), expected, kWait);
    QCOMPARE(sim.writeAt(dev, 0), QByteArray("\x10\x01" "A"));
    QCOMPARE(sim.writeAt(dev, 1), version);
    QCOMPARE(sim.writeAt(dev, expected - 1), QByteArray("\x20\x01" "B"));
    QVERIFY(run.finish());
    QCOMPARE(log.lines().filter("WARN|"),
             QStringList{QStringLiteral("WARN|outbox full (%1 frames, %2 bytes): dropped %3 version request(s) "
                                        "and 0 other frame(s)")
                             .arg(UsbWorker::kOutboxFrames)
                             .arg(UsbWorker::kOutboxBytes)
                             .arg(extra + 1)});
    QCOMPARE(run.rec.lost, 0);
}

void TestUsbWorker::framesWhileTheLinkIsDownAreCounted()
{
    const int dev = sim.add_device(1, "3", 0x2912, 0xa4);
    LogCapture log("USB-down");
    // The pause outlasts the test: the link stays down.
    Run run(entry("down", "a4"), 100, 600000);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 1, kWait);
    sim.push_read_result(dev, LIBUSB_ERROR_TIMEOUT, nullptr, 0);
    sim.push_read_result(dev, LIBUSB_ERROR_IO, nullptr, 0);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.lost, 1, kWait);
    run.send("\x10\x01" "A");
    run.send(QByteArray("\x01\x00", 2));
    QVERIFY(run.finish());
    QCOMPARE(log.lines().filter("WARN|"), QStringList{"WARN|link down: dropped 2 frame(s), 5 bytes, for the device"});
    QCOMPARE(sim.write_count(dev), 0);
}

void TestUsbWorker::noLeaksAcrossReconnects()
{
    const int dev = sim.add_device(1, "3", 0x2912, 0xa4);
    sim.add_device(1, "4", 0x2912, 0xa5);
    const int rounds = 20;
    for (int i = 0; i < rounds; ++i) {
        sim.push_read_result(dev, LIBUSB_ERROR_TIMEOUT, nullptr, 0);
        sim.push_read_result(dev, LIBUSB_ERROR_IO, nullptr, 0);
    }
    const int inits = sim.init_count();
    Run run(entry("leak", "1-3"), 10, 10);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.lost, rounds, kWait * 2);
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, rounds + 1, kWait);
    // One context and one handle at a time, whatever the number of reconnects:
    // a reconnect reads the device list again, the context stays.
    QCOMPARE(sim.live_contexts(), baseContexts + 1);
    QCOMPARE(sim.init_count(), inits + 1);
    QCOMPARE(sim.live_handles(), 1);
    QVERIFY(run.finish());
    // cleanup() checks that nothing is left.
}

void TestUsbWorker::readsNeverWaitForTheGlobalPool()
{
    const int dev = sim.add_device(1, "3", 0x2912, 0xa4);
    // Every thread of the global pool busy (as with other devices' reads or
    // log archiving): this worker's reads must still run.
    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    QSemaphore running;
    QSemaphore release;
    auto unblock = qScopeGuard([&] {
        release.release(threads);
        pool->waitForDone();
    });
    for (int i = 0; i < threads; ++i)
        pool->start([&] {
            running.release();
            release.acquire();
        });
    QVERIFY(running.tryAcquire(threads, kWait));
    Run run(entry("pool", "a4"));
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.established, 1, kWait);
    sim.pushIn(dev, "data");
    QTRY_COMPARE_WITH_TIMEOUT(run.rec.allData(), QByteArray("data"), kWait);
    QVERIFY(run.finish());
}

void TestUsbWorker::workersShareOneContext()
{
    // libusb spends a per-process resource on each context: many devices
    // must not mean many contexts.
    const int count = 50;
    const int inits = sim.init_count();
    SharedUsbContext &shared = UsbLib::instance()->sharedContext();
    std::vector<std::unique_ptr<Run>> runs;
    for (int i = 0; i < count; ++i) {
        const QString port = QString::number(i + 1);
        sim.add_device(1, port.toLatin1().constData(), 0x2912, 0xa4);
        runs.push_back(std::make_unique<Run>(entry(QStringLiteral("many%1").arg(i), "1-" + port)));
    }
    for (const auto &run : runs)
        QTRY_COMPARE_WITH_TIMEOUT(run->rec.established, 1, kWait);
    QCOMPARE(sim.live_contexts(), baseContexts + 1);
    QCOMPARE(sim.init_count(), inits + 1);
    QCOMPARE(shared.users(), count);
    // Stopped half at a time, each half at once: each waits out its pending
    // read. The context stays while any worker still runs; the last one
    // out ends it.
    for (const int from : {0, count / 2}) {
        const int to = from ? count : count / 2;
        for (int i = from; i < to; ++i)
            WorkerGuard::requestStop(runs[i]->guard);
        for (int i = from; i < to; ++i)
            QVERIFY(runs[i]->waitGone());
        QCOMPARE(shared.users(), count - to);
        QCOMPARE(sim.live_contexts(), baseContexts + (to < count ? 1 : 0));
    }
}

QTEST_GUILESS_MAIN(TestUsbWorker)
#include "tst_usbworker.moc"
