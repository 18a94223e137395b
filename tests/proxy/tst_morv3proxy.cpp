#include "core/eventwait.h"
#include "proxy/comproxymorv3.h"
#include "proxy/morv3decoder.h"
#include "proxy/morv3frame.h"
#include "ptypair.h"

#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <log4cxx/fileappender.h>
#include <log4cxx/logger.h>
#include <log4cxx/patternlayout.h>

#include <termios.h>

#include <atomic>
#include <memory>

namespace {

constexpr int kWait = 20000;   // generous: ASan build on a loaded machine

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

// What the proxy reports to its OfdWorker, seen from the test's thread.
class Recorder : public QObject
{
    Q_OBJECT
public:
    QStringList events;
public slots:
    void onData(QByteArray data) { events.append(QStringLiteral("data ") + QString::fromLatin1(data.toHex())); }
    void onLost() { events.append(QStringLiteral("lost")); }
    void onEstablished() { events.append(QStringLiteral("established")); }
};

// Stands in for the OfdWorker: runs until stopped.
class Partner : public IWorker
{
    Q_OBJECT
public:
    std::atomic<bool> stopFlag{false};
signals:
    void finished() override;
public slots:
    void start() override
    {
        while (!stopFlag.load())
            EventWait::until(5, {});
        emit finished();
    }
    void stop() override { stopFlag.store(true); }
};

struct Frame
{
    Morv3Frame frame;
    QByteArray raw;
};

// One proxy between two pseudo-terminals; the test plays both ends.
class Rig
{
public:
    explicit Rig(const ComProxyMorv3::Timings &timings, int appBaud = 9600)
    {
        static int serial = 0;
        id = QStringLiteral("p3t%1").arg(++serial);
        devLink = dev.portPath();
        appLink = app.portPath();

        logPath = dir.filePath(QStringLiteral("log.txt"));
        logger = log4cxx::Logger::getLogger(("ComProxy3-" + id).toStdString());
        logger->setLevel(log4cxx::Level::getDebug());
        auto layout = std::make_shared<log4cxx::PatternLayout>("%p %m%n");
        appender = std::make_shared<log4cxx::FileAppender>(layout, logPath.toStdString(), false);
        logger->addAppender(appender);

        ComDeviceSettings entry;
        entry.id = id;
        entry.dev.port = devLink;
        entry.dev.baudrate = 9600;
        entry.app.port = appLink;
        entry.app.baudrate = appBaud;
        entry.protocol = 3;

        proxy = new ComProxyMorv3(entry);
        proxy->setTimings(timings);
        thread = new QThread;
        proxy->moveToThread(thread);
        QObject::connect(thread, &QThread::started, proxy, &ComProxyMorv3::start);
        QObject::connect(proxy, &ComProxyMorv3::finished, thread, &QThread::quit);
        QObject::connect(proxy, &ComProxyMorv3::finished, proxy, &QObject::deleteLater);
        QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        QObject::connect(proxy, &ComProxyMorv3::portDataReceived, &recorder, &Recorder::onData);
        QObject::connect(proxy, &ComProxyMorv3::portConnectionLost, &recorder, &Recorder::onLost);
        QObject::connect(proxy, &ComProxyMorv3::portConnectionEstablished, &recorder, &Recorder::onEstablished);
    }

    ~Rig()
    {
        if (proxy)
            proxy->stop();
        QDeadlineTimer deadline(kWait);
        while (thread && !deadline.hasExpired())
            QTest::qWait(10);
        logger->removeAppender(appender);
    }

    void start() { thread->start(); }

    QString log() const
    {
        QFile file(logPath);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll());
    }

    // The next frame the proxy wrote to the device, decoded device-side.
    Frame devFrame(int timeoutMs = kWait)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            const int b = dev.readByte(int(qMax<qint64>(1, deadline.remainingTime())));
            if (b < 0)
                return {};
            if (decoder.feed(quint8(b))) {
                Frame out{decoder.frame(), decoder.raw()};
                decoder.clear();
                return out;
            }
        }
    }

    // Next device frame that is not a poll request.
    Frame devFrameSkippingPolls()
    {
        for (;;) {
            Frame f = devFrame();
            if (f.raw.isEmpty() || !f.frame.data.startsWith(char(0xC3)))
                return f;
        }
    }

    // Checks the start-up sequence; returns the abort's frame id.
    quint8 expectStartup(const QByteArray &listenTail)
    {
        QList<quint8> ids;
        for (int task = 0xE0; task <= 0xE6; ++task) {
            const Frame f = devFrameSkippingPolls();
            if (f.frame.data != bytes({0xC2, task})) {
                qWarning() << "expected ack" << Qt::hex << task << "got" << f.raw.toHex();
                qWarning().noquote() << log();
                return 0;
            }
            ids.append(f.frame.id);
        }
        const Frame abort = devFrameSkippingPolls();
        if (abort.frame.data != hex("c4")) {
            qWarning() << "expected abort, got" << abort.raw.toHex();
            return 0;
        }
        ids.append(abort.frame.id);
        for (int i = 1; i < ids.size(); ++i) {
            if (ids[i] != (ids[i - 1] == 0xE4 ? 0xE0 : ids[i - 1] + 1)) {
                qWarning() << "frame ids not consecutive" << ids;
                return 0;
            }
        }
        QByteArray tail;
        while (tail.size() < listenTail.size()) {
            const Frame f = devFrameSkippingPolls();
            if (f.raw.isEmpty())
                break;
            tail += f.frame.data;
        }
        if (tail != listenTail) {
            qWarning() << "listening tail" << tail.toHex() << "expected" << listenTail.toHex();
            qWarning().noquote() << log();
            return 0;
        }
        return abort.frame.id;
    }

    bool appOpen() const
    {
        return log().contains(QStringLiteral("INFO Open ") + appLink + QStringLiteral("...\nINFO OK"));
    }

    QTemporaryDir dir;
    PtyPair dev;
    PtyPair app;
    QString id;
    QString devLink;
    QString appLink;
    QString logPath;
    log4cxx::LoggerPtr logger;
    log4cxx::AppenderPtr appender;
    Recorder recorder;
    QPointer<ComProxyMorv3> proxy;
    QPointer<QThread> thread;
    Morv3Decoder decoder{Morv3Decoder::DeviceSide};
};

ComProxyMorv3::Timings quick()
{
    ComProxyMorv3::Timings t;
    t.pollMs = 600000;
    t.watchdogMs = 600000;
    t.openWaitMs = 50;
    t.retryMs = 100;
    return t;
}

const QByteArray kFirstListen = hex("c105e5");

// A frame (data without bytes to escape) whose CRC byte is wrong.
QByteArray withBadCrc(quint8 id, const QByteArray &data)
{
    quint8 crc = Morv3Frame::crc8(QByteArray(1, char(id)) + data) ^ 0x5A;
    if (crc >= 0xFD)
        crc = 0x00;
    return bytes({0xFE, int(data.size()), 0x00, id}) + data + QByteArray(1, char(crc));
}

} // namespace

class TestMorv3Proxy : public QObject
{
    Q_OBJECT
private slots:
    void startupThenTrafficBothWays()
    {
        Rig rig(quick());
        rig.start();
        QVERIFY(rig.expectStartup(kFirstListen));
        QTRY_VERIFY_WITH_TIMEOUT(rig.appOpen(), kWait);
        QVERIFY(rig.recorder.events.isEmpty());

        // Application frames reach the device byte for byte, escapes included.
        const QByteArray request = Morv3Frame::encodeFrameWithId(0x05, hex("10fe20fd"));
        QVERIFY(rig.app.write(request));
        const Frame forwarded = rig.devFrame();
        QCOMPARE(forwarded.raw, request);
        QCOMPARE(forwarded.frame.data, hex("10fe20fd"));

        // Its answer goes back unchanged, and the first device data resumes the OFD side.
        QByteArray answer = Morv3Frame::encodeFrameWithId(0x05, hex("20fd01"));
        answer[answer.size() - 1] = char(0x00);   // a wrong CRC is passed on too
        QVERIFY(rig.dev.write(hex("3344") + answer));
        QCOMPARE(rig.app.read(answer.size(), kWait), answer);
        QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.events, QStringList{QStringLiteral("established")}, kWait);

        // Answers with our own identifiers stay with the proxy; the next one passes.
        const QByteArray own = Morv3Frame::encodeFrameWithId(0xE2, hex("a1"));
        const QByteArray own2 = Morv3Frame::encodeFrameWithId(0xFF, hex("a1"));
        const QByteArray next = Morv3Frame::encodeFrameWithId(0x06, hex("0102"));
        QVERIFY(rig.dev.write(own + own2 + next));
        QCOMPARE(rig.app.read(next.size(), kWait), next);
        QCOMPARE(rig.app.drain(200), QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("DEBUG <o- id = E2, data = [A1 (1 bytes)]")), kWait);
        QVERIFY(rig.log().contains(QStringLiteral("INFO <-- id = 06, data = [01 02 (2 bytes)]")));
        QVERIFY(rig.log().contains(QStringLiteral("INFO --> id = 05, data = [10 FD EE 20 FD ED (6 bytes)]")));
        QCOMPARE(rig.recorder.events.count(QStringLiteral("established")), 1);
    }

    void portSpeeds()
    {
        Rig rig(quick(), 9600);
        rig.start();
        QVERIFY(rig.expectStartup(kFirstListen));
        QTRY_VERIFY_WITH_TIMEOUT(rig.appOpen(), kWait);
        // A pseudo-terminal's master reports the speed its slave was given.
        termios tio{};
        QCOMPARE(tcgetattr(rig.dev.masterFd(), &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
        QCOMPARE(tcgetattr(rig.app.masterFd(), &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
    }

    void onlyWholeFramesCross()
    {
        Rig rig(quick());
        rig.start();
        QVERIFY(rig.expectStartup(kFirstListen));
        QTRY_VERIFY_WITH_TIMEOUT(rig.appOpen(), kWait);

        // Half an application frame is held back while the proxy writes its own.
        const QByteArray request = Morv3Frame::encodeFrameWithId(0x07, QByteArray(20, char(0x33)));
        QVERIFY(rig.app.write(request.left(9)));
        QMetaObject::invokeMethod(rig.proxy, "onOfdDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, hex("5566")));
        QCOMPARE(rig.devFrame().frame.data.mid(3), hex("0000da5566"));
        QCOMPARE(rig.dev.drain(200), QByteArray());
        QVERIFY(rig.app.write(request.mid(9)));
        QCOMPARE(rig.devFrame().raw, request);

        // The same towards the application.
        const QByteArray answer = Morv3Frame::encodeFrameWithId(0x07, QByteArray(20, char(0x44)));
        QVERIFY(rig.dev.write(answer.left(10)));
        QCOMPARE(rig.app.drain(200), QByteArray());
        QVERIFY(rig.dev.write(answer.mid(10)));
        QCOMPARE(rig.app.read(answer.size(), kWait), answer);
    }

    void asynchronousFrames()
    {
        Rig rig(quick());
        rig.start();
        QVERIFY(rig.expectStartup(kFirstListen));
        QTRY_VERIFY_WITH_TIMEOUT(rig.appOpen(), kWait);

        // A6 xx DA: OFD data, then the listening task moves to E6.
        QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(0xF0, hex("a600da0102"))));
        QCOMPARE(rig.devFrame().frame.data, hex("c2e5"));
        QCOMPARE(rig.devFrame().frame.data, hex("c105e6"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.events.size(), 2, kWait);
        QCOMPARE(rig.recorder.events.last(), QStringLiteral("data 0102"));

        // A3 DA: OFD data, back to E5.
        QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(0xF0, hex("a3da01"))));
        QCOMPARE(rig.devFrame().frame.data, hex("c2e6"));
        QCOMPARE(rig.devFrame().frame.data, hex("c105e5"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.events.size(), 3, kWait);
        QCOMPARE(rig.recorder.events.last(), QStringLiteral("data 01"));

        // Anything else asynchronous belongs to the application.
        const QByteArray other = Morv3Frame::encodeFrameWithId(0xF0, hex("a60055"));
        QVERIFY(rig.dev.write(other));
        QCOMPARE(rig.app.read(other.size(), kWait), other);
        QCOMPARE(rig.dev.drain(200), QByteArray());
        QCOMPARE(rig.recorder.events.size(), 3);
    }

    void badFramesTheServiceConsumesAreDropped()
    {
        Rig rig(quick());
        rig.start();
        const quint8 abortId = rig.expectStartup(kFirstListen);
        QVERIFY(abortId);
        QTRY_VERIFY_WITH_TIMEOUT(rig.appOpen(), kWait);

        // The abort's answer and an OFD frame, both with a wrong CRC: neither
        // renews the listening task nor reaches the OFD side.
        QVERIFY(rig.dev.write(withBadCrc(abortId, hex("a300")) + withBadCrc(0xF0, hex("a600da0102"))));
        QTRY_VERIFY_WITH_TIMEOUT(rig.log().count(QStringLiteral("WARN bad CRC")) == 2, kWait);
        QVERIFY(rig.log().contains(QStringLiteral("WARN bad CRC, OFD frame dropped <o- id = F0, data = [A6 00 DA 01 02 (5 bytes)]")));
        QCOMPARE(rig.dev.drain(200), QByteArray());

        // A frame cut short by the next start byte is dropped; the next one is taken.
        const QByteArray good = Morv3Frame::encodeFrameWithId(0xF0, hex("a3da03"));
        QVERIFY(rig.dev.write(good.left(5) + good));
        QCOMPARE(rig.devFrame().frame.data, hex("c2e5"));
        QCOMPARE(rig.devFrame().frame.data, hex("c105e6"));
        const QStringList expected{QStringLiteral("established"), QStringLiteral("data 03")};
        QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.events, expected, kWait);
        QVERIFY(rig.log().contains(QStringLiteral("WARN broken frame from the device dropped: ") + "FE 03 00 F0 A3 (5 bytes)"));

        // A start-byte storm: a bounded number of lines, and a frame after it passes.
        QVERIFY(rig.dev.write(QByteArray(3000, char(0xFE))));
        const QByteArray next = Morv3Frame::encodeFrameWithId(0x06, hex("0102"));
        QVERIFY(rig.dev.write(next));
        QCOMPARE(rig.app.read(next.size(), kWait), next);
        QVERIFY(rig.log().count(QStringLiteral("broken frame")) <= 7);
    }

    void ofdAnswersGoOutAsTasks()
    {
        Rig rig(quick());
        rig.start();
        QVERIFY(rig.expectStartup(kFirstListen));

        QMetaObject::invokeMethod(rig.proxy, "onOfdDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, hex("1020")));
        QMetaObject::invokeMethod(rig.proxy, "onOfdDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, hex("fe")));
        const Frame first = rig.devFrame();
        QCOMPARE(first.frame.data.size(), 8);
        QCOMPARE(first.frame.data.left(2), hex("c100"));
        const quint8 task = quint8(first.frame.data.at(2));
        QVERIFY(task >= 0xE0 && task <= 0xE4);
        QCOMPARE(first.frame.data.mid(3), hex("0000da1020"));
        QVERIFY(first.frame.id >= 0xE0 && first.frame.id <= 0xE4);
        QCOMPARE(quint8(first.frame.crc.at(0)), Morv3Frame::crc8(QByteArray(1, char(first.frame.id)) + first.frame.data));

        const Frame second = rig.devFrame();
        QCOMPARE(second.frame.data, bytes({0xC1, 0x00, task == 0xE4 ? 0xE0 : task + 1, 0x00, 0x00, 0xDA, 0xFE}));
        QVERIFY(second.raw.contains(hex("dafdee")));
    }

    void applicationAbort()
    {
        Rig rig(quick());
        rig.start();
        QVERIFY(rig.expectStartup(kFirstListen));
        QTRY_VERIFY_WITH_TIMEOUT(rig.appOpen(), kWait);

        const QByteArray abort = Morv3Frame::encodeFrameWithId(0x10, hex("c4"));
        QVERIFY(rig.app.write(abort));
        for (int task = 0xE0; task <= 0xE6; ++task)
            QCOMPARE(rig.devFrame().frame.data, bytes({0xC2, task}));
        QCOMPARE(rig.devFrame().raw, abort);
        QCOMPARE(rig.devFrame().frame.data, hex("c2e5"));
        QCOMPARE(rig.devFrame().frame.data, hex("c105e6"));
    }

    void abortAnswerRenewsListening()
    {
        Rig rig(quick());
        rig.start();
        const quint8 abortId = rig.expectStartup(kFirstListen);
        QVERIFY(abortId);

        // An answer to another frame is only logged; the abort's A3 renews.
        QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(abortId == 0xE0 ? 0xE1 : 0xE0, hex("a3"))));
        QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(abortId, hex("a300"))));
        QCOMPARE(rig.devFrame().frame.data, hex("c2e5"));
        QCOMPARE(rig.devFrame().frame.data, hex("c105e6"));
        // Answered once: the same answer again changes nothing.
        QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(abortId, hex("a300"))));
        QCOMPARE(rig.dev.drain(300), QByteArray());
    }

    void pollAnswerB3Renews_data()
    {
        QTest::addColumn<bool>("abortAnswered");
        QTest::newRow("abort answered") << true;
        // The device never answers the abort; a later poll takes its identifier.
        QTest::newRow("abort unanswered, its id reused") << false;
    }

    void pollAnswerB3Renews()
    {
        QFETCH(bool, abortAnswered);
        ComProxyMorv3::Timings t = quick();
        t.pollMs = 300;
        Rig rig(t);
        rig.start();
        const quint8 abortId = rig.expectStartup(kFirstListen);
        QVERIFY(abortId);
        if (abortAnswered)
            QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(abortId, hex("a000"))));
        // The proxy's own frames but the OFD answers that move the counter on.
        const auto nextOwn = [&rig] {
            Frame f = rig.devFrame();
            while (f.frame.data.startsWith(hex("c100")))
                f = rig.devFrame();
            return f;
        };
        Frame poll = nextOwn();
        QCOMPARE(poll.frame.data, hex("c3e5"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("INFO reinit async on timer")), kWait);

        // Another answer to the poll leaves everything as it is.
        QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(poll.frame.id, hex("b000"))));
        QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.events, QStringList{QStringLiteral("established")}, kWait);
        for (int i = 0; i < 20 && poll.frame.id != abortId; ++i) {
            QMetaObject::invokeMethod(rig.proxy, "onOfdDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, hex("01")));
            poll = nextOwn();
        }
        QCOMPARE(poll.frame.id, abortId);
        QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(poll.frame.id, hex("b3"))));
        Frame renewal = nextOwn();
        while (renewal.frame.data == hex("c3e5"))
            renewal = nextOwn();
        QCOMPARE(renewal.frame.data, hex("c2e5"));
        QCOMPARE(nextOwn().frame.data, hex("c105e6"));
        const QStringList expected{QStringLiteral("established"), QStringLiteral("lost"), QStringLiteral("established")};
        QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.events, expected, kWait);
        // Polls go on for the new listening task.
        QCOMPARE(nextOwn().frame.data, hex("c3e6"));
    }

    // A device line that stops draining: frames over the bound are dropped
    // with one line per episode, none is logged as sent, none reaches the
    // line cut. Nobody reads it: the kernel's buffer fills, then ours.
    void writesOverTheBoundAreDropped()
    {
        ComProxyMorv3::Timings t = quick();
        t.maxPendingBytes = 2048;
        Rig rig(t);
        rig.start();
        QVERIFY(rig.expectStartup(kFirstListen));
        const QByteArray value(250, char(0x77));
        const auto sentCount = [&] { return int(rig.log().count(QStringLiteral("DA 77 77 77"))); };
        const QString warn = QStringLiteral("WARN device port not draining");
        int overflow = 0;
        QObject::connect(rig.proxy, &ComProxyMorv3::framesDropped, &rig.recorder,
                         [&overflow](const QString &reason, int count) { overflow += reason == "overflow" ? count : 0; });
        int offered = 0;
        for (; !rig.log().contains(warn) && offered < 1000; ++offered) {
            // One at a time, so that the port writes in between.
            const int sent = sentCount();
            QMetaObject::invokeMethod(rig.proxy, "onOfdDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, value));
            QTRY_VERIFY_WITH_TIMEOUT(sentCount() > sent || rig.log().contains(warn), kWait);
        }
        int whole = 0;
        for (int i = 0; i <= 20; ++i, ++offered) {
            if (i == 20) {   // all taken; the line is read empty, the last one goes
                QMetaObject::invokeMethod(rig.proxy, [] {}, Qt::BlockingQueuedConnection);
                for (Frame f = rig.devFrame(3000); !f.raw.isEmpty(); f = rig.devFrame(3000))
                    whole += f.frame.data.endsWith(value) ? 1 : 0;
            }
            QMetaObject::invokeMethod(rig.proxy, "onOfdDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, value));
        }
        QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("INFO device port draining again, 21 frames")), kWait);
        QCOMPARE(sentCount() + 21, offered);
        QTRY_COMPARE_WITH_TIMEOUT(overflow, 21, kWait);
        QVERIFY(rig.devFrame().frame.data.endsWith(value));
        QCOMPARE(whole + 1, sentCount());
        QCOMPARE(rig.log().count(warn), 1);
        QVERIFY(!rig.log().contains(QStringLiteral("dev error")));
    }

    void silentDeviceIsReopened()
    {
        ComProxyMorv3::Timings t = quick();
        t.watchdogMs = 500;
        Rig rig(t);
        rig.start();
        QVERIFY(rig.expectStartup(kFirstListen));

        // Data keeps the link alive for longer than one watchdog period.
        for (int i = 0; i < 4; ++i) {
            QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(0xE3, hex("00"))));
            QTest::qWait(200);
        }
        QCOMPARE(rig.recorder.events, QStringList{QStringLiteral("established")});

        // Silence: paused, reopened, and the start-up runs again.
        QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.events.size(), 2, kWait);
        QCOMPARE(rig.recorder.events.last(), QStringLiteral("lost"));
        QVERIFY(rig.expectStartup(hex("c2e5c105e6")));
        QVERIFY(rig.log().contains(QStringLiteral("no data from the device")));

        // The device speaking again resumes the OFD side.
        QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(0xE3, hex("00"))));
        QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.events.size(), 3, kWait);
        QCOMPARE(rig.recorder.events.last(), QStringLiteral("established"));
    }

    void deviceVanishesAndComesBack_data()
    {
        QTest::addColumn<bool>("slaveKept");
        QTest::newRow("line closed") << false;
        QTest::newRow("far end closed, line held") << true;
    }

    void deviceVanishesAndComesBack()
    {
        QFETCH(bool, slaveKept);
        Rig rig(quick());
        rig.start();
        QVERIFY(rig.expectStartup(kFirstListen));
        QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(0xE3, hex("00"))));
        QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.events, QStringList{QStringLiteral("established")}, kWait);

        if (slaveKept)
            rig.dev.closeMaster();
        else
            rig.dev.close();
        QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.events.size(), 2, kWait);
        QCOMPARE(rig.recorder.events.last(), QStringLiteral("lost"));

        // Gone for a few attempts to reopen it: still one error line.
        const QString reopening = QStringLiteral("Open %1...").arg(rig.devLink);
        const int attempts = rig.log().count(reopening);
        QTRY_VERIFY_WITH_TIMEOUT(rig.log().count(reopening) >= attempts + 3, kWait);
        QCOMPARE(rig.log().count(QStringLiteral("dev error")), 1);

        // Back under the same name: the whole start-up again.
        QVERIFY(rig.dev.reopen());
        QVERIFY(rig.expectStartup(hex("c2e5c105e6")));
        QCOMPARE(rig.log().count(QStringLiteral("dev error")), 1);
        QVERIFY(rig.dev.write(Morv3Frame::encodeFrameWithId(0xE3, hex("00"))));
        QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.events.size(), 3, kWait);
        QCOMPARE(rig.recorder.events.last(), QStringLiteral("established"));
    }

    void applicationVanishesAndComesBack()
    {
        Rig rig(quick());
        rig.start();
        QVERIFY(rig.expectStartup(kFirstListen));
        QTRY_VERIFY_WITH_TIMEOUT(rig.appOpen(), kWait);

        rig.app.close();
        QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("ERROR app error")), kWait);
        QVERIFY(rig.app.reopen());
        QTRY_COMPARE_WITH_TIMEOUT(rig.log().count(QStringLiteral("INFO OK")), 3, kWait);
        QCOMPARE(rig.log().count(QStringLiteral("app error")), 1);

        const QByteArray request = Morv3Frame::encodeFrameWithId(0x08, hex("01"));
        QVERIFY(rig.app.write(request));
        QCOMPARE(rig.devFrame().raw, request);
        QVERIFY(rig.recorder.events.isEmpty());
    }

    void stopEndsPartnerAndThreads()
    {
        Rig rig(quick());
        auto *partner = new Partner;
        auto *partnerThread = new QThread;
        partner->moveToThread(partnerThread);
        QPointer<Partner> partnerAlive(partner);
        QPointer<QThread> partnerThreadAlive(partnerThread);
        connect(partnerThread, &QThread::started, partner, &Partner::start);
        connect(partner, &Partner::finished, partnerThread, &QThread::quit);
        connect(partner, &Partner::finished, partner, &QObject::deleteLater);
        connect(partnerThread, &QThread::finished, partnerThread, &QObject::deleteLater);
        connect(rig.proxy, &ComProxyMorv3::finished, partner, &Partner::stop);
        connect(partner, &Partner::finished, rig.proxy, &ComProxyMorv3::stop);
        partnerThread->start();
        rig.start();
        QVERIFY(rig.expectStartup(kFirstListen));
        QTRY_VERIFY_WITH_TIMEOUT(rig.appOpen(), kWait);

        // Called from this thread, as the service does at shutdown.
        rig.proxy->stop();
        QTRY_VERIFY_WITH_TIMEOUT(rig.proxy.isNull(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(rig.thread.isNull(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(partnerAlive.isNull(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(partnerThreadAlive.isNull(), kWait);
        QVERIFY(rig.log().contains(QStringLiteral("INFO stopped")));
    }

    void stopDuringOpenWait()
    {
        ComProxyMorv3::Timings t = quick();
        t.openWaitMs = 60000;
        Rig rig(t);
        rig.start();
        QTest::qWait(100);
        rig.proxy->stop();
        QTRY_VERIFY_WITH_TIMEOUT(rig.thread.isNull(), kWait);
        QVERIFY(!rig.log().contains(QStringLiteral("Open ")));
    }
};

QTEST_GUILESS_MAIN(TestMorv3Proxy)
#include "tst_morv3proxy.moc"
