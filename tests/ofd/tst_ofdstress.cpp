// Several devices, each using both channels at once, against a loopback
// server that drops connections at random. Every reply is checked byte for
// byte, every connection's bytes must be exactly one document, and every
// loss the device hears of must be one the server caused.

#include "core/settings.h"
#include "ofd/ofdworker.h"
#include "ofd/tlvdecoder.h"
#include "ofdtestkit.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

constexpr int kHeader = 16;
constexpr int kDevices = 4;
constexpr int kRunMs = 8000;

QByteArray documentFor(int device, int lane, int seq, int size)
{
    QByteArray doc = QStringLiteral("DOC%1%2%3%4")
                         .arg(device, 2, 10, QLatin1Char('0'))
                         .arg(lane)
                         .arg(seq, 5, 10, QLatin1Char('0'))
                         .arg(size, 5, 10, QLatin1Char('0'))
                         .toLatin1();
    for (int i = 0; i < size; ++i)
        doc.append(char((i * 31 + seq * 7 + device * 13 + lane) & 0xFF));
    return doc;
}

QByteArray replyFor(const QByteArray &document)
{
    return "RPL" + document.mid(3);
}

struct Tally
{
    int completed = 0;
    int dropped = 0;
    QStringList failures;
    QSet<QByteArray> droppedByServer; // headers of documents whose connection the server dropped
};

// The server: one document per connection, echoed back as the reply,
// with connections dropped at random points.
class DroppingServer : public QObject
{
public:
    explicit DroppingServer(Tally *tally) : tally(tally)
    {
        connect(&server, &QTcpServer::newConnection, this, [this] { accept(); });
    }
    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server.serverPort(); }
    int connections = 0;

private:
    void accept()
    {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            ++connections;
            socket->setParent(this);
            auto got = std::make_shared<QByteArray>();
            const int mode = QRandomGenerator::global()->bounded(10);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, got, mode] {
                const bool first = got->isEmpty();
                *got += socket->readAll();
                if (first && !got->startsWith("DOC"))
                    tally->failures << "connection began with " + QString::fromLatin1(got->left(16).toHex());
                if (got->size() < kHeader)
                    return;
                const QByteArray header = got->left(kHeader);
                const int size = header.mid(11, 5).toInt();
                if (got->size() > kHeader + size) {
                    tally->failures << QStringLiteral("%1 bytes on a connection for %2 bytes")
                                           .arg(got->size())
                                           .arg(kHeader + size);
                    socket->abort();
                    return;
                }
                auto drop = [&] {
                    tally->droppedByServer.insert(header);
                    socket->abort();
                };
                if (mode == 0)
                    return drop();
                if (got->size() < kHeader + size)
                    return;
                const QByteArray reply = replyFor(*got);
                switch (mode) {
                case 1:
                    return drop();
                case 2:
                    socket->write(reply.left(reply.size() / 2));
                    socket->flush();
                    return drop();
                case 3:
                    // All of it, then the close: the device still gets every byte.
                    socket->write(reply);
                    tally->droppedByServer.insert(header);
                    socket->disconnectFromHost();
                    return;
                default:
                    socket->write(reply);
                    return;
                }
            });
        }
    }

    QTcpServer server;
    Tally *tally;
};

// One device: an OfdWorker on its own thread, driven from the test's thread
// on both channels at once.
class StressDevice : public QObject
{
public:
    StressDevice(int id, quint16 port, Tally *tally)
        : id(id), port(port), tally(tally), worker(new OfdWorker(QStringLiteral("stress%1").arg(id)))
    {
        worker->moveToThread(&thread);
        connect(&thread, &QThread::started, worker, &OfdWorker::start);
        connect(worker, &OfdWorker::finished, &thread, &QThread::quit);
        connect(worker, &OfdWorker::sendData, this, [this](const QByteArray &a) { onBytes(a); });
        thread.start();
        QMetaObject::invokeMethod(worker, "unpause", Qt::QueuedConnection);
    }
    ~StressDevice() override
    {
        stopping = true;
        QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
        if (QTest::qWaitFor([this] { return thread.isFinished(); }, 30000))
            delete worker;
        else
            tally->failures << QStringLiteral("device %1 did not stop").arg(id);
    }
    int progress(int lane) const { return lanes[lane].done; }
    void finish() { wrapUp = true; }

private:
    enum class Step { Idle, Connecting, Receiving, Closing };
    struct Lane
    {
        Step step = Step::Idle;
        int seq = 0;
        int done = 0;
        int grant = 0;
        bool lossMayFollow = false;
        QByteArray document;
        QByteArray expected;
        QByteArray reply;
    };

    void send(const QByteArray &bytes)
    {
        if (stopping)
            return;
        QMetaObject::invokeMethod(worker, "onDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, bytes));
    }
    void fail(int lane, const QString &what)
    {
        tally->failures << QStringLiteral("device %1 lane %2 document %3: %4").arg(id).arg(lane).arg(lanes[lane].seq).arg(what);
    }
    void grant(int n)
    {
        Lane &lane = lanes[n];
        lane.grant = 1 + QRandomGenerator::global()->bounded(255);
        send(TlvCodec::encode(quint8(TlvCodec::TxPacketSize0 + n), QByteArray(1, char(lane.grant))));
    }
    void startDocument(int n)
    {
        Lane &lane = lanes[n];
        // The connection this one follows may end on the server's side
        // before the service sees the new connect: its loss report may then
        // still come, once.
        lane.lossMayFollow = tally->droppedByServer.contains(lane.document.left(kHeader));
        if (wrapUp || stopping) {
            lane.step = Step::Idle;
            return;
        }
        ++lane.seq;
        lane.document = documentFor(id, n, lane.seq, 1 + QRandomGenerator::global()->bounded(2000));
        lane.expected = replyFor(lane.document);
        lane.reply.clear();
        lane.step = Step::Connecting;
        send(TlvCodec::encode(quint8(TlvCodec::TxPort0 + n), TlvCodec::port(port))
             + TlvCodec::encode(quint8(TlvCodec::TxConnect0 + n), "127.0.0.1"));
    }
    void onBytes(const QByteArray &bytes)
    {
        decoder.feed(bytes);
        for (TlvCodec::Result r = decoder.next(); r.outcome == TlvCodec::Outcome::Complete; r = decoder.next())
            onFrame(r.frame);
    }
    void onFrame(const TlvFrame &frame)
    {
        const int n = frame.tag & 1;
        Lane &lane = lanes[n];
        switch (frame.tag) {
        case TlvCodec::RxRequestVersion:
            send(TlvCodec::encode(TlvCodec::TxResponseVersion, "\x02"));
            if (!running) {
                running = true;
                startDocument(0);
                startDocument(1);
            }
            return;
        case TlvCodec::RxConnectState0:
        case TlvCodec::RxConnectState1: {
            const bool up = frame.value == QByteArray(1, '\x01');
            if (lane.step == Step::Connecting && up) {
                lane.step = Step::Receiving;
                QByteArray out;
                for (qsizetype at = 0; at < lane.document.size(); at += 255)
                    out += TlvCodec::encode(quint8(TlvCodec::TxData0 + n), lane.document.mid(at, 255));
                send(out);
                grant(n);
            } else if (lane.step == Step::Receiving && !up) {
                // A loss must be one the server caused.
                if (!tally->droppedByServer.contains(lane.document.left(kHeader)))
                    fail(n, QStringLiteral("loss reported that the server did not cause"));
                ++tally->dropped;
                // Half the time the device, not yet aware, still sends data.
                if (QRandomGenerator::global()->bounded(2))
                    send(TlvCodec::encode(quint8(TlvCodec::TxData0 + n), "STALE"));
                startDocument(n);
            } else if (lane.step == Step::Closing && !up) {
                startDocument(n);
            } else if ((lane.step == Step::Connecting || lane.step == Step::Idle) && !up && lane.lossMayFollow) {
                lane.lossMayFollow = false;
            } else {
                fail(n, QStringLiteral("connection state %1 unexpected in step %2").arg(int(up)).arg(int(lane.step)));
            }
            return;
        }
        case TlvCodec::RxData0:
        case TlvCodec::RxData1: {
            if (lane.step != Step::Receiving || lane.grant == 0 || frame.value.size() > lane.grant
                || frame.value.isEmpty()) {
                fail(n, QStringLiteral("data beyond a grant or out of place"));
                return;
            }
            lane.grant = 0;
            lane.reply += frame.value;
            if (!lane.expected.startsWith(lane.reply)) {
                fail(n, QStringLiteral("reply differs at byte %1").arg(lane.reply.size()));
                lane.step = Step::Closing;
                send(TlvCodec::encode(quint8(TlvCodec::TxConnect0Close + n)));
                return;
            }
            if (lane.reply.size() < lane.expected.size()) {
                // Now and then the device gives up and starts over at once:
                // the unread bytes must not reach the next exchange.
                if (QRandomGenerator::global()->bounded(40) == 0) {
                    startDocument(n);
                    return;
                }
                grant(n);
                return;
            }
            ++tally->completed;
            ++lane.done;
            // Half the time the next connect follows the close at once.
            if (QRandomGenerator::global()->bounded(2)) {
                send(TlvCodec::encode(quint8(TlvCodec::TxConnect0Close + n)));
                startDocument(n);
                // The report that the close is done may come first.
                lane.lossMayFollow = true;
            } else {
                lane.step = Step::Closing;
                send(TlvCodec::encode(quint8(TlvCodec::TxConnect0Close + n)));
            }
            return;
        }
        default:
            return;
        }
    }

    int id;
    quint16 port;
    Tally *tally;
    OfdWorker *worker;
    QThread thread;
    TlvDecoder decoder;
    Lane lanes[2];
    bool running = false;
    bool wrapUp = false;
    bool stopping = false;
};

} // namespace

class TestOfdStress : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir home;

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("HOME", home.path().toLocal8Bit());
        QVERIFY(QDir().mkpath(home.path() + "/.morv/Kiv/logs"));
        log4cxx::Logger::getRootLogger()->setLevel(log4cxx::Level::getError());
    }

    void randomDropsNeverMixConnections()
    {
        Tally tally;
        DroppingServer server(&tally);
        QVERIFY(server.listen());
        std::vector<std::unique_ptr<StressDevice>> devices;
        for (int i = 0; i < kDevices; ++i)
            devices.push_back(std::make_unique<StressDevice>(i, server.port(), &tally));

        // Runs for its time unless something goes wrong first.
        const bool failedEarly = QTest::qWaitFor([&] { return !tally.failures.isEmpty(); }, kRunMs);
        for (auto &device : devices)
            device->finish();
        QVERIFY2(!failedEarly && tally.failures.isEmpty(), qPrintable(tally.failures.join('\n')));

        // Every lane kept going through the drops.
        for (auto &device : devices) {
            QVERIFY(device->progress(0) > 0);
            QVERIFY(device->progress(1) > 0);
        }
        QVERIFY(tally.dropped > 0);
        qInfo("%d documents, %d dropped, %d connections", tally.completed, tally.dropped, server.connections);
        devices.clear();
        QVERIFY2(tally.failures.isEmpty(), qPrintable(tally.failures.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestOfdStress)
#include "tst_ofdstress.moc"
