// A protocol-2 serial device served end to end by the built kiv: the test
// plays the application on one pseudo-terminal and the device on the other,
// the device carrying its OFD traffic in 0xDA frames to a loopback server.
#include "kivrun.h"
#include "morv2peer.h"
#include "ofdserver.h"
#include "proxy/morv2frame.h"
#include "ptypair.h"
#include "tlvstream.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {

constexpr char kMarker = char(0xDA);
constexpr int kCommands = 6;
constexpr int kGrant = 7;   // bytes the device accepts per RX_DATA0

// What the two simulated ends saw, shared with the test's thread.
struct Seen
{
    QMutex mutex;
    QList<QByteArray> commandsAtDevice;
    QList<QByteArray> answersAtApp;
    QByteArray ofdReplyAtDevice;
    QList<quint8> tagsAtDevice;
    QStringList problems;
    std::atomic<bool> connected{false};
    std::atomic<bool> stop{false};

    void problem(const QString &text)
    {
        QMutexLocker lock(&mutex);
        problems << text;
    }
};

// The fiscal device: answers the application's commands and runs one OFD
// exchange (version, port, connect, data, reply on grants).
void runDevice(PtyPair &pty, quint16 serverPort, const QByteArray &request, int replySize, Seen &seen)
{
    Morv2Peer peer(pty);
    QList<QByteArray> outbox;
    const auto toOfd = [&](quint8 tag, const QByteArray &value) {
        outbox << (QByteArray(1, kMarker) + TlvStream::frame(tag, value));
    };
    bool versionDone = false;
    QByteArray reply;
    QDeadlineTimer deadline(240000);

    bool yielding = false;
    while (!seen.stop && !deadline.hasExpired()) {
        // After a conflict kiv sends first: wait for its ENQ before trying again.
        const int byte = peer.readByte(yielding ? 3000 : outbox.isEmpty() ? 20 : 0);
        yielding = false;
        if (byte == Morv2Frame::ENQ) {
            QByteArray data;
            if (!peer.receiveAfterEnq(&data, 10000)) {
                seen.problem(QStringLiteral("device: bad frame from kiv"));
                continue;
            }
            if (data.size() >= 3 && data.at(2) == kMarker) {
                // An OFD frame behind the application's two-byte prefix.
                for (const TlvStream::Frame &tlv : TlvStream::parse(data.mid(3))) {
                    {
                        QMutexLocker lock(&seen.mutex);
                        seen.tagsAtDevice << tlv.tag;
                    }
                    if (tlv.tag == 0x01) {   // version request
                        toOfd(0x40, QByteArray(1, '\x02'));
                        if (!versionDone) {
                            versionDone = true;
                            toOfd(0x60, TlvStream::port(serverPort));
                            toOfd(0x70, QByteArray("127.0.0.1"));
                        }
                    } else if (tlv.tag == 0x10 && tlv.value == QByteArray(1, '\x01')) {
                        seen.connected = true;
                        toOfd(0x90, request);
                        toOfd(0x50, QByteArray(1, char(kGrant)));
                    } else if (tlv.tag == 0x20) {
                        reply += tlv.value;
                        {
                            QMutexLocker lock(&seen.mutex);
                            seen.ofdReplyAtDevice = reply;
                        }
                        if (reply.size() < replySize)
                            toOfd(0x50, QByteArray(1, char(kGrant)));
                    }
                }
            } else {
                {
                    QMutexLocker lock(&seen.mutex);
                    seen.commandsAtDevice << data;
                }
                outbox << ("ANS" + data.mid(3));
            }
        } else if (byte >= 0) {
            seen.problem(QStringLiteral("device: stray byte %1").arg(byte));
        } else if (!outbox.isEmpty()) {
            switch (peer.send(outbox.first(), 10000)) {
            case Morv2Peer::Result::Ok:
                outbox.removeFirst();
                break;
            case Morv2Peer::Result::Conflict:
                yielding = true;
                break;
            case Morv2Peer::Result::Failed:
                seen.problem(QStringLiteral("device: frame not taken"));
                break;
            }
        }
    }
}

// The application: commands one after another, each awaiting its answer.
void runApplication(PtyPair &pty, Seen &seen)
{
    Morv2Peer peer(pty);
    for (int i = 0; i < kCommands && !seen.stop; ++i) {
        // Two header bytes first, as the device's commands have.
        const QByteArray command = QByteArray::fromHex("4b02") + "CMD" + QByteArray::number(i)
                                   + QByteArray::fromHex("0310");
        if (peer.send(command, 30000) != Morv2Peer::Result::Ok) {
            seen.problem(QStringLiteral("app: command %1 not taken").arg(i));
            return;
        }
        QByteArray answer;
        if (!peer.receive(&answer, 30000)) {
            seen.problem(QStringLiteral("app: no answer to %1").arg(i));
            return;
        }
        QMutexLocker lock(&seen.mutex);
        seen.answersAtApp << answer;
    }
}

} // namespace

class TestSerial2 : public QObject
{
    Q_OBJECT
private slots:
    void servesDeviceEndToEnd_data()
    {
        QTest::addColumn<bool>("fullDisk");
        QTest::newRow("log written") << false;
        // The service's own logs cannot be written: the relay goes on.
        QTest::newRow("log on a full disk") << true;
    }

    void servesDeviceEndToEnd()
    {
        QFETCH(bool, fullDisk);
        PtyPair app;
        PtyPair dev;
        QVERIFY(app.isOpen() && dev.isOpen());
        OfdServer server;
        QVERIFY(server.listen());
        const QByteArray request("fiscal document for the operator");
        const QByteArray reply = QByteArray("receipt from the operator, long enough for several grants ")
                                 + QByteArray::fromHex("00031002dafe");
        server.setReply(reply);

        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(
            QStringLiteral("<device type=\"dalv\"><id>ser2</id><protocol>2</protocol>"
                           "<app><port>%1</port><baudrate>115200</baudrate></app>"
                           "<dev><port>%2</port><baudrate>57600</baudrate></dev></device>")
                .arg(app.portPath(), dev.portPath())));
        if (fullDisk) {
            QVERIFY(QFile::link(QStringLiteral("/dev/full"), kiv.logsDir() + QStringLiteral("/Kiv.log")));
            QVERIFY(QFile::link(QStringLiteral("/dev/full"), kiv.logsDir() + QStringLiteral("/Debug.log")));
        }
        QVERIFY(kiv.start({QStringLiteral("-e")}));
        QVERIFY2(kiv.waitForLine(QStringLiteral("Register Dalv worker [ser2]")), qPrintable(kiv.output()));

        // Opening a port clears what waits in it: start talking once both are open.
        QVERIFY2(QTest::qWaitFor([&] { return kiv.countLines(QStringLiteral("[ComProxy2-ser2] OK")) >= 2; }, 60000),
                 qPrintable(kiv.output()));

        Seen seen;
        QThread *device = QThread::create(runDevice, std::ref(dev), server.port(), request,
                                          int(reply.size()), std::ref(seen));
        QThread *application = QThread::create(runApplication, std::ref(app), std::ref(seen));
        device->start();
        application->start();
        const auto cleanup = qScopeGuard([&] {
            seen.stop = true;
            application->wait();
            device->wait();
            delete application;
            delete device;
        });

        QVERIFY2(server.waitForReceived(int(request.size()), 120000), qPrintable(kiv.output()));
        QCOMPARE(server.received(), request);
        QTRY_VERIFY_WITH_TIMEOUT(application->isFinished(), 120000);
        const auto replyAtDevice = [&] {
            QMutexLocker lock(&seen.mutex);
            return seen.ofdReplyAtDevice.size();
        };
        QTRY_VERIFY_WITH_TIMEOUT(replyAtDevice() >= reply.size(), 120000);

        QMutexLocker lock(&seen.mutex);
        QVERIFY2(seen.problems.isEmpty(), qPrintable(seen.problems.join('\n')));
        QCOMPARE(seen.ofdReplyAtDevice, reply);
        QVERIFY(seen.connected);
        QCOMPARE(seen.commandsAtDevice.size(), kCommands);
        QCOMPARE(seen.answersAtApp.size(), kCommands);
        for (int i = 0; i < kCommands; ++i) {
            const QByteArray command = QByteArray::fromHex("4b02") + "CMD" + QByteArray::number(i)
                                       + QByteArray::fromHex("0310");
            QCOMPARE(seen.commandsAtDevice.at(i), command);
            QCOMPARE(seen.answersAtApp.at(i), "ANS" + command.mid(3));
        }
        // Every RX_DATA0 kept within the grant.
        QVERIFY(seen.tagsAtDevice.count(0x20) >= int(reply.size()) / kGrant);
        lock.unlock();

        QVERIFY(kiv.countLines(QStringLiteral("dev -> ofd | DA")) > 0);
        QVERIFY(kiv.countLines(QStringLiteral("app -> dev | 4B 02")) >= kCommands);
        QCOMPARE(kiv.stop(), 0);
        if (fullDisk) {
            QCOMPARE(kiv.countLines(QStringLiteral("ERROR [Kiv.log] cannot write %1/Kiv.log: No space left on "
                                                   "device; log lines go to the console only until it can")
                                        .arg(kiv.logsDir())),
                     1);
            QCOMPARE(kiv.errorOutput(), QString());
        }
    }
};

QTEST_GUILESS_MAIN(TestSerial2)
#include "tst_serial2.moc"
