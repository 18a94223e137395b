// Several devices, each using both channels at once, against a loopback
// server that drops connections at random. Every reply is checked byte for
// byte, every connection's bytes must be exactly one document, and every
// loss the device hears of must be one the server caused.

#include "core/settings.h"
#include "ofd/ofdworker.h"
#include "ofd/tlvdecoder.h"
#include "ofdtestkit.h"

#include <QDir>
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
constexpr int kRunMs = 8000;

int rnd(int bound) { return QRandomGenerator::global()->bounded(bound); }

// A frame for channel n of a pair of tags.
QByteArray tlv(int tag, int n, const QByteArray &value = QByteArray())
{
    return TlvCodec::encode(quint8(tag + n), value);
}

struct Tally
{
    int completed = 0;
    int dropped = 0;
    QStringList failures;
    QSet<QByteArray> droppedByServer; // headers of documents whose connection the server dropped
};

// The server: one document per connection ("DOC", 8 bytes of id, 5 digits
// of size, then the body), echoed back as "RPL..." unless dropped at random.
void serve(QTcpServer *server, Tally *tally)
{
    QObject::connect(server, &QTcpServer::newConnection, server, [server, tally] {
        while (QTcpSocket *socket = server->nextPendingConnection()) {
            auto got = std::make_shared<QByteArray>();
            const int mode = rnd(10);
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [tally, socket, got, mode] {
                const bool first = got->isEmpty();
                *got += socket->readAll();
                if (first && !got->startsWith("DOC"))
                    tally->failures << "connection began with " + QString::fromLatin1(got->left(16).toHex());
                if (got->size() < kHeader)
                    return;
                const QByteArray header = got->left(kHeader);
                const int size = kHeader + header.mid(11, 5).toInt();
                if (got->size() > size) {
                    tally->failures << QStringLiteral("%1 bytes on a connection for %2 bytes").arg(got->size()).arg(size);
                    return socket->abort();
                }
                if (mode > 0 && got->size() < size)
                    return;
                const QByteArray reply = "RPL" + got->mid(3);
                if (mode >= 2) // half the reply then the drop; all then the close; all of it
                    socket->write(mode == 2 ? reply.left(reply.size() / 2) : reply);
                if (mode > 3)
                    return;
                tally->droppedByServer.insert(header);
                if (mode == 3) // the device still gets every byte
                    return socket->disconnectFromHost();
                socket->flush();
                socket->abort();
            });
        }
    });
}

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
        connect(worker, &OfdWorker::sendData, this, [this](const QByteArray &bytes) {
            decoder.feed(bytes);
            for (TlvFrame frame; decoder.take(&frame);)
                onFrame(frame);
        });
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
    bool wrapUp = false;

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
        QByteArray reply;
    };

    void send(const QByteArray &bytes)
    {
        if (!stopping)
            QMetaObject::invokeMethod(worker, "onDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, bytes));
    }
    void fail(int n, const QString &what)
    {
        tally->failures << QStringLiteral("device %1 lane %2 document %3: %4").arg(id).arg(n).arg(lanes[n].seq).arg(what);
    }
    void grant(int n)
    {
        lanes[n].grant = 1 + rnd(255);
        send(tlv(TlvCodec::TxPacketSize0, n, QByteArray(1, char(lanes[n].grant))));
    }
    void startDocument(int n)
    {
        Lane &lane = lanes[n];
        // The connection this one follows may end on the server's side
        // before the service sees the new connect: its loss report may then
        // still come, once.
        lane.lossMayFollow = tally->droppedByServer.contains(lane.document.left(kHeader));
        lane.step = Step::Idle;
        if (wrapUp || stopping)
            return;
        const int size = 1 + rnd(2000);
        lane.document = QStringLiteral("DOC%1%2%3%4").arg(id, 2, 10, QLatin1Char('0')).arg(n).arg(++lane.seq, 5, 10, QLatin1Char('0'))
                            .arg(size, 5, 10, QLatin1Char('0')).toLatin1();
        for (int i = 0; i < size; ++i)
            lane.document.append(char((i * 31 + lane.seq * 7 + id * 13 + n) & 0xFF));
        lane.reply.clear();
        lane.step = Step::Connecting;
        send(tlv(TlvCodec::TxPort0, n, TlvCodec::port(port)) + tlv(TlvCodec::TxConnect0, n, "127.0.0.1"));
    }
    void onFrame(const TlvFrame &frame)
    {
        const int n = frame.tag & 1;
        Lane &lane = lanes[n];
        if (frame.tag == TlvCodec::RxRequestVersion) {
            send(tlv(TlvCodec::TxResponseVersion, 0, "\x02"));
            if (lanes[0].seq == 0 && lanes[1].seq == 0) {
                startDocument(0);
                startDocument(1);
            }
        } else if ((frame.tag & ~1) == TlvCodec::RxConnectState0) {
            const bool up = frame.value == QByteArray(1, '\x01');
            if (lane.step == Step::Connecting && up) {
                lane.step = Step::Receiving;
                QByteArray out;
                for (qsizetype at = 0; at < lane.document.size(); at += 255)
                    out += tlv(TlvCodec::TxData0, n, lane.document.mid(at, 255));
                send(out);
                grant(n);
            } else if (lane.step == Step::Receiving && !up) {
                if (!tally->droppedByServer.contains(lane.document.left(kHeader)))
                    fail(n, QStringLiteral("loss reported that the server did not cause"));
                ++tally->dropped;
                // Half the time the device, not yet aware, still sends data.
                if (rnd(2))
                    send(tlv(TlvCodec::TxData0, n, "STALE"));
                startDocument(n);
            } else if (lane.step == Step::Closing && !up) {
                startDocument(n);
            } else if ((lane.step == Step::Connecting || lane.step == Step::Idle) && !up && lane.lossMayFollow) {
                lane.lossMayFollow = false;
            } else {
                fail(n, QStringLiteral("connection state %1 unexpected in step %2").arg(int(up)).arg(int(lane.step)));
            }
        } else if ((frame.tag & ~1) == TlvCodec::RxData0) {
            if (lane.step != Step::Receiving || frame.value.isEmpty() || frame.value.size() > lane.grant)
                return fail(n, QStringLiteral("data beyond a grant or out of place"));
            lane.grant = 0;
            lane.reply += frame.value;
            const QByteArray expected = "RPL" + lane.document.mid(3);
            if (!expected.startsWith(lane.reply)) {
                fail(n, QStringLiteral("reply differs at byte %1").arg(lane.reply.size()));
                lane.step = Step::Closing;
                return send(tlv(TlvCodec::TxConnect0Close, n));
            }
            if (lane.reply.size() < expected.size()) {
                // Now and then the device gives up and starts over at once:
                // the unread bytes must not reach the next exchange.
                return rnd(40) == 0 ? startDocument(n) : grant(n);
            }
            ++tally->completed;
            ++lane.done;
            send(tlv(TlvCodec::TxConnect0Close, n));
            lane.step = Step::Closing;
            // Half the time the next connect follows the close at once; the
            // report that the close is done may then come after it.
            if (rnd(2)) {
                startDocument(n);
                lane.lossMayFollow = true;
            }
        }
    }

    int id;
    quint16 port;
    Tally *tally;
    OfdWorker *worker;
    QThread thread;
    TlvDecoder decoder;
    Lane lanes[2];
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
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        serve(&server, &tally);
        std::vector<std::unique_ptr<StressDevice>> devices;
        for (int i = 0; i < 4; ++i)
            devices.push_back(std::make_unique<StressDevice>(i, server.serverPort(), &tally));

        // Runs for its time unless something goes wrong first.
        const bool failedEarly = QTest::qWaitFor([&] { return !tally.failures.isEmpty(); }, kRunMs);
        for (auto &device : devices)
            device->wrapUp = true;
        QVERIFY2(!failedEarly && tally.failures.isEmpty(), qPrintable(tally.failures.join('\n')));
        // Every lane kept going through the drops.
        for (auto &device : devices)
            QVERIFY(device->progress(0) > 0 && device->progress(1) > 0);
        QVERIFY(tally.dropped > 0);
        qInfo("%d documents, %d dropped", tally.completed, tally.dropped);
        devices.clear();
        QVERIFY2(tally.failures.isEmpty(), qPrintable(tally.failures.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestOfdStress)
#include "tst_ofdstress.moc"
