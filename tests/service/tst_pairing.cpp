// Worker pairs made by the service: threads, wiring, ending and deletion,
// with workers of the test's own that follow the worker contract.
#include "core/eventwait.h"
#include "core/iportworker.h"
#include "service/service.h"

#include <QMutex>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

std::atomic<int> liveWorkers{0};

class FakePortWorker : public IPortWorker
{
    Q_OBJECT
public:
    explicit FakePortWorker(int giveUpAfterMs = -1) : m_giveUpAfterMs(giveUpAfterMs) { ++liveWorkers; }
    ~FakePortWorker() override { --liveWorkers; }

    QList<QByteArray> received() const
    {
        QMutexLocker locker(&m_mutex);
        return m_received;
    }
    std::atomic<bool> started{false};
    std::atomic<bool> inMainThread{false};
    std::atomic<int> stopCalls{0};

signals:
    void finished() override;
    void portDataReceived(QByteArray data) override;
    void portConnectionLost() override;
    void portConnectionEstablished() override;

public slots:
    void start() override
    {
        started = true;
        inMainThread = QThread::currentThread() == qApp->thread();
        int elapsed = 0;
        while (!m_stop && (m_giveUpAfterMs < 0 || elapsed < m_giveUpAfterMs)) {
            EventWait::until(1, {});
            ++elapsed;
        }
        emit finished();
    }
    void stop() override
    {
        ++stopCalls;
        m_stop = true;
    }
    void onOfdDataReceived(QByteArray data) override
    {
        QMutexLocker locker(&m_mutex);
        m_received.append(data);
    }
    // Called queued from the test: the device "sends" something.
    void deviceSends(QByteArray data) { emit portDataReceived(data); }
    void deviceLost() { emit portConnectionLost(); }
    void deviceBack() { emit portConnectionEstablished(); }

private:
    const int m_giveUpAfterMs;
    std::atomic<bool> m_stop{false};
    mutable QMutex m_mutex;
    QList<QByteArray> m_received;
};

// Takes its time to end once asked, as a worker waiting for a read does.
class SlowStopWorker : public FakePortWorker
{
    Q_OBJECT
public:
    explicit SlowStopWorker(int endMs) : m_endMs(endMs) {}

public slots:
    void stop() override
    {
        QThread::msleep(ulong(m_endMs));
        FakePortWorker::stop();
    }

private:
    const int m_endMs;
};

class FakeOfdWorker : public IWorker
{
    Q_OBJECT
public:
    explicit FakeOfdWorker(const QString &id) : id(id) { ++liveWorkers; }
    ~FakeOfdWorker() override { --liveWorkers; }

    const QString id;
    std::atomic<bool> started{false};
    std::atomic<bool> paused{false};
    std::atomic<int> pauses{0};
    std::atomic<int> stopCalls{0};
    std::atomic<bool> finishOnOwn{false};
    QList<QByteArray> received() const
    {
        QMutexLocker locker(&m_mutex);
        return m_received;
    }

signals:
    void finished() override;
    void sendData(QByteArray data);

public slots:
    void start() override
    {
        started = true;
        while (!m_stop && !finishOnOwn)
            EventWait::until(1, {});
        emit finished();
    }
    void stop() override
    {
        ++stopCalls;
        m_stop = true;
    }
    void onDataReceived(QByteArray data)
    {
        QMutexLocker locker(&m_mutex);
        m_received.append(data);
    }
    void pause()
    {
        paused = true;
        ++pauses;
    }
    void unpause() { paused = false; }
    void hostSends(QByteArray data) { emit sendData(data); }

private:
    std::atomic<bool> m_stop{false};
    mutable QMutex m_mutex;
    QList<QByteArray> m_received;
};

char arg0[] = "kiv";
char *argv0[] = {arg0, nullptr};

class TestableService : public Service
{
public:
    TestableService() : Service(1, argv0) {}

    bool busy() const { return hasRunningWork(); }
    IPortWorker *realComWorker(const ComDeviceSettings &entry) { return Service::createComWorker(entry); }

    int portGiveUpMs = -1;
    int slowStopMs = -1;
    QList<QPointer<FakePortWorker>> ports;
    QList<QPointer<FakeOfdWorker>> ofds;
    QList<UsbDeviceSettings> usbEntries;
    QList<bool> registeredInMainThread;

protected:
    IPortWorker *createUsbWorker(const UsbDeviceSettings &entry) override
    {
        usbEntries.append(entry);
        registeredInMainThread.append(QThread::currentThread() == qApp->thread());
        return makePort();
    }
    IPortWorker *createComWorker(const ComDeviceSettings &) override { return makePort(); }
    IWorker *createOfdWorker(const QString &id) override
    {
        auto *worker = new FakeOfdWorker(id);
        ofds.append(worker);
        return worker;
    }

private:
    IPortWorker *makePort()
    {
        auto *worker = slowStopMs >= 0 ? new SlowStopWorker(slowStopMs) : new FakePortWorker(portGiveUpMs);
        ports.append(worker);
        return worker;
    }
};

UsbDeviceSettings usbEntry(const QString &id)
{
    UsbDeviceSettings entry;
    entry.id = id;
    entry.port = QStringLiteral("1-1");
    return entry;
}

const int kWait = 20000;

} // namespace

class TestPairing : public QObject
{
    Q_OBJECT
private slots:
    void cleanup()
    {
        // Every pair of a test has ended and been deleted before the next.
        QTRY_COMPARE_WITH_TIMEOUT(liveWorkers.load(), 0, kWait);
    }

    void pairCarriesDataBothWaysInOrder()
    {
        TestableService service;
        service.registerUsbWorker(usbEntry(QStringLiteral("a")));
        QCOMPARE(service.ports.size(), 1);
        QCOMPARE(service.ofds.size(), 1);
        FakePortWorker *port = service.ports.at(0);
        FakeOfdWorker *ofd = service.ofds.at(0);
        QCOMPARE(ofd->id, QStringLiteral("a"));
        QCOMPARE(service.portWorkers().size(), 1);
        QCOMPARE(service.ofdWorkers().size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(port->started && ofd->started, kWait);
        QVERIFY(!port->inMainThread);
        QVERIFY(port->thread() != ofd->thread());

        // Queued calls reach both workers while their start() loops run.
        const int count = 50;
        for (int i = 0; i < count; ++i) {
            QMetaObject::invokeMethod(ofd, "hostSends", Q_ARG(QByteArray, QByteArray::number(i)));
            QMetaObject::invokeMethod(port, "deviceSends", Q_ARG(QByteArray, QByteArray::number(1000 + i)));
        }
        QTRY_COMPARE_WITH_TIMEOUT(port->received().size(), count, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(ofd->received().size(), count, kWait);
        for (int i = 0; i < count; ++i) {
            QCOMPARE(port->received().at(i), QByteArray::number(i));
            QCOMPARE(ofd->received().at(i), QByteArray::number(1000 + i));
        }

        QMetaObject::invokeMethod(port, "deviceLost");
        QTRY_VERIFY_WITH_TIMEOUT(ofd->paused, kWait);
        QMetaObject::invokeMethod(port, "deviceBack");
        QTRY_VERIFY_WITH_TIMEOUT(!ofd->paused, kWait);
        QCOMPARE(ofd->pauses.load(), 1);

        // The service stops the port worker; its end stops the partner, and
        // workers and threads go away.
        service.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
        QVERIFY(service.ports.at(0).isNull());
        QVERIFY(service.ofds.at(0).isNull());
        // An ended pair is not kept.
        QTRY_VERIFY_WITH_TIMEOUT(service.portWorkers().isEmpty() && service.ofdWorkers().isEmpty(), kWait);
        // A second stop() finds nothing alive and touches nothing.
        service.stop();
    }

    void portWorkerGivingUpEndsThePair()
    {
        TestableService service;
        service.portGiveUpMs = 0;
        service.registerUsbWorker(usbEntry(QStringLiteral("gone")));
        QPointer<FakeOfdWorker> ofd = service.ofds.at(0);
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
        QVERIFY(ofd.isNull());
        QVERIFY(service.ports.at(0).isNull());
    }

    void ofdWorkerFinishingStopsItsPortWorker()
    {
        TestableService service;
        service.registerUsbWorker(usbEntry(QStringLiteral("b")));
        QPointer<FakePortWorker> port = service.ports.at(0);
        QTRY_VERIFY_WITH_TIMEOUT(port && port->started, kWait);
        service.ofds.at(0)->finishOnOwn = true;
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
        QVERIFY(port.isNull());
    }

    void sameIdTwiceGivesTwoPairs()
    {
        TestableService service;
        service.registerUsbWorker(usbEntry(QStringLiteral("same")));
        service.registerUsbWorker(usbEntry(QStringLiteral("same")));
        ComDeviceSettings com;
        com.id = QStringLiteral("same");
        service.registerComWorker(com);
        QCOMPARE(service.ports.size(), 3);
        QCOMPARE(service.ofds.size(), 3);
        QVERIFY(service.ports.at(0) != service.ports.at(1));
        for (const auto &ofd : service.ofds)
            QCOMPARE(ofd->id, QStringLiteral("same"));
        service.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
    }

    void stopRacesWithWorkersEndingOnTheirOwn()
    {
        // Port workers end at staggered moments while stop() walks the list
        // again and again; a destroyed worker must never be touched.
        TestableService service;
        for (int i = 0; i < 16; ++i) {
            service.portGiveUpMs = i % 4;
            service.registerUsbWorker(usbEntry(QString::number(i)));
        }
        for (int round = 0; round < 20; ++round) {
            service.stop();
            QTest::qWait(1);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
    }

    void slowWorkersStopTogether()
    {
        // Each needs a second to end; one after the other they would take
        // eight, and the main thread would wait through them.
        TestableService service;
        service.slowStopMs = 1000;
        const int count = 8;
        for (int i = 0; i < count; ++i)
            service.registerUsbWorker(usbEntry(QString::number(i)));
        for (const auto &port : std::as_const(service.ports))
            QTRY_VERIFY_WITH_TIMEOUT(port && port->started, kWait);
        QElapsedTimer clock;
        clock.start();
        service.stop();
        QVERIFY2(clock.elapsed() < 1000, "stop() waited for a worker");
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
        QVERIFY2(clock.elapsed() < service.stopGrace(), qPrintable(QString::number(clock.elapsed())));
        for (const auto &port : std::as_const(service.ports))
            QVERIFY(port.isNull());
    }

    void registrationStepsThroughTheEventLoop()
    {
        // start() only queues the devices; stop() drops those not yet made.
        TestableService service;
        Settings settings;
        for (int i = 0; i < 50; ++i) {
            ComDeviceSettings entry;
            entry.id = QString::number(i);
            settings.comDevices.append(entry);
        }
        service.registerDevices(settings);
        QCOMPARE(service.ports.size(), 0);
        QCOMPARE(service.pendingRegistrations(), 50);
        QTRY_VERIFY_WITH_TIMEOUT(service.ports.size() >= 10, kWait);
        service.stop();
        const int made = int(service.ports.size());
        QCOMPARE(service.pendingRegistrations(), 0);
        QTest::qWait(50);
        QCOMPARE(int(service.ports.size()), made);
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
    }

    void serialProtocolChoosesProxy_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("className");
        QTest::newRow("2") << 2 << QStringLiteral("ComProxyMorv2");
        QTest::newRow("3") << 3 << QStringLiteral("ComProxyMorv3");
        QTest::newRow("default") << int(kDefaultSerialProtocol) << QStringLiteral("ComProxyMorv3");
        QTest::newRow("0") << 0 << QStringLiteral("ComProxyMorv3");
    }

    void serialProtocolChoosesProxy()
    {
        QFETCH(int, protocol);
        QFETCH(QString, className);
        TestableService service;
        ComDeviceSettings entry;
        entry.id = QStringLiteral("c");
        entry.protocol = quint8(protocol);
        std::unique_ptr<IPortWorker> worker(service.realComWorker(entry));
        QCOMPARE(QString::fromLatin1(worker->metaObject()->className()), className);
    }

    void hotplugArrivalRegistersOnMainThread()
    {
        TestableService service;
        // From the main thread: registered at once.
        service.onDeviceArrived({{QStringLiteral("Dev"), QStringLiteral("3-1")}});
        QCOMPARE(service.usbEntries.size(), 1);

        // From another thread: handed to the main thread.
        std::thread poller([&] {
            service.onDeviceArrived({{QStringLiteral("Dev"), QStringLiteral("1-4.2")}});
        });
        poller.join();
        QCOMPARE(service.usbEntries.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(service.usbEntries.size(), 2, kWait);

        for (const bool inMain : std::as_const(service.registeredInMainThread))
            QVERIFY(inMain);
        const UsbDeviceSettings entry = service.usbEntries.at(1);
        QCOMPARE(entry.id, QStringLiteral("1-4.2"));
        QCOMPARE(entry.port, QStringLiteral("1-4.2"));
        QVERIFY(entry.hotplugged);
        QCOMPARE(service.ofds.at(1)->id, QStringLiteral("1-4.2"));

        // Departures change nothing.
        service.onDeviceLeft({{QStringLiteral("Dev"), QStringLiteral("1-4.2")}});
        QCOMPARE(service.ports.size(), 2);

        // After stop() no arrival makes a pair, not even one already queued.
        std::thread late([&] {
            service.onDeviceArrived({{QStringLiteral("Dev"), QStringLiteral("2-7")}});
        });
        late.join();
        service.stop();
        service.onDeviceArrived({{QStringLiteral("Dev"), QStringLiteral("2-8")}});
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
        QCOMPARE(service.usbEntries.size(), 2);
    }

    void arrivalWithoutDevKeyGivesEmptyId()
    {
        TestableService service;
        service.onDeviceArrived({});
        QCOMPARE(service.usbEntries.size(), 1);
        QVERIFY(service.usbEntries.at(0).id.isEmpty());
        QVERIFY(service.usbEntries.at(0).hotplugged);
        service.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!service.busy(), kWait);
    }

    void consoleLogFromArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("console");
        QTest::newRow("-e") << QStringList{"-e"} << true;
        QTest::newRow("-exec") << QStringList{"-exec"} << true;
        QTest::newRow("behind others") << QStringList{"-x", "y", "-e"} << true;
        QTest::newRow("none") << QStringList{} << false;
        QTest::newRow("-E") << QStringList{"-E"} << false;
        QTest::newRow("--exec") << QStringList{"--exec"} << false;
        QTest::newRow("-e1") << QStringList{"-e1"} << false;
    }

    void consoleLogFromArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, console);
        std::vector<QByteArray> storage{QByteArrayLiteral("kiv")};
        for (const QString &arg : args)
            storage.push_back(arg.toUtf8());
        std::vector<char *> argv;
        for (QByteArray &word : storage)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        Service service(int(argv.size() - 1), argv.data());
        QCOMPARE(service.consoleLog(), console);
        QCOMPARE(service.objectName(), QStringLiteral("Kiv"));
        QCOMPARE(service.serviceName(), QStringLiteral("Kiv (v8520)"));
        QCOMPARE(service.startupType(), ServiceBase::AutoStartup);
    }
};

QTEST_GUILESS_MAIN(TestPairing)
#include "tst_pairing.moc"
