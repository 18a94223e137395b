// The built service with the simulated libusb beside a copy of it: devices
// on USB speak the TLV protocol with it and reach a loopback OFD server.

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const int kWait = 30000;

QByteArray frame(quint8 tag, const QByteArray &value = QByteArray())
{
    return QByteArray(1, char(tag)) + QByteArray(1, char(value.size())) + value;
}

// Answers every connection with the upper-case form of what it receives.
class OfdServer : public QObject
{
    Q_OBJECT
public:
    OfdServer()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                ++connections;
                connect(s, &QTcpSocket::readyRead, this, [this, s] {
                    const QByteArray chunk = s->readAll();
                    received += chunk;
                    s->write(chunk.toUpper());
                });
                connect(s, &QTcpSocket::disconnected, this, [this, s] {
                    ++disconnections;
                    s->deleteLater();
                });
            }
        });
    }
    bool listen() { return server.listen(QHostAddress::LocalHost); }
    quint16 port() const { return server.serverPort(); }

    QTcpServer server;
    QByteArray received;
    int connections = 0;
    int disconnections = 0;
};

// The device's end of the bridge: speaks the TLV protocol with the service.
class FakeDevice : public QObject
{
    Q_OBJECT
public:
    FakeDevice(const QString &path, quint16 ofdPort, const QByteArray &payload)
        : ofdPort(ofdPort), payload(payload)
    {
        QLocalServer::removeServer(path);
        listening = server.listen(path);
        connect(&server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *s = server.nextPendingConnection()) {
                ++connections;
                socket = s;
                buffer.clear();
                exchangeStarted = false;
                connect(s, &QLocalSocket::readyRead, this, [this, s] {
                    if (s == socket)
                        onBytes(s->readAll());
                });
            }
        });
    }

    // Ends the current connection as an unplugged cable would.
    void dropConnection()
    {
        if (socket)
            socket->abort();
        socket = nullptr;
    }

    bool listening = false;
    int connections = 0;
    int handshakes = 0;
    int connected = 0;
    int exchanges = 0;
    QByteArray reply;

private:
    void send(const QByteArray &bytes)
    {
        if (socket)
            socket->write(bytes);
    }

    void onBytes(const QByteArray &bytes)
    {
        buffer += bytes;
        while (buffer.size() >= 2 && buffer.size() >= 2 + quint8(buffer[1])) {
            const quint8 tag = quint8(buffer[0]);
            const QByteArray value = buffer.mid(2, quint8(buffer[1]));
            buffer.remove(0, 2 + value.size());
            onFrame(tag, value);
        }
    }

    void onFrame(quint8 tag, const QByteArray &value)
    {
        switch (tag) {
        case 0x01: // version request: version 2
            send(frame(0x40, QByteArray(1, 2)));
            ++handshakes;
            if (!exchangeStarted) {
                exchangeStarted = true;
                reply.clear();
                QByteArray port;
                port.append(char(ofdPort & 0xFF)).append(char(ofdPort >> 8));
                send(frame(0x60, port));
                send(frame(0x70, QByteArray("127.0.0.1", 10)));
            }
            break;
        case 0x10:
            if (value == QByteArray(1, 1)) {
                ++connected;
                send(frame(0x90, payload));
                send(frame(0x50, QByteArray(1, 16)));
            }
            break;
        case 0x20:
            reply += value;
            if (reply.size() < payload.size()) {
                send(frame(0x50, QByteArray(1, 16)));
            } else {
                ++exchanges;
                send(frame(0x80));
            }
            break;
        default:
            break;
        }
    }

    QLocalServer server;
    QPointer<QLocalSocket> socket;
    QByteArray buffer;
    quint16 ofdPort;
    QByteArray payload;
    bool exchangeStarted = false;
};

// A copy of the service in a directory of its own, configured with USB devices.
class Installation
{
public:
    bool prepare(const QStringList &ports)
    {
        const QString bin = dir.path();
        QDir().mkpath(bin + "/logs");
        QDir().mkpath(bin + "/sock");
        if (!QFile::copy(KIV_EXECUTABLE, bin + "/kiv") || !QFile::copy(SIMUSB_LIBRARY, bin + "/libusb-1.0.so.0"))
            return false;
        QFile marker(bin + "/USE_LOCAL_CONFIGS");
        if (!marker.open(QIODevice::WriteOnly))
            return false;
        QFile settings(bin + "/settings.xml");
        if (!settings.open(QIODevice::WriteOnly))
            return false;
        QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings>\n";
        xml += "  <logs><dir>" + (bin + "/logs").toUtf8() + "</dir></logs>\n";
        for (int i = 0; i < ports.size(); ++i)
            xml += "  <device><id>dev" + QByteArray::number(i) + "</id><port>" + ports[i].toUtf8()
                + "</port></device>\n";
        xml += "</settings>\n";
        settings.write(xml);
        this->ports = ports;
        return true;
    }

    QString socketPath(int i) const { return dir.path() + "/sock/dev" + QString::number(i); }

    void start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SIMUSB_BRIDGE_DIR", dir.path() + "/sock");
        env.insert("SIMUSB_DEVICES", ports.join(','));
        kiv.setProcessEnvironment(env);
        kiv.setProcessChannelMode(QProcess::ForwardedChannels);
        kiv.start(dir.path() + "/kiv", {"-e"});
    }

    // SIGTERM as a service manager would send it.
    bool terminate()
    {
        kiv.terminate();
        return kiv.waitForFinished(kWait);
    }

    ~Installation()
    {
        if (kiv.state() != QProcess::NotRunning) {
            kiv.kill();
            kiv.waitForFinished(kWait);
        }
    }

    QString logText() const
    {
        QFile log(dir.path() + "/logs/Kiv.log");
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

    QTemporaryDir dir;
    QStringList ports;
    QProcess kiv;
};

} // namespace

class TestUsbE2e : public QObject
{
    Q_OBJECT

private slots:
    void exchangeAndReconnect();
    void eightDevicesAtOnce();
};

void TestUsbE2e::exchangeAndReconnect()
{
    OfdServer ofd;
    QVERIFY(ofd.listen());
    Installation inst;
    QVERIFY(inst.prepare({"1-1"}));
    const QByteArray payload = "fiscal document 0001";
    FakeDevice device(inst.socketPath(0), ofd.port(), payload);
    QVERIFY(device.listening);
    inst.start();
    QVERIFY(inst.kiv.waitForStarted(kWait));

    QTRY_VERIFY_WITH_TIMEOUT(device.handshakes >= 1, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(device.connected, 1, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(ofd.received, payload, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(device.exchanges, 1, kWait);
    QCOMPARE(device.reply, payload.toUpper());
    // TX_CONNECT0_CLOSE ends the server connection.
    QTRY_COMPARE_WITH_TIMEOUT(ofd.disconnections, 1, kWait);

    // The cable drops: the read fails, the device is reopened (after the
    // service's pause) and the exchange works again.
    device.dropConnection();
    QTRY_COMPARE_WITH_TIMEOUT(device.connections, 2, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(device.exchanges, 2, kWait);
    QCOMPARE(ofd.received, payload + payload);

    QVERIFY(inst.terminate());
    QCOMPARE(inst.kiv.exitStatus(), QProcess::NormalExit);
    QCOMPARE(inst.kiv.exitCode(), 0);
    const QString log = inst.logText();
    QVERIFY(log.contains("[USB-dev0] Open USB: 1-1"));
    QVERIFY(log.contains("[USB-dev0] error: -1"));
}

void TestUsbE2e::eightDevicesAtOnce()
{
    OfdServer ofd;
    QVERIFY(ofd.listen());
    Installation inst;
    QStringList ports;
    for (int i = 0; i < 8; ++i)
        ports << QStringLiteral("1-%1").arg(i + 1);
    QVERIFY(inst.prepare(ports));
    std::vector<std::unique_ptr<FakeDevice>> devices;
    for (int i = 0; i < 8; ++i) {
        devices.push_back(std::make_unique<FakeDevice>(inst.socketPath(i), ofd.port(),
                                                       QByteArray("payload of device ") + QByteArray::number(i)));
        QVERIFY(devices.back()->listening);
    }
    inst.start();
    QVERIFY(inst.kiv.waitForStarted(kWait));
    for (int i = 0; i < 8; ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(devices[size_t(i)]->exchanges, 1, kWait);
        QCOMPARE(devices[size_t(i)]->reply, QByteArray("PAYLOAD OF DEVICE ") + QByteArray::number(i));
    }
    QCOMPARE(ofd.connections, 8);
    QVERIFY(inst.terminate());
    QCOMPARE(inst.kiv.exitStatus(), QProcess::NormalExit);
    QCOMPARE(inst.kiv.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestUsbE2e)
#include "tst_usbe2e.moc"
