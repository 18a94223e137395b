// The protocol-2 proxy between two pseudo-terminals: the test plays the
// application on one master and the device on the other.
#include "morv2peer.h"
#include "ptypair.h"
#include "proxy/comproxymorv2.h"
#include "proxy/morv2frame.h"

#include <QFile>
#include <QMutex>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/basicconfigurator.h>
#include <log4cxx/logger.h>
#include <log4cxx/spi/loggingevent.h>

#include <termios.h>

namespace {

constexpr int kWait = 15000;   // bound for anything that should happen soon

// Collects the messages of one logger.
class CaptureAppender : public log4cxx::AppenderSkeleton
{
public:
    QStringList lines() const
    {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    int count(const QString &text) const
    {
        int n = 0;
        for (const QString &line : lines())
            n += line.contains(text) ? 1 : 0;
        return n;
    }
    void close() override {}
    bool requiresLayout() const override { return false; }

protected:
    void append(const log4cxx::spi::LoggingEventPtr &event, log4cxx::helpers::Pool &) override
    {
        QMutexLocker lock(&m_mutex);
        m_lines << QString::fromStdString(event->getRenderedMessage());
    }

private:
    mutable QMutex m_mutex;
    QStringList m_lines;
};

QByteArray readFrameData(Morv2Peer &peer)
{
    QByteArray data;
    return peer.receive(&data, kWait) ? data : QByteArray("<nothing>");
}

} // namespace

// One proxy on its own thread between two pseudo-terminal pairs.
class Rig
{
public:
    explicit Rig(const QString &id, ComProxyMorv2::Timing timing = {}, bool appPresent = true)
        : appPeer(app)
        , devPeer(dev)
    {
        entry.id = id;
        entry.protocol = 2;
        // Without the application's port, its path is a link yet to be made.
        entry.app.port = appPresent ? app.portPath() : dir.filePath("app");
        entry.app.baudrate = 9600;   // ignored: the application side is always 115200
        entry.dev.port = dev.portPath();
        entry.dev.baudrate = 57600;

        log = std::make_shared<CaptureAppender>();
        logger = log4cxx::Logger::getLogger(("ComProxy2-" + id).toStdString());
        logger->addAppender(log);

        proxy = new ComProxyMorv2(entry);
        proxy->setTiming(timing);
        proxy->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, proxy, &ComProxyMorv2::start);
        QObject::connect(proxy, &ComProxyMorv2::finished, &thread, &QThread::quit, Qt::DirectConnection);
        established = std::make_unique<QSignalSpy>(proxy, &ComProxyMorv2::portConnectionEstablished);
        lost = std::make_unique<QSignalSpy>(proxy, &ComProxyMorv2::portConnectionLost);
        received = std::make_unique<QSignalSpy>(proxy, &ComProxyMorv2::portDataReceived);
        finished = std::make_unique<QSignalSpy>(proxy, &ComProxyMorv2::finished);
        dropped = std::make_unique<QSignalSpy>(proxy, &ComProxyMorv2::framesDropped);
        thread.start();
    }

    ~Rig()
    {
        proxy->stop();
        thread.wait();
        delete proxy;
        logger->removeAppender(log);
    }

    // Both ports open, ready to relay (the application's port opens after
    // the device's, and opening clears what was there).
    bool waitReady(int opened = 2)
    {
        QDeadlineTimer deadline(kWait);
        while (log->lines().count(QStringLiteral("OK")) < opened && !deadline.hasExpired())
            QTest::qWait(10);
        return log->lines().count(QStringLiteral("OK")) >= opened;
    }

    void ofdAnswer(const QByteArray &data)
    {
        QMetaObject::invokeMethod(proxy, "onOfdDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, data));
    }


    QTemporaryDir dir;
    PtyPair app;
    PtyPair dev;
    Morv2Peer appPeer;
    Morv2Peer devPeer;
    ComDeviceSettings entry;
    std::shared_ptr<CaptureAppender> log;
    log4cxx::LoggerPtr logger;
    ComProxyMorv2 *proxy = nullptr;
    QThread thread;
    std::unique_ptr<QSignalSpy> established, lost, received, finished, dropped;
};

class TestMorv2Proxy : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsSet("KIV_TEST_LOG"))
            log4cxx::BasicConfigurator::configure();
    }

    void relaysBothWaysWithStuffing()
    {
        Rig rig("relay");
        QVERIFY(rig.waitReady());
        // The application's line runs at 115200 whatever the entry says.
        termios tio{};
        QCOMPARE(tcgetattr(rig.app.masterFd(), &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
        QCOMPARE(tcgetattr(rig.dev.masterFd(), &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B57600));

        const QByteArray control = QByteArray::fromHex("0103101003020405061510");
        QCOMPARE(rig.appPeer.send(control, kWait), Morv2Peer::Result::Ok);
        QCOMPARE(readFrameData(rig.devPeer), control);
        QCOMPARE(rig.devPeer.send(control + "answer", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(readFrameData(rig.appPeer), control + "answer");

        // Frames whose check byte is ETX or DLE, both ways, checked on the wire.
        for (const QByteArray &data : {QByteArray::fromHex("00"), QByteArray::fromHex("13")}) {
            QCOMPARE(rig.appPeer.send(data, kWait), Morv2Peer::Result::Ok);
            QCOMPARE(rig.devPeer.readByte(kWait), int(Morv2Frame::ENQ));
            rig.devPeer.writeByte(Morv2Frame::ACK);
            QCOMPARE(rig.devPeer.readWireFrame(kWait), Morv2Frame::build(data));
            rig.devPeer.writeByte(Morv2Frame::ACK);
            QCOMPARE(rig.devPeer.readByte(kWait), int(Morv2Frame::EOT));

            QCOMPARE(rig.devPeer.send(data, kWait), Morv2Peer::Result::Ok);
            QCOMPARE(readFrameData(rig.appPeer), data);
        }
        QCOMPARE(rig.log->count("app -> dev | 01 03 10 10 03 02 04 05 06 15 10 (11 bytes)"), 1);
        QVERIFY(rig.received->isEmpty());
    }

    void ofdFramesGoToOfdOnly()
    {
        Rig rig("ofd");
        QVERIFY(rig.waitReady());
        QCOMPARE(rig.devPeer.send(QByteArray::fromHex("da0102"), kWait), Morv2Peer::Result::Ok);
        QCOMPARE(rig.devPeer.send(QByteArray::fromHex("da"), kWait), Morv2Peer::Result::Ok);
        QCOMPARE(rig.devPeer.send("plain", kWait), Morv2Peer::Result::Ok);
        // The application sees the plain frame first: the OFD ones never.
        QCOMPARE(readFrameData(rig.appPeer), QByteArray("plain"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.received->size(), 2, kWait);
        QCOMPARE(rig.received->at(0).at(0).toByteArray(), QByteArray::fromHex("0102"));
        QCOMPARE(rig.received->at(1).at(0).toByteArray(), QByteArray());
        QCOMPARE(rig.log->count("dev -> ofd | DA 01 02 (3 bytes)"), 1);
    }

    void ofdAnswersCarryPrefix()
    {
        Rig rig("prefix");
        QVERIFY(rig.waitReady());
        rig.ofdAnswer("one");
        QCOMPARE(readFrameData(rig.devPeer), QByteArray::fromHex("0000da") + "one");
        QCOMPARE(rig.log->count("ofd -> dev | 00 00 DA 6F 6E 65 (6 bytes)"), 1);

        QCOMPARE(rig.appPeer.send("XYcommand", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(readFrameData(rig.devPeer), QByteArray("XYcommand"));
        rig.ofdAnswer("two");
        rig.ofdAnswer("three");
        QCOMPARE(readFrameData(rig.devPeer), QByteArray("XY\xDAtwo"));
        QCOMPARE(readFrameData(rig.devPeer), QByteArray("XY\xDAthree"));

        QCOMPARE(rig.appPeer.send("Q", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(readFrameData(rig.devPeer), QByteArray("Q"));
        rig.ofdAnswer("four");
        QCOMPARE(readFrameData(rig.devPeer), QByteArray("Q\xDA" "four"));
    }

    void conflictDelays()
    {
        ComProxyMorv2::Timing timing;
        timing.devConflictDelay = 600;
        timing.appConflictDelay = 3000;
        Rig rig("conflict", timing);
        QVERIFY(rig.waitReady());

        // Device side: our ENQ crosses the proxy's.
        QCOMPARE(rig.appPeer.send("to device", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(rig.devPeer.readByte(kWait), int(Morv2Frame::ENQ));
        QElapsedTimer timer;
        timer.start();
        rig.devPeer.writeByte(Morv2Frame::ENQ);
        QCOMPARE(rig.devPeer.readByte(kWait), int(Morv2Frame::ENQ));
        const qint64 devDelay = timer.elapsed();
        QVERIFY2(devDelay >= 600 && devDelay < 3000, qPrintable(QString::number(devDelay)));
        QVERIFY(rig.devPeer.receiveAfterEnq(nullptr, kWait));
        QCOMPARE(rig.log->count("Conflict"), 1);

        // Application side.
        QCOMPARE(rig.devPeer.send("to application", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(rig.appPeer.readByte(kWait), int(Morv2Frame::ENQ));
        timer.start();
        rig.appPeer.writeByte(Morv2Frame::ENQ);
        QCOMPARE(rig.appPeer.readByte(kWait), int(Morv2Frame::ENQ));
        QVERIFY2(timer.elapsed() >= 3000, qPrintable(QString::number(timer.elapsed())));
        QByteArray data;
        QVERIFY(rig.appPeer.receiveAfterEnq(&data, kWait));
        QCOMPARE(data, QByteArray("to application"));
        QCOMPARE(rig.log->count("Conflict"), 2);
    }

    void defaultConflictDelay()
    {
        Rig rig("conflictdefault");
        QVERIFY(rig.waitReady());
        QCOMPARE(rig.devPeer.send("to application", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(rig.appPeer.readByte(kWait), int(Morv2Frame::ENQ));
        QElapsedTimer timer;
        timer.start();
        rig.appPeer.writeByte(Morv2Frame::ENQ);
        QCOMPARE(rig.appPeer.readByte(kWait), int(Morv2Frame::ENQ));
        QVERIFY2(timer.elapsed() >= 1000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(rig.appPeer.receiveAfterEnq(nullptr, kWait));
    }

    // Failures of the handshake are logged by their number and the loop
    // goes on; each limit is in the link's own table.
    void linkErrorIsLoggedAndLoopGoesOn()
    {
        Rig rig("linkerror");
        QVERIFY(rig.waitReady());
        rig.appPeer.write(QByteArray(100, 'x'));
        QTRY_COMPARE_WITH_TIMEOUT(rig.log->count("error in line 384"), 1, kWait);
        QCOMPARE(rig.appPeer.send("next", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(readFrameData(rig.devPeer), QByteArray("next"));

        // A storm of noise: a bounded number of lines, then traffic again.
        rig.appPeer.write(QByteArray(2000, char(0xFF)));
        QTRY_COMPARE_WITH_TIMEOUT(rig.log->count("further errors in line"), 1, kWait);
        QCOMPARE(rig.appPeer.send("after", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(readFrameData(rig.devPeer), QByteArray("after"));
        QCOMPARE(rig.log->count("error in line 384"), 6);
    }

    // The device, not seeing our frame acknowledged in time, begins its own
    // frame: the proxy takes it, passes it on, then sends its own again.
    void frameYieldedBySendIsRouted()
    {
        Rig rig("yield");
        QVERIFY(rig.waitReady());
        QCOMPARE(rig.appPeer.send("command", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(rig.devPeer.readByte(kWait), int(Morv2Frame::ENQ));
        rig.devPeer.writeByte(Morv2Frame::ACK);
        QCOMPARE(rig.devPeer.readWireFrame(kWait), Morv2Frame::build("command"));
        QCOMPARE(rig.devPeer.readWireFrame(kWait), Morv2Frame::build("command"));
        rig.devPeer.writeByte(Morv2Frame::ENQ);
        QCOMPARE(rig.devPeer.readByte(kWait), int(Morv2Frame::ACK));
        rig.devPeer.write(Morv2Frame::build("answer"));
        QCOMPARE(rig.devPeer.readByte(kWait), int(Morv2Frame::ACK));
        rig.devPeer.writeByte(Morv2Frame::EOT);

        QCOMPARE(readFrameData(rig.appPeer), QByteArray("answer"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.log->count("frame abandoned"), 1, kWait);
        QCOMPARE(readFrameData(rig.devPeer), QByteArray("command"));

        // An OFD frame yielded the same way goes to the OFD side, and the
        // abandoned command goes again before the OFD answer queued meanwhile.
        QCOMPARE(rig.appPeer.send("again", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(rig.devPeer.readByte(kWait), int(Morv2Frame::ENQ));
        rig.devPeer.writeByte(Morv2Frame::ACK);
        QCOMPARE(rig.devPeer.readWireFrame(kWait), Morv2Frame::build("again"));
        QCOMPARE(rig.devPeer.readWireFrame(kWait), Morv2Frame::build("again"));
        rig.devPeer.writeByte(Morv2Frame::ENQ);
        QCOMPARE(rig.devPeer.readByte(kWait), int(Morv2Frame::ACK));
        rig.ofdAnswer("newer");
        rig.devPeer.write(Morv2Frame::build(QByteArray::fromHex("da77")));
        QCOMPARE(rig.devPeer.readByte(kWait), int(Morv2Frame::ACK));
        rig.devPeer.writeByte(Morv2Frame::EOT);
        QTRY_COMPARE_WITH_TIMEOUT(rig.received->size(), 1, kWait);
        QCOMPARE(rig.received->at(0).at(0).toByteArray(), QByteArray::fromHex("77"));
        QCOMPARE(readFrameData(rig.devPeer), QByteArray("again"));
        QCOMPARE(readFrameData(rig.devPeer), QByteArray("ag") + QByteArray::fromHex("da") + "newer");
        QCOMPARE(rig.devPeer.send("last", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(readFrameData(rig.appPeer), QByteArray("last"));
        QCOMPARE(rig.devPeer.readByte(500), -1);
        QCOMPARE(rig.log->count("frame abandoned"), 2);
    }

    void unopenableApplicationPort()
    {
        ComProxyMorv2::Timing timing;
        timing.retryDelay = 100;
        Rig rig("noapp", timing, false);
        QVERIFY(rig.waitReady(1));
        const QString appOpen = QStringLiteral("Open %1...").arg(rig.entry.app.port);
        const QString devOpen = QStringLiteral("Open %1...").arg(rig.entry.dev.port);
        QTRY_VERIFY_WITH_TIMEOUT(rig.log->count(appOpen) >= 3, kWait);
        rig.ofdAnswer("waiting");
        QCOMPARE(rig.devPeer.readByte(1000), -1);   // nothing relayed meanwhile
        QCOMPARE(rig.log->count(devOpen), 1);
        QCOMPARE(rig.established->size(), 1);

        QVERIFY(QFile::link(rig.app.portPath(), rig.entry.app.port));
        QCOMPARE(readFrameData(rig.devPeer), QByteArray::fromHex("0000da") + "waiting");
        QCOMPARE(rig.log->count(devOpen), 1);
    }

    void vanishedDeviceIsReopened()
    {
        ComProxyMorv2::Timing timing;
        timing.retryDelay = 200;
        Rig rig("vanish", timing);
        QVERIFY(rig.waitReady());
        QCOMPARE(rig.appPeer.send("first", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(rig.devPeer.readByte(kWait), int(Morv2Frame::ENQ));
        rig.devPeer.writeByte(Morv2Frame::ACK);
        QCOMPARE(rig.devPeer.readWireFrame(kWait), Morv2Frame::build("first"));
        rig.dev.closeMaster();   // unplugged in the middle of the exchange

        QVERIFY(rig.lost->wait(kWait) || !rig.lost->isEmpty());
        const QString reopening = QStringLiteral("Open %1...").arg(rig.entry.dev.port);
        QTRY_VERIFY_WITH_TIMEOUT(rig.log->count(reopening) >= 3, kWait);
        QCOMPARE(rig.log->count("dev port closed, frame dropped | 66 69 72 73 74 (5 bytes)"), 1);
        QCOMPARE(rig.dropped->size(), 1);
        QCOMPARE(rig.dropped->first(), (QVariantList{QStringLiteral("link"), 1}));
        QCOMPARE(rig.log->count("dev error"), 1);
        QCOMPARE(rig.lost->size(), 1);

        QVERIFY(rig.dev.reopen());
        QTRY_COMPARE_WITH_TIMEOUT(rig.established->size(), 2, kWait);
        QCOMPARE(rig.appPeer.send("second", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(readFrameData(rig.devPeer), QByteArray("second"));
        QCOMPARE(rig.devPeer.send("reply", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(readFrameData(rig.appPeer), QByteArray("reply"));
        QCOMPARE(rig.log->count("dev error"), 1);
    }

    // Commands and OFD answers take turns for the device: an answer waits
    // behind one command at most, however many are queued.
    void ofdAnswersTakeTurnsWithCommands()
    {
        ComProxyMorv2::Timing timing;
        timing.byteWait = 3000;   // the device reads late; nothing is given up meanwhile
        Rig rig("turns", timing);
        QVERIFY(rig.waitReady());
        for (const char *command : {"c1", "c2", "c3"})
            QCOMPARE(rig.appPeer.send(command, kWait), Morv2Peer::Result::Ok);
        rig.ofdAnswer("ofd");
        QByteArrayList order;
        for (int i = 0; i < 4; ++i)
            order << readFrameData(rig.devPeer);
        QCOMPARE(order, (QByteArrayList{"c1", QByteArray("c3\xDA" "ofd"), "c2", "c3"}));
    }

    // A device that answers nothing while OFD frames keep coming: the queue
    // stays bounded (repeated requests once, then a cap), the wait is said
    // once, the application's line goes on, and once the device answers it
    // gets the command at its turn and then what was kept, in order.
    void deadDeviceKeepsOfdQueueBounded()
    {
        ComProxyMorv2::Timing timing;
        timing.byteWait = 300;   // an unanswered frame costs five of these
        timing.ofdWaitWarn = 1000;
        Rig rig("deaddev", timing);
        QVERIFY(rig.waitReady());
        for (int i = 0; i < 1000; ++i)
            rig.ofdAnswer(QByteArray::fromHex("0100"));
        for (int i = 0; i < 300; ++i)
            rig.ofdAnswer(QByteArray::fromHex("2002") + char(i >> 8) + char(i & 0xFF));
        QTRY_VERIFY_WITH_TIMEOUT(rig.log->count("error in line 548") >= 3, kWait);

        QCOMPARE(rig.appPeer.send("command", kWait), Morv2Peer::Result::Ok);
        QCOMPARE(rig.log->count("OFD queue full"), 1);
        QTRY_COMPARE_WITH_TIMEOUT(rig.log->count("OFD frame waiting for the device"), 1, kWait);

        // The device answers again.
        rig.dev.drain();
        QByteArrayList frames;
        QDeadlineTimer deadline(4 * kWait);
        while (!deadline.hasExpired()) {
            QByteArray data;
            if (rig.devPeer.receive(&data, 2000))
                frames << data;
            else if (rig.log->count("dropped while it was full") > 0)
                break;
        }
        // The command goes right after the answer under way, if any.
        const qsizetype at = frames.indexOf(QByteArray("command"));
        QVERIFY2(at == 0 || at == 1, qPrintable(QString::number(at)));
        frames.removeAt(at);
        QVERIFY2(frames.size() >= 200 && frames.size() <= 256, qPrintable(QString::number(frames.size())));
        // At most one version request, then the numbered answers in order.
        if (frames.first() == QByteArray::fromHex("636fda0100"))
            frames.removeFirst();
        for (qsizetype i = 0, last = -1; i < frames.size(); ++i) {
            QCOMPARE(frames[i].mid(2, 3), QByteArray::fromHex("da2002"));
            const int n = quint8(frames[i].at(5)) << 8 | quint8(frames[i].at(6));
            QVERIFY2(n > last, qPrintable(QString::number(n)));
            last = n;
        }
        QCOMPARE(rig.log->count("dropped while it was full"), 1);
        QCOMPARE(rig.log->count("OFD frame waiting for the device"), 1);
    }

    void stopOnOwnThreadDoesNotHang()
    {
        Rig rig("ownstop");
        QVERIFY(rig.waitReady());
        QMetaObject::invokeMethod(rig.proxy, "stop", Qt::QueuedConnection);
        QVERIFY(rig.finished->wait(kWait) || !rig.finished->isEmpty());
        QVERIFY(rig.thread.wait(kWait));
        QCOMPARE(rig.finished->size(), 1);
    }

    void stopFromAnotherThread()
    {
        Rig rig("stop");
        QVERIFY(rig.waitReady());
        rig.proxy->stop();
        QVERIFY(rig.thread.wait(kWait));
        QCOMPARE(rig.finished->size(), 1);
        rig.proxy->stop();   // after the end: harmless
    }
};

QTEST_GUILESS_MAIN(TestMorv2Proxy)
#include "tst_morv2proxy.moc"
