#include "ofd/tcpworker.h"
#include "ofdserver.h"
#include "ofdtestkit.h"

#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <log4cxx/logger.h>

namespace {
const int kWait = 30000;
}

// A channel worker in its own thread, as the protocol worker runs it.
class Channel : public QObject
{
public:
    explicit Channel(const QString &name)
        : worker(new TcpWorker(name))
    {
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, worker, &TcpWorker::open);
        QObject::connect(&thread, &QThread::finished, worker, &TcpWorker::close);
        QObject::connect(worker, &TcpWorker::connectionStateChanged, this,
                         [this](TcpWorker::ConnectionState state) { states.append(state); });
    }
    ~Channel() override
    {
        thread.quit();
        thread.wait();
        delete worker;
    }
    void write(const QByteArray &data)
    {
        QMetaObject::invokeMethod(worker, "write", Qt::QueuedConnection, Q_ARG(QByteArray, data));
    }

    TcpWorker *worker;
    QThread thread;
    QList<TcpWorker::ConnectionState> states;
};

class TestTcpWorker : public QObject
{
    Q_OBJECT
private:
    std::shared_ptr<CaptureAppender> capture = std::make_shared<CaptureAppender>();

private slots:
    void initTestCase()
    {
        log4cxx::Logger::getRootLogger()->addAppender(capture);
    }
    void init() { capture->clear(); }

    void triesEveryAddressInTurn()
    {
        OfdServer server;
        QVERIFY(server.listen());
        Channel channel(QStringLiteral("TCP0-addr"));
        channel.worker->setHost(QStringLiteral("ofd.test"));
        channel.worker->setPort(server.port());
        channel.worker->setConnectTimeout(5000);
        // 127.0.0.2 is loopback too, but nobody listens there.
        channel.worker->setResolver([](const QString &host) {
            QHostInfo info;
            if (host == QLatin1String("ofd.test"))
                info.setAddresses({QHostAddress(QStringLiteral("127.0.0.2")), QHostAddress::LocalHost});
            return info;
        });
        channel.thread.start();
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 1, kWait);
        QCOMPARE(channel.states.first(), TcpWorker::Connected);
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 1, kWait);

        const QString prefix = QStringLiteral("[TCP0-addr] ");
        const int first = capture->indexOf(prefix + "Found address: 127.0.0.2");
        QVERIFY(first >= 0);
        const int failed = capture->indexOf(prefix + "Connect to 127.0.0.2 failed", first);
        QVERIFY(failed > first);
        const int second = capture->indexOf(prefix + "Found address: 127.0.0.1", failed);
        QVERIFY(second > failed);
        QVERIFY(capture->indexOf(prefix + "Connect to 127.0.0.1 established", second) > second);

        // Data both ways on the surviving connection.
        channel.worker->addPending(3);
        channel.write("abc");
        QTRY_COMPARE_WITH_TIMEOUT(server.receivedOn(0), QByteArray("abc"), kWait);
        // The server may see the bytes before the writer logs them.
        QTRY_VERIFY_WITH_TIMEOUT(capture->contains(prefix + "tcp write: 61 62 63 (3 bytes)"), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(capture->contains(prefix + "New queue size = 0"), kWait);
        QVERIFY(server.send("xyz"));
        QTRY_VERIFY_WITH_TIMEOUT(channel.worker->hasData(), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(channel.worker->bufferedSize(), 3, kWait);
        QCOMPARE(channel.worker->read(0), QByteArray());
        QCOMPARE(channel.worker->read(-5), QByteArray());
        QCOMPARE(channel.worker->read(2), QByteArray("xy"));
        QCOMPARE(channel.worker->read(10), QByteArray("z"));
        QVERIFY(!channel.worker->hasData());
    }

    void lookupFailureAndCancellationReportDisconnected()
    {
        Channel empty(QStringLiteral("TCP0-empty"));
        empty.worker->setHost(QString());
        empty.thread.start();
        QTRY_COMPARE_WITH_TIMEOUT(empty.states.size(), 1, kWait);
        QCOMPARE(empty.states.first(), TcpWorker::Disconnected);
        bool lookupLogged = false;
        for (const QString &line : capture->lines())
            lookupLogged |= line.startsWith(QLatin1String("[TCP0-empty] Lookup failed: "));
        QVERIFY(lookupLogged);

        // A close requested while the look-up runs stops before any attempt.
        OfdServer server;
        QVERIFY(server.listen());
        Channel cancelled(QStringLiteral("TCP1-cancel"));
        TcpWorker *worker = cancelled.worker;
        worker->setPort(server.port());
        worker->setResolver([worker](const QString &) {
            worker->markClosing();
            QHostInfo info;
            info.setAddresses({QHostAddress::LocalHost});
            return info;
        });
        cancelled.thread.start();
        QTRY_COMPARE_WITH_TIMEOUT(cancelled.states.size(), 1, kWait);
        QCOMPARE(cancelled.states.first(), TcpWorker::Disconnected);
        QVERIFY(capture->contains("[TCP1-cancel] Connection canceled"));
        QVERIFY(!capture->contains("[TCP1-cancel] Found address: 127.0.0.1"));
        QVERIFY(!worker->isLive());
        cancelled.thread.quit();
        QVERIFY(cancelled.thread.wait(kWait));
        QCOMPARE(server.connectionCount(), 0);
    }

    void quitDuringOpenEndsTheThread()
    {
        OfdServer server;
        QVERIFY(server.listen());
        Channel channel(QStringLiteral("TCP1-quit"));
        channel.worker->setPort(server.port());
        // The look-up returns only once the quit has been requested.
        QSemaphore quitRequested;
        channel.worker->setResolver([&quitRequested](const QString &) {
            quitRequested.acquire();
            QHostInfo info;
            info.setAddresses({QHostAddress::LocalHost});
            return info;
        });
        channel.thread.start();
        channel.thread.quit();
        quitRequested.release();
        QVERIFY(channel.thread.wait(kWait));
        // open() ran to its end, then close() ended the connection.
        QTRY_VERIFY_WITH_TIMEOUT(channel.states.contains(TcpWorker::Connected), kWait);
        QVERIFY(capture->contains("[TCP1-quit] socket close"));
        QVERIFY(!channel.worker->isLive());
    }

    void closeWaitsForOutstandingWrites()
    {
        OfdServer server;
        QVERIFY(server.listen());
        Channel channel(QStringLiteral("TCP0-drain"));
        channel.worker->setHost(QStringLiteral("127.0.0.1"));
        channel.worker->setPort(server.port());
        channel.thread.start();
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 1, kWait);
        QCOMPARE(channel.states.first(), TcpWorker::Connected);

        // The write is queued only once close() waits: close() must let it run.
        const QByteArray data = patternBytes(300);
        channel.worker->addPending(int(data.size()));
        channel.worker->markClosing();
        channel.thread.quit();
        QTRY_VERIFY_WITH_TIMEOUT(capture->contains("[TCP0-drain] Wait for queue empty (300)"), kWait);
        channel.write(data);
        QVERIFY(channel.thread.wait(kWait));
        QTRY_COMPARE_WITH_TIMEOUT(server.receivedOn(0), data, kWait);

        const QStringList lines = capture->lines();
        const int wait = int(lines.indexOf("[TCP0-drain] Wait for queue empty (300)"));
        QVERIFY(wait >= 0);
        const int close = int(lines.indexOf("[TCP0-drain] socket close"));
        QVERIFY(close > wait);
        QTRY_VERIFY_WITH_TIMEOUT(channel.states.contains(TcpWorker::Disconnected), kWait);
    }

    void restartEndsSilently()
    {
        OfdServer server;
        QVERIFY(server.listen());
        Channel channel(QStringLiteral("TCP0-restart"));
        channel.worker->setHost(QStringLiteral("127.0.0.1"));
        channel.worker->setPort(server.port());
        channel.thread.start();
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 1, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 1, kWait);

        channel.worker->markRestart();
        channel.thread.quit();
        QVERIFY(channel.thread.wait(kWait));
        QVERIFY(server.waitForDisconnects(1, kWait));
        QVERIFY(capture->contains("[TCP0-restart] socket close"));
        QVERIFY(!channel.worker->isLive());

        // A second connection: reported; the server's close is a loss.
        channel.thread.start();
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 2, kWait);
        QCOMPARE(channel.states.at(1), TcpWorker::Connected);
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 2, kWait);
        QVERIFY(server.send("last words"));
        server.disconnectClient();
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 3, kWait);
        QCOMPARE(channel.states.at(2), TcpWorker::Disconnected);
        QVERIFY(capture->contains("[TCP0-restart] connection lost"));
        QVERIFY(capture->contains("[TCP0-restart] Change connection state to UnconnectedState"));
        // Bytes sent before the close are kept for the device.
        QCOMPARE(channel.worker->read(100), QByteArray("last words"));
    }

    void floodIsHeldAtTheReadLimit()
    {
        // Hex dumps of megabytes would dominate the run time.
        auto root = log4cxx::Logger::getRootLogger();
        const log4cxx::LevelPtr level = root->getLevel();
        root->setLevel(log4cxx::Level::getWarn());

        OfdServer server;
        QVERIFY(server.listen());
        Channel channel(QStringLiteral("TCP0-flood"));
        channel.worker->setHost(QStringLiteral("127.0.0.1"));
        channel.worker->setPort(server.port());
        channel.thread.start();
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 1, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 1, kWait);

        const QByteArray flood = patternBytes(4 * TcpWorker::kReadLimit + 12345);
        QVERIFY(server.send(flood));

        // Wait until the worker stops at the limit with most of the flood unread.
        QTRY_VERIFY_WITH_TIMEOUT(channel.worker->bufferedSize() > TcpWorker::kReadLimit, kWait);
        const qsizetype bound = TcpWorker::kReadLimit + 128 * 1024;
        QByteArray received;
        QElapsedTimer idle;
        idle.start();
        while (received.size() < flood.size() && idle.elapsed() < kWait) {
            QVERIFY2(channel.worker->bufferedSize() <= bound,
                     qPrintable(QString::number(channel.worker->bufferedSize())));
            const QByteArray chunk = channel.worker->read(100000);
            if (!chunk.isEmpty()) {
                received.append(chunk);
                idle.restart();
            }
            QTest::qWait(chunk.isEmpty() ? 5 : 1);
        }
        root->setLevel(level);
        QCOMPARE(received.size(), flood.size());
        QVERIFY(received == flood);
    }
};

QTEST_GUILESS_MAIN(TestTcpWorker)
#include "tst_tcpworker.moc"
