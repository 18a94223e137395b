#include "ofd/tcpworker.h"
#include "ofdserver.h"
#include "ofdtestkit.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <log4cxx/logger.h>

namespace {
const int kWait = 30000;

QHostInfo addressesOf(const QList<QHostAddress> &list)
{
    QHostInfo info;
    info.setAddresses(list);
    return info;
}
} // namespace

// A channel worker on the test's thread, as the protocol worker runs it.
class Channel : public QObject
{
public:
    explicit Channel(const QString &name)
        : name(name.toStdString()), worker(new TcpWorker(name, this))
    {
        QObject::connect(worker, &TcpWorker::connectionStateChanged, this,
                         [this](TcpWorker::ConnectionState state) { states.append(state); });
    }
    void open(const QString &host, quint16 port)
    {
        worker->setHost(host);
        worker->setPort(port);
        worker->open();
    }
    // Connects to a plain server whose reading the test controls, quietly
    // (warnings and errors only) and with the given limit on unsent bytes.
    QTcpSocket *openRaw(qint64 writeLimit)
    {
        log4cxx::Logger::getLogger(name)->setLevel(log4cxx::Level::getWarn());
        worker->setWriteLimit(writeLimit);
        if (!raw.listen(QHostAddress::LocalHost))
            return nullptr;
        open(QStringLiteral("127.0.0.1"), raw.serverPort());
        if (!QTest::qWaitFor([this] { return raw.hasPendingConnections() && states == QList{TcpWorker::Connected}; }, kWait))
            return nullptr;
        return raw.nextPendingConnection();
    }

    const std::string name;
    TcpWorker *worker;
    QTcpServer raw;
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
        // A second loopback address where nobody listens refuses first.
        Channel channel(QStringLiteral("TCP0-addr"));
        channel.worker->setResolver([](const QString &, std::function<void(const QHostInfo &)> done) {
            done(addressesOf({QHostAddress("127.0.0.2"), QHostAddress::LocalHost}));
        });
        channel.open(QStringLiteral("ofd.test"), server.port());
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 1, kWait);
        QCOMPARE(channel.states.first(), TcpWorker::Connected);
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 1, kWait);
        const QStringList lines = capture->lines();
        const int first = int(lines.indexOf("[TCP0-addr] Found address: 127.0.0.2"));
        const int failed = int(lines.indexOf("[TCP0-addr] Connect to 127.0.0.2 failed"));
        const int second = int(lines.indexOf("[TCP0-addr] Found address: 127.0.0.1"));
        const int established = int(lines.indexOf("[TCP0-addr] Connect to 127.0.0.1 established"));
        QVERIFY(first >= 0 && first < failed && failed < second && second < established);

        QVERIFY(channel.worker->write("abc"));
        QTRY_COMPARE_WITH_TIMEOUT(server.receivedOn(0), QByteArray("abc"), kWait);
        QVERIFY(capture->contains("[TCP0-addr] tcp write: 61 62 63 (3 bytes)"));
        QVERIFY(capture->contains("[TCP0-addr] New queue size = 0"));
        QVERIFY(server.send("xyz"));
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
        empty.open(QString(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(empty.states.size(), 1, kWait);
        QCOMPARE(empty.states.first(), TcpWorker::Disconnected);
        bool lookupLogged = false;
        for (const QString &line : capture->lines())
            lookupLogged |= line.startsWith(QLatin1String("[TCP0-empty] Lookup failed: "));
        QVERIFY(lookupLogged);

        // A close while the look-up runs: no attempt, one report, and the
        // late look-up result is ignored.
        OfdServer server;
        QVERIFY(server.listen());
        Channel cancelled(QStringLiteral("TCP1-cancel"));
        std::function<void(const QHostInfo &)> pending;
        cancelled.worker->setResolver(
            [&pending](const QString &, std::function<void(const QHostInfo &)> done) { pending = done; });
        cancelled.open(QStringLiteral("ofd.test"), server.port());
        QVERIFY(pending);
        cancelled.worker->close();
        QCOMPARE(cancelled.states, QList<TcpWorker::ConnectionState>{TcpWorker::Disconnected});
        QVERIFY(capture->contains("[TCP1-cancel] Connection canceled"));
        pending(addressesOf({QHostAddress::LocalHost}));
        QTest::qWait(50);
        QVERIFY(!capture->contains("[TCP1-cancel] Found address: 127.0.0.1"));
        QCOMPARE(cancelled.states.size(), 1);
        QVERIFY(!cancelled.worker->isLive());
        QCOMPARE(server.connectionCount(), 0);
    }

    void closeWaitsForOutstandingWrites()
    {
        // A server that does not read until told: writes pile up with us.
        Channel channel(QStringLiteral("TCP0-drain"));
        QTcpSocket *peer = channel.openRaw(64 * 1024 * 1024);
        QVERIFY(peer);
        peer->setReadBufferSize(4096);
        const QByteArray block = patternBytes(256 * 1024);
        QByteArray sent;
        for (int i = 0; i < 160 && channel.worker->bytesToWrite() < 1024 * 1024; ++i) {
            QVERIFY(channel.worker->write(block));
            sent += block;
            QCoreApplication::processEvents();
        }
        QVERIFY2(channel.worker->bytesToWrite() > 0, "the system took everything");
        log4cxx::Logger::getLogger("TCP0-drain")->setLevel(log4cxx::Level::getInfo());
        channel.worker->close();
        QVERIFY(capture->lines().filter("[TCP0-drain] Wait for queue empty (").size() >= 1);
        QVERIFY(!capture->contains("[TCP0-drain] socket close"));
        QVERIFY(channel.states.size() == 1);

        QByteArray received;
        connect(peer, &QTcpSocket::readyRead, this, [&] { received += peer->readAll(); });
        received += peer->readAll();
        QTRY_VERIFY_WITH_TIMEOUT(received.size() == sent.size(), kWait);
        QVERIFY(received == sent);
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 2, kWait);
        QCOMPARE(channel.states.at(1), TcpWorker::Disconnected);
        QVERIFY(capture->contains("[TCP0-drain] socket close"));
    }

    void restartEndsSilently()
    {
        OfdServer server;
        QVERIFY(server.listen());
        Channel channel(QStringLiteral("TCP0-restart"));
        channel.open(QStringLiteral("127.0.0.1"), server.port());
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 1, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 1, kWait);
        QVERIFY(server.send("never delivered"));
        QTRY_VERIFY_WITH_TIMEOUT(channel.worker->hasData(), kWait);

        // A second connection replaces the first without a report, and the
        // first one's unread bytes go with it.
        channel.worker->open();
        QVERIFY(!channel.worker->hasData());
        QVERIFY(server.waitForDisconnects(1, kWait));
        QVERIFY(capture->contains("[TCP0-restart] socket close"));
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 2, kWait);
        QCOMPARE(channel.states.at(1), TcpWorker::Connected);
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 2, kWait);

        // The server's close is a loss; bytes sent before it are kept.
        QVERIFY(server.send("last words"));
        server.disconnectClient();
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 3, kWait);
        QCOMPARE(channel.states.at(2), TcpWorker::Disconnected);
        QVERIFY(capture->contains("[TCP0-restart] connection lost"));
        QVERIFY(capture->contains("[TCP0-restart] Change connection state to UnconnectedState"));
        QCOMPARE(channel.worker->read(100), QByteArray("last words"));
        QTest::qWait(50);
        QCOMPARE(channel.states.size(), 3);
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
        channel.open(QStringLiteral("127.0.0.1"), server.port());
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
            QTest::qWait(chunk.isEmpty() ? 5 : 0);
        }
        root->setLevel(level);
        QCOMPARE(received.size(), flood.size());
        QVERIFY(received == flood);
    }

    void writeFailureEndsTheConnectionOnce()
    {
        // The server resets the connection while we write: the failure is
        // logged as an error and reported once.
        Channel channel(QStringLiteral("TCP1-reset"));
        QTcpSocket *peer = channel.openRaw(64 * 1024 * 1024);
        QVERIFY(peer && resetConnection(peer));
        const QByteArray block = patternBytes(64 * 1024);
        for (int i = 0; i < 200 && channel.states.size() == 1; ++i) {
            channel.worker->write(block);
            QTest::qWait(1);
        }
        QTRY_COMPARE_WITH_TIMEOUT(channel.states.size(), 2, kWait);
        QCOMPARE(channel.states.at(1), TcpWorker::Disconnected);
        bool error = false;
        for (const QString &line : capture->lines())
            error |= line.startsWith("[TCP1-reset] tcp write failed: ") || line.startsWith("[TCP1-reset] Socket error: ");
        QVERIFY(error);
        QVERIFY(!channel.worker->write("more"));
        QTest::qWait(50);
        QCOMPARE(channel.states.size(), 2);

        // Bytes a server never reads are bounded: past the limit the
        // connection is dropped with an error, not grown without end.
        Channel bounded(QStringLiteral("TCP0-bound"));
        QTcpSocket *silent = bounded.openRaw(256 * 1024);
        QVERIFY(silent);
        silent->setReadBufferSize(1024);
        for (int i = 0; i < 2000 && bounded.states.size() == 1; ++i) {
            bounded.worker->write(block);
            if (i % 16 == 0)
                QCoreApplication::processEvents();
        }
        QCOMPARE(bounded.states.size(), 2);
        QVERIFY(bounded.worker->bytesToWrite() == 0);
        QVERIFY(capture->contains("[TCP0-bound] Send queue over 262144 bytes, connection dropped"));
    }
};

QTEST_GUILESS_MAIN(TestTcpWorker)
#include "tst_tcpworker.moc"
