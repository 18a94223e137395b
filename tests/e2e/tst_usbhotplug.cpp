// The built service in hot-plug mode with the simulated libusb beside a copy
// of it: devices of the vendor attached at start and plugged in later are
// served end to end, configured USB devices are ignored, and SIGTERM ends
// the service promptly.

#include "kivrun.h"
#include "ofdserver.h"
#include "tlvstream.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QtTest>

namespace {

const int kWait = 60000;

// The device end of one simulated USB device: answers the version request,
// then runs one exchange with the OFD server through channel 0.
class BridgeDevice : public QObject
{
    Q_OBJECT
public:
    BridgeDevice(const QString &path, quint16 ofdPort, const QByteArray &document)
        : ofdPort(ofdPort), document(document)
    {
        QLocalServer::removeServer(path);
        listening = server.listen(path);
        connect(&server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *s = server.nextPendingConnection()) {
                socket = s;
                connect(s, &QLocalSocket::readyRead, this, [this, s] {
                    if (s != socket)
                        return;
                    stream.append(s->readAll());
                    TlvStream::Frame f;
                    while (stream.next(&f))
                        onFrame(f);
                });
            }
        });
    }

    bool listening = false;
    bool done = false;
    QByteArray reply;

private:
    void send(quint8 tag, const QByteArray &value = QByteArray())
    {
        if (socket)
            socket->write(TlvStream::frame(tag, value));
    }

    void onFrame(const TlvStream::Frame &f)
    {
        switch (f.tag) {
        case 0x01: // version request: the device speaks version 2
            send(0x40, QByteArray(1, 2));
            if (!started) {
                started = true;
                send(0x60, TlvStream::port(ofdPort));
                send(0x70, QByteArray("127.0.0.1"));
            }
            break;
        case 0x10:
            if (f.value == QByteArray(1, 1)) {
                send(0x90, document);
                send(0x50, QByteArray(1, char(10)));
            }
            break;
        case 0x20:
            reply += f.value;
            if (reply.size() < document.size()) {
                send(0x50, QByteArray(1, char(10)));
            } else if (!done) {
                done = true;
                send(0x80);
            }
            break;
        default:
            break;
        }
    }

    QLocalServer server;
    QPointer<QLocalSocket> socket;
    TlvStream stream;
    quint16 ofdPort;
    QByteArray document;
    bool started = false;
};

} // namespace

class TestUsbHotplug : public QObject
{
    Q_OBJECT
private slots:
    void presentAndLaterDevicesServed();
};

void TestUsbHotplug::presentAndLaterDevicesServed()
{
    OfdServer ofd;
    QVERIFY(ofd.listen());
    // The server echoes every document back, so the device sees a reply of its size.
    connect(&ofd, &OfdServer::dataReceived, &ofd, [&ofd](const QByteArray &bytes) { ofd.send(bytes); });

    KivRun run;
    QVERIFY(run.isValid());
    QVERIFY(run.copyBesideExecutable(SIMUSB_LIBRARY, "libusb-1.0.so.0"));
    const QString sockets = run.dir() + "/sock";
    QVERIFY(QDir().mkpath(sockets));
    QVERIFY(run.writeSettingsBody(
        "<device><id>configured</id><port>1-9</port></device>\n"
        "<device type=\"dalv\"><id>ser</id><protocol>3</protocol>"
        "<app><port>" + run.dir() + "/no-app</port></app><dev><port>" + run.dir() + "/no-dev</port></dev></device>\n",
        true));

    // Device 0 is attached at start, device 1 only later; 1-9 (configured) never exists.
    BridgeDevice present(sockets + "/dev0", ofd.port(), "document of the attached device");
    BridgeDevice later(sockets + "/dev1", ofd.port(), "document of the device plugged in later");
    QVERIFY(present.listening && later.listening);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SIMUSB_BRIDGE_DIR", sockets);
    env.insert("SIMUSB_DEVICES", "1-4.2,!3-1");
    run.process().setProcessEnvironment(env);
    QVERIFY(run.start());

    QVERIFY(run.waitForLine("Hotplug mode", kWait));
    QVERIFY(run.waitForLine("Register Dalv worker [ser]", kWait));
    QTRY_VERIFY_WITH_TIMEOUT(present.done, kWait);
    QCOMPARE(present.reply, QByteArray("document of the attached device"));

    // Attached devices are registered during start-up, before the serial ones.
    const QString out = run.output();
    const int usbAt = out.indexOf("Register Kiv worker [1-4.2]");
    QVERIFY(usbAt >= 0);
    QVERIFY(usbAt < out.indexOf("Register Dalv worker [ser]"));
    QVERIFY(!out.contains("Register Kiv worker [configured]"));

    // Plugging the second device in.
    QFile trigger(sockets + "/plug1");
    QVERIFY(trigger.open(QIODevice::WriteOnly));
    trigger.close();
    QVERIFY(run.waitForLine("Register Kiv worker [3-1]", kWait));
    QTRY_VERIFY_WITH_TIMEOUT(later.done, kWait);
    QCOMPARE(later.reply, QByteArray("document of the device plugged in later"));
    QCOMPARE(run.countLines("Register Kiv worker ["), 2);

    // SIGTERM ends the service without waiting out libusb's event time-out.
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(run.stop(kWait), 0);
    QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
}

QTEST_GUILESS_MAIN(TestUsbHotplug)
#include "tst_usbhotplug.moc"
