// The shared test helpers that other tests rely on: TLV frames and the
// loopback OFD server.
#include "ofdserver.h"
#include "tlvstream.h"

#include <QTcpSocket>
#include <QtTest>

class TestHelpers : public QObject
{
    Q_OBJECT
private slots:
    void tlvFramesSplitAnywhere()
    {
        const QByteArray stream = TlvStream::frame(0x60, TlvStream::port(0x1234))
                                  + TlvStream::frame(0x70, "ofd.example\0") + TlvStream::frame(0x01)
                                  + TlvStream::frame(0x90, QByteArray(255, 'x'));
        QCOMPARE(stream.left(4), QByteArray::fromHex("60023412"));
        // Fed one byte at a time, the same frames come out.
        TlvStream parser;
        QList<TlvStream::Frame> frames;
        for (char byte : stream) {
            parser.append(QByteArray(1, byte));
            frames += parser.takeAll();
        }
        QCOMPARE(frames.size(), 4);
        QCOMPARE(frames.at(0).tag, quint8(0x60));
        QCOMPARE(frames.at(0).value, QByteArray::fromHex("3412"));
        QCOMPARE(frames.at(1).value, QByteArray("ofd.example"));
        QVERIFY(frames.at(2).value.isEmpty());
        QCOMPARE(frames.at(3).value.size(), 255);
        QVERIFY(parser.pending().isEmpty());

        QByteArray rest;
        QCOMPARE(TlvStream::parse(stream.left(stream.size() - 1), &rest).size(), 3);
        QCOMPARE(rest.size(), 2 + 254);
        QCOMPARE(TlvStream::frame(0x20, QByteArray(300, 'y')).size(), 2 + 255);
    }

    void ofdServerRecordsAndReplies()
    {
        OfdServer server;
        QVERIFY(server.listen());
        QVERIFY(server.port() != 0);
        server.setGreeting("hello");
        server.setReply("reply");

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(client.waitForConnected(10000));
        QVERIFY(server.waitForConnections(1));
        QTRY_COMPARE_WITH_TIMEOUT(client.bytesAvailable(), qint64(5), 10000);
        QCOMPARE(client.readAll(), QByteArray("hello"));

        client.write("abc");
        QVERIFY(server.waitForReceived(3));
        QTRY_COMPARE_WITH_TIMEOUT(client.bytesAvailable(), qint64(5), 10000);
        QCOMPARE(client.readAll(), QByteArray("reply"));
        client.write("def");
        QVERIFY(server.waitForReceived(6));
        QCOMPARE(server.received(), QByteArray("abcdef"));
        QCOMPARE(server.receivedOn(0), QByteArray("abcdef"));
        // The reply goes out once per connection only: what follows is
        // exactly what the test pushes.
        QVERIFY(server.send("push"));
        QTRY_COMPARE_WITH_TIMEOUT(client.bytesAvailable(), qint64(4), 10000);
        QCOMPARE(client.readAll(), QByteArray("push"));
        server.disconnectClient();
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
        QVERIFY(server.waitForDisconnects(1));
        QCOMPARE(server.openConnections(), 0);
        QVERIFY(!server.send("x"));
    }
};

QTEST_GUILESS_MAIN(TestHelpers)
#include "tst_testhelpers.moc"
