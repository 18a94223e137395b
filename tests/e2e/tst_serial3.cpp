// The built service between two pseudo-terminals in exchange protocol 3:
// the test plays the fiscal device, the application and an OFD server.
#include "kivrun.h"
#include "ofdserver.h"
#include "ptypair.h"
#include "tlvstream.h"

#include "proxy/morv3decoder.h"
#include "proxy/morv3frame.h"

#include <QtTest>

namespace {

constexpr int kWait = 60000;   // the device port alone takes 6 s to settle

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// The fiscal device: reads what the service writes to it, collects the OFD
// protocol out of the service's tasks and sends its own OFD traffic as
// asynchronous frames.
class Device
{
public:
    explicit Device(PtyPair &line) : line(line) {}

    // Decodes whatever has arrived; never waits.
    void pump()
    {
        for (char c : line.drain()) {
            if (!decoder.feed(quint8(c)))
                continue;
            const Morv3Frame &f = decoder.frame();
            if (f.id < 0xE0) {
                fromApp.append(decoder.raw());
            } else if (f.data.startsWith(hex("c100")) && f.data.size() >= 6 && quint8(f.data.at(5)) == 0xDA) {
                ofd.append(f.data.mid(6));
                ++ofdTasks;
            } else if (f.data == hex("c4")) {
                abortId = f.id;
            } else if (f.data.startsWith(hex("c105"))) {
                ++listenRequests;
            }
            decoder.clear();
        }
    }

    bool waitFor(const std::function<bool()> &done, int timeoutMs = kWait)
    {
        return QTest::qWaitFor([&] {
            pump();
            return done();
        }, timeoutMs);
    }

    // Waits for the next OFD frame from the service with this tag.
    bool waitForTlv(quint8 tag, TlvStream::Frame *out = nullptr)
    {
        return waitFor([&] {
            TlvStream::Frame frame;
            while (ofd.next(&frame)) {
                if (frame.tag == tag) {
                    if (out)
                        *out = frame;
                    return true;
                }
            }
            return false;
        });
    }

    bool sendOfd(const QByteArray &tlv, bool shortHeader = false)
    {
        const QByteArray header = shortHeader ? hex("a3da") : hex("a600da");
        return line.write(Morv3Frame::encodeFrameWithId(0xF0, header + tlv));
    }

    PtyPair &line;
    Morv3Decoder decoder{Morv3Decoder::DeviceSide};
    TlvStream ofd;
    QList<QByteArray> fromApp;
    int ofdTasks = 0;
    int listenRequests = 0;
    quint8 abortId = 0;
};

} // namespace

class TestSerial3 : public QObject
{
    Q_OBJECT
private slots:
    void ofdExchangeWhileApplicationTalks()
    {
        OfdServer server;
        QVERIFY(server.listen());
        server.setReply(QByteArrayLiteral("SERVER-REPLY"));

        PtyPair devLine;
        PtyPair appLine;
        QVERIFY(devLine.isOpen() && appLine.isOpen());
        Device device(devLine);

        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(QStringLiteral(
            "<device type=\"dalv\"><id>s3</id><protocol>3</protocol>"
            "<app><port>%1</port><baudrate>9600</baudrate></app>"
            "<dev><port>%2</port><baudrate>115200</baudrate></dev></device>")
            .arg(appLine.portPath(), devLine.portPath())));
        QVERIFY(kiv.start());

        // Start-up of the device link; the device's first answer wakes the OFD side.
        QVERIFY(device.waitFor([&] { return device.listenRequests == 1 && device.abortId; }));
        QVERIFY(devLine.write(Morv3Frame::encodeFrameWithId(device.abortId, hex("a0"))));
        QVERIFY(device.waitForTlv(0x01));   // version request
        QVERIFY(device.sendOfd(TlvStream::frame(0x40, hex("02"))));

        // The application keeps talking to the device all along.
        auto roundTrip = [&](quint8 id, const QByteArray &data) {
            const QByteArray request = Morv3Frame::encodeFrameWithId(id, data);
            if (!appLine.write(request))
                return false;
            if (!device.waitFor([&] { return device.fromApp.contains(request); }))
                return false;
            const QByteArray answer = Morv3Frame::encodeFrameWithId(id, hex("00") + data);
            if (!devLine.write(answer))
                return false;
            QByteArray got;
            return QTest::qWaitFor([&] {
                got += appLine.drain();
                return got == answer;
            }, kWait);
        };
        QVERIFY(roundTrip(0x21, QByteArrayLiteral("status")));

        // Channel 0 to the OFD server, named by the device.
        QVERIFY(device.sendOfd(TlvStream::frame(0x60, TlvStream::port(server.port()))));
        QVERIFY(device.sendOfd(TlvStream::frame(0x70, QByteArrayLiteral("127.0.0.1")), true));
        TlvStream::Frame state;
        QVERIFY(device.waitForTlv(0x10, &state));
        QCOMPARE(state.value, hex("01"));
        QVERIFY(server.waitForConnections(1, kWait));

        QVERIFY(roundTrip(0x22, hex("fefd01")));

        QVERIFY(device.sendOfd(TlvStream::frame(0x90, QByteArrayLiteral("DOCUMENT"))));
        QVERIFY(server.waitForReceived(8, kWait));
        QCOMPARE(server.received(), QByteArrayLiteral("DOCUMENT"));

        QVERIFY(roundTrip(0x23, QByteArrayLiteral("sale")));

        QVERIFY(device.sendOfd(TlvStream::frame(0x50, hex("40"))));
        TlvStream::Frame data;
        QVERIFY(device.waitForTlv(0x20, &data));
        QCOMPARE(data.value, QByteArrayLiteral("SERVER-REPLY"));

        QVERIFY(device.sendOfd(TlvStream::frame(0x80, hex("00"))));
        QVERIFY(server.waitForDisconnects(1, kWait));
        QVERIFY(roundTrip(0x24, QByteArrayLiteral("end")));

        // Each of the six asynchronous frames renewed the listening task.
        QVERIFY(device.waitFor([&] { return device.listenRequests >= 7; }));
        QVERIFY(device.ofdTasks >= 3);

        QCOMPARE(kiv.stop(), 0);
        QString log = kiv.output();
        QFile logFile(kiv.logsDir() + QStringLiteral("/Kiv.log"));
        if (logFile.open(QIODevice::ReadOnly))
            log += QString::fromUtf8(logFile.readAll());
        QVERIFY2(!log.contains(QLatin1String("dev error")), qPrintable(log));
    }
};

QTEST_GUILESS_MAIN(TestSerial3)
#include "tst_serial3.moc"
