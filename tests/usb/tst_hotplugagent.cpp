#include "usb/hotplugagent.h"
#include "usb/poller.h"
#include "usb/usblib.h"

#include "logcapture.h"
#include "simusbcontrol.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QThread>
#include <QtTest>

namespace {

const int kWait = 15000;

struct Report
{
    QMap<QString, QString> properties;
    QThread *thread;
    qint64 at;
};

// Records every call with the thread it came on; libusb calls it from the
// poller thread.
class Listener : public HotplugListener
{
public:
    explicit Listener(const QElapsedTimer &clock) : clock(clock) {}

    void onDeviceArrived(const QMap<QString, QString> &properties) override
    {
        QMutexLocker locker(&mutex);
        arrivals.append({properties, QThread::currentThread(), clock.elapsed()});
    }
    void onDeviceLeft(const QMap<QString, QString> &) override
    {
        QMutexLocker locker(&mutex);
        ++departures;
    }

    QList<Report> reports()
    {
        QMutexLocker locker(&mutex);
        return arrivals;
    }
    int left()
    {
        QMutexLocker locker(&mutex);
        return departures;
    }

private:
    const QElapsedTimer &clock;
    QMutex mutex;
    QList<Report> arrivals;
    int departures = 0;
};

} // namespace

class TestHotplugAgent : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(sim.load(), sim.error.constData()); }
    void init()
    {
        sim.reset();
        clock.start();
        baseContexts = sim.live_contexts();
    }
    void cleanup()
    {
        QCOMPARE(sim.hotplug_callbacks(), 0);
        QCOMPARE(sim.live_contexts(), baseContexts);
    }

    void presentDevicesReportedDuringConstruction()
    {
        sim.add_device(1, "4.2", 0x2912, 0xa4);
        sim.add_device(2, "1", 0x1234, 0xa4);
        sim.add_device(3, "1", 0x2912, 0x01);
        Listener listener(clock);
        {
            HotplugAgent agent(&listener);
            // Reported synchronously, on the constructing thread.
            const QList<Report> reports = listener.reports();
            QCOMPARE(reports.size(), 2);
            QCOMPARE(reports[0].properties, (QMap<QString, QString>{{"Dev", "1-4.2"}}));
            QCOMPARE(reports[1].properties, (QMap<QString, QString>{{"Dev", "3-1"}}));
            QCOMPARE(reports[0].thread, QThread::currentThread());
            QCOMPARE(sim.hotplug_callbacks(), 1);
        }
        QCOMPARE(listener.reports().size(), 2);
    }

    void laterArrivalComesFromPollerThread()
    {
        const int other = sim.add_device(2, "7", 0x1234, 0x10);
        const int dev = sim.add_device(1, "4.2.1", 0x2912, 0xa4);
        sim.unplug(other);
        sim.unplug(dev);
        Listener listener(clock);
        HotplugAgent agent(&listener);
        QCOMPARE(listener.reports().size(), 0);

        sim.plug(other);
        sim.plug(dev);
        QTRY_COMPARE_WITH_TIMEOUT(listener.reports().size(), 1, kWait);
        const Report report = listener.reports().first();
        QCOMPARE(report.properties.value("Dev"), QStringLiteral("1-4.2.1"));
        QVERIFY(report.thread != QThread::currentThread());

        // The same device again is a second arrival, served by a second pair.
        sim.unplug(dev);
        sim.plug(dev);
        QTRY_COMPARE_WITH_TIMEOUT(listener.reports().size(), 2, kWait);
        QCOMPARE(listener.reports().last().properties.value("Dev"), QStringLiteral("1-4.2.1"));
    }

    void departureCallsNoListener()
    {
        const int leaving = sim.add_device(1, "2", 0x2912, 0xa4);
        const int coming = sim.add_device(1, "3", 0x2912, 0xa4);
        sim.unplug(coming);
        Listener listener(clock);
        HotplugAgent agent(&listener);
        QCOMPARE(listener.reports().size(), 1);

        // A departure and an arrival right after it: the arrival is reported.
        sim.unplug(leaving);
        sim.plug(coming);
        QTRY_COMPARE_WITH_TIMEOUT(listener.reports().size(), 2, kWait);
        QCOMPARE(listener.reports().last().properties.value("Dev"), QStringLiteral("1-3"));
        QCOMPARE(listener.left(), 0);
    }

    void failedStartThenRetry_data()
    {
        QTest::addColumn<int>("registerResult");
        QTest::addColumn<int>("capable");
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("code");
        QTest::newRow("registration refused") << int(LIBUSB_ERROR_ACCESS) << 1 << "callback registration"
                                              << int(LIBUSB_ERROR_ACCESS);
        QTest::newRow("no hot-plug capability") << 0 << 0 << "hot-plug capability" << int(LIBUSB_ERROR_NOT_SUPPORTED);
    }

    void failedStartThenRetry()
    {
        QFETCH(int, registerResult);
        QFETCH(int, capable);
        QFETCH(QString, step);
        QFETCH(int, code);
        sim.add_device(1, "4.2", 0x2912, 0xa4);
        sim.set_register_result(registerResult);
        sim.set_hotplug_capability(capable);
        Listener listener(clock);
        HotplugAgent agent(&listener);
        QVERIFY(!agent.isRunning());
        QCOMPARE(agent.failedStep(), step);
        QCOMPARE(agent.failureCode(), code);
        QCOMPARE(listener.reports().size(), 0);
        // Nothing is held while it fails, however often it is tried.
        QVERIFY(!agent.retry());
        QCOMPARE(sim.live_contexts(), baseContexts);
        QCOMPARE(sim.hotplug_callbacks(), 0);

        sim.set_register_result(0);
        sim.set_hotplug_capability(1);
        QVERIFY(agent.retry());
        QVERIFY(agent.isRunning());
        QCOMPARE(listener.reports().size(), 1);
        QCOMPARE(listener.reports().first().properties.value("Dev"), QStringLiteral("1-4.2"));
        // Once running, a retry registers nothing more.
        QVERIFY(agent.retry());
        QCOMPARE(sim.hotplug_callbacks(), 1);
    }

    void pollerSleepsInLibusbAndBacksOffOnFailure()
    {
        LogCapture log("HotplugPoller");
        Listener listener(clock);
        HotplugAgent agent(&listener);
        QTRY_VERIFY_WITH_TIMEOUT(sim.handle_events_calls() >= 1, kWait);
        // Idle: one call waits inside libusb for the whole second.
        int calls = sim.handle_events_calls();
        QTest::qWait(1000);
        QVERIFY2(sim.handle_events_calls() - calls <= 1, QByteArray::number(sim.handle_events_calls() - calls));

        // A call that fails at once is not repeated in a tight loop, and logged once.
        sim.set_handle_events_result(LIBUSB_ERROR_NO_MEM);
        auto restore = qScopeGuard([this] { sim.set_handle_events_result(0); });
        QTRY_COMPARE_WITH_TIMEOUT(log.count("ERROR|handle events: -11"), 1, kWait);
        calls = sim.handle_events_calls();
        QTest::qWait(1000);
        QVERIFY2(sim.handle_events_calls() - calls <= 2, QByteArray::number(sim.handle_events_calls() - calls));
        QCOMPARE(log.count("ERROR|handle events: -11"), 1);
    }

    void tearDownIsPrompt()
    {
        sim.add_device(1, "4", 0x2912, 0xa4);
        Listener listener(clock);
        const int calls = sim.handle_events_calls();
        auto *agent = new HotplugAgent(&listener);
        // The poller is now in libusb's event wait (a minute long).
        QTRY_VERIFY_WITH_TIMEOUT(sim.handle_events_calls() > calls, kWait);
        QElapsedTimer timer;
        timer.start();
        delete agent;
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    }

private:
    SimUsb sim;
    QElapsedTimer clock;
    int baseContexts = 0;
};

QTEST_GUILESS_MAIN(TestHotplugAgent)
#include "tst_hotplugagent.moc"
