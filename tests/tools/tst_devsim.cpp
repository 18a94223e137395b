#include "devsim/configcheck.h"
#include "devsim/demodocument.h"
#include "devsim/echorounds.h"
#include "devsim/democonfig.h"
#include "devsim/morv2port.h"
#include "devsim/morv3device.h"
#include "devsim/ofdstandin.h"
#include "devsim/poscommand.h"
#include "devsim/ptyend.h"
#include "devsim/runsummary.h"
#include "devsim/tlvdevice.h"
#include "ofd/tlvdecoder.h"
#include "proxy/morv2frame.h"
#include "proxy/morv3decoder.h"
#include "core/settings.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The service's side of a pseudo-terminal, played by the test.
struct ServiceSide
{
    int fd = -1;
    QByteArray got;

    explicit ServiceSide(const QString &path)
    {
        fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            termios raw = {};
            ::tcgetattr(fd, &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(fd, TCSANOW, &raw);
        }
    }
    ~ServiceSide()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void pump()
    {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            got.append(buf, n);
    }
    bool has(qsizetype count)
    {
        pump();
        return got.size() >= count;
    }
    QByteArray take(qsizetype count)
    {
        const QByteArray out = got.left(count);
        got.remove(0, count);
        return out;
    }
    void write(const QByteArray &bytes) { QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size())); }
};

struct Tlv
{
    quint8 tag;
    QByteArray value;
};

QList<Tlv> splitTlv(const QList<QList<QVariant>> &sends)
{
    TlvDecoder decoder;
    for (const auto &args : sends)
        decoder.feed(args.at(0).toByteArray());
    QList<Tlv> out;
    for (TlvCodec::Result r = decoder.next(); r.outcome == TlvCodec::Outcome::Complete; r = decoder.next())
        out.append({r.frame.tag, r.frame.value});
    return out;
}

QList<Morv3Frame> decodeFrames(const QByteArray &bytes)
{
    Morv3Decoder decoder(Morv3Decoder::DeviceSide);
    QList<Morv3Frame> out;
    for (char b : bytes) {
        if (decoder.feed(quint8(b))) {
            out.append(decoder.frame());
            decoder.clear();
        }
    }
    return out;
}

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

} // namespace

class TestDevsim : public QObject
{
    Q_OBJECT
private slots:
    void documentsAndRepliesDependOnEveryByte()
    {
        const QByteArray doc = DemoDocument::make(1, 500);
        QCOMPARE(doc.size(), 512);
        QCOMPARE(DemoDocument::documentSize(doc.left(11)), 0);
        QCOMPARE(DemoDocument::documentSize(doc.left(12)), 512);
        QCOMPARE(DemoDocument::documentSize(QByteArray("XIVD")), -1);
        QCOMPARE(DemoDocument::replySize(doc), -1);

        const QByteArray reply = DemoDocument::replyFor(doc);
        QCOMPARE(DemoDocument::replySize(reply), reply.size());
        QCOMPARE(DemoDocument::replyFor(doc), reply);

        QByteArray damaged = doc;
        damaged[300] = char(damaged.at(300) ^ 0x01);
        QVERIFY(DemoDocument::replyFor(damaged) != reply);

        QSet<qsizetype> sizes;
        for (quint32 seq = 1; seq <= 5; ++seq)
            sizes.insert(DemoDocument::replyFor(DemoDocument::make(seq, DemoDocument::payloadSizeFor(seq))).size());
        QVERIFY2(sizes.size() > 1, "replies should differ in size so grants get exercised");
    }

    void standInServerAnswersEachDocument()
    {
        OfdStandIn server;
        QVERIFY(server.listen(0));

        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(socket.waitForConnected(10000));
        const QByteArray first = DemoDocument::make(7, 900);
        const QByteArray second = DemoDocument::make(8, 30);
        // In pieces, and the second document right behind the first.
        socket.write(first.left(5));
        socket.flush();
        QTRY_COMPARE_WITH_TIMEOUT(server.bytesIn(), 5, 10000);
        socket.write(first.mid(5) + second);
        const QByteArray expected = DemoDocument::replyFor(first) + DemoDocument::replyFor(second);
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += socket.readAll(), got.size() >= expected.size()), 10000);
        QCOMPARE(got, expected);
        QCOMPARE(server.documentsServed(), 2);

        QTcpSocket stranger;
        stranger.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(stranger.waitForConnected(10000));
        stranger.write("GET / HTTP/1.0\r\n\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(stranger.state(), QAbstractSocket::UnconnectedState, 10000);
        QCOMPARE(server.rejected(), 1);

        OfdStandIn second_server;
        QVERIFY(!second_server.listen(server.port()));
        QVERIFY(!second_server.errorString().isEmpty());
    }

    void tlvDeviceCarriesDocumentsThroughGrants()
    {
        TlvDevice::Options options;
        options.port = 5555;
        options.documents = 2;
        options.gapMs = 0;
        options.closeWaitMs = 60000;
        TlvDevice device(options);
        QSignalSpy sends(&device, &TlvDevice::send);
        QSignalSpy done(&device, &TlvDevice::documentFinished);
        QSignalSpy finished(&device, &TlvDevice::finished);

        device.receive(TlvCodec::encode(TlvCodec::RxRequestVersion));
        QVERIFY(device.linkUp());
        QTRY_VERIFY_WITH_TIMEOUT(splitTlv(sends).size() >= 5, 5000);
        QList<Tlv> out = splitTlv(sends);
        QCOMPARE(out.at(0).tag, quint8(TlvCodec::TxResponseVersion));
        QCOMPARE(out.at(0).value, bytes({0x02}));
        QCOMPARE(out.at(1).tag, quint8(TlvCodec::TxRequestVersion));
        QCOMPARE(out.at(2).tag, quint8(TlvCodec::TxLog));
        QCOMPARE(out.at(3).tag, quint8(TlvCodec::TxPort0));
        QCOMPARE(out.at(3).value, bytes({0xB3, 0x15}));
        QCOMPARE(out.at(4).tag, quint8(TlvCodec::TxConnect0));
        QCOMPARE(out.at(4).value, QByteArray("127.0.0.1", 10));

        for (int round = 1; round <= 2; ++round) {
            sends.clear();
            // The connection report arrives split in two.
            const QByteArray connected = TlvCodec::encode(TlvCodec::RxConnectState0, bytes({0x01}));
            device.receive(connected.left(1));
            device.receive(connected.mid(1));
            out = splitTlv(sends);
            QByteArray document;
            int grant = 0;
            for (const Tlv &t : out) {
                if (t.tag == TlvCodec::TxData0) {
                    QVERIFY(t.value.size() <= 255);
                    document += t.value;
                } else if (t.tag == TlvCodec::TxPacketSize0) {
                    grant = quint8(t.value.at(0));
                }
            }
            QCOMPARE(document, DemoDocument::make(round, DemoDocument::payloadSizeFor(round)));
            QVERIFY(grant >= 64 && grant <= 255);

            QByteArray reply = DemoDocument::replyFor(document);
            if (round == 2)
                reply[reply.size() - 1] = char(reply.at(reply.size() - 1) ^ 0x40);
            qsizetype at = 0;
            while (at < reply.size()) {
                QVERIFY2(grant > 0, "the device must grant again until the whole reply came");
                sends.clear();
                const QByteArray chunk = reply.mid(at, grant);
                at += chunk.size();
                device.receive(TlvCodec::encode(TlvCodec::RxData0, chunk));
                grant = 0;
                for (const Tlv &t : splitTlv(sends)) {
                    if (t.tag == TlvCodec::TxPacketSize0)
                        grant = quint8(t.value.at(0));
                }
            }
            QCOMPARE(done.size(), round);
            const auto result = done.last().at(0).value<TlvDevice::DocumentResult>();
            QCOMPARE(result.intact, round == 1);
            QVERIFY(result.sent);
            QCOMPARE(result.replyBytes, reply.size());
            out = splitTlv(sends);
            QVERIFY(!out.isEmpty());
            QCOMPARE(out.last().tag, quint8(TlvCodec::TxConnect0Close));
            QVERIFY(!finished.size());

            // The next document waits for the channel's closing report.
            sends.clear();
            device.receive(TlvCodec::encode(TlvCodec::RxConnectState0, bytes({0x00})));
            if (round == 1)
                QTRY_VERIFY_WITH_TIMEOUT(!splitTlv(sends).isEmpty() && splitTlv(sends).last().tag == TlvCodec::TxConnect0, 5000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
        QCOMPARE(device.grantViolations(), 0);

        // Version requests are answered at any time.
        sends.clear();
        device.receive(TlvCodec::encode(TlvCodec::RxRequestVersion));
        QCOMPARE(splitTlv(sends).size(), 1);
        QCOMPARE(device.versionRequests(), 2);
    }

    void tlvDeviceReportsFailuresAndOversizedChunks()
    {
        TlvDevice::Options options;
        options.port = 1;
        options.documents = 2;
        options.gapMs = 0;
        options.closeWaitMs = 100;
        TlvDevice device(options);
        QSignalSpy done(&device, &TlvDevice::documentFinished);
        QSignalSpy sends(&device, &TlvDevice::send);
        device.receive(TlvCodec::encode(TlvCodec::RxRequestVersion));
        QTRY_VERIFY_WITH_TIMEOUT(!sends.isEmpty() && splitTlv(sends).last().tag == TlvCodec::TxConnect0, 5000);

        // First document: the server cannot be reached.
        device.receive(TlvCodec::encode(TlvCodec::RxConnectState0, bytes({0x00})));
        QCOMPARE(done.size(), 1);
        QVERIFY(!done.last().at(0).value<TlvDevice::DocumentResult>().sent);

        // Second: connected, then a chunk beyond the grant, then the loss.
        sends.clear();
        QTRY_VERIFY_WITH_TIMEOUT(!sends.isEmpty() && splitTlv(sends).last().tag == TlvCodec::TxConnect0, 5000);
        device.receive(TlvCodec::encode(TlvCodec::RxConnectState0, bytes({0x01})));
        device.receive(TlvCodec::encode(TlvCodec::RxData0, QByteArray("KIVR") + QByteArray(200, 'x')));
        QCOMPARE(device.grantViolations(), 1);
        device.receive(TlvCodec::encode(TlvCodec::RxConnectState0, bytes({0x00})));
        QCOMPARE(done.size(), 2);
        const auto result = done.last().at(0).value<TlvDevice::DocumentResult>();
        QVERIFY(result.sent);
        QVERIFY(!result.intact);
        QVERIFY(result.failure.contains(QStringLiteral("lost")));
    }

    void morv3DeviceAnswersTheServiceAndUsesItsListeningTask()
    {
        PtyEnd line;
        QVERIFY(line.open());
        Morv3Device device(&line);
        QSignalSpy contact(&device, &DeviceEnd::contact);
        QSignalSpy ofd(&device, &DeviceEnd::ofdReceived);
        ServiceSide service(line.slavePath());
        QVERIFY(service.fd >= 0);

        // The service's start-up: seven acknowledgements, an abort, a listening task.
        QByteArray startup;
        for (int t = 0xE0; t <= 0xE6; ++t)
            startup += Morv3Frame::encodeFrameWithId(quint8(0xE0 + (t - 0xE0) % 5), bytes({0xC2, t}));
        startup += Morv3Frame::encodeFrameWithId(0xE2, bytes({0xC4}));
        startup += Morv3Frame::encodeFrameWithId(0xE3, bytes({0xC1, 0x05, 0xE5}));
        service.write(startup);
        QList<Morv3Frame> answers;
        QTRY_VERIFY_WITH_TIMEOUT((service.pump(), answers = decodeFrames(service.got), answers.size() >= 9), 5000);
        service.got.clear();
        QCOMPARE(answers.size(), 9);
        QCOMPARE(answers.at(7).id, quint8(0xE2));
        QCOMPARE(answers.at(7).data, bytes({0xA4})); // nothing was listening yet
        QCOMPARE(contact.size(), 1);
        QCOMPARE(device.startups(), 1);
        QCOMPARE(device.listeningTask(), quint8(0xE5));

        // OFD traffic goes out through the listening task, one message per opening.
        QByteArray tlv(700, '\0');
        for (int i = 0; i < tlv.size(); ++i)
            tlv[i] = char(0xF8 + i % 8); // 0xFD and 0xFE included
        device.sendOfd(tlv);
        QTRY_VERIFY_WITH_TIMEOUT((service.pump(), decodeFrames(service.got).size() == 1), 5000);
        Morv3Frame async = decodeFrames(service.got).first();
        service.got.clear();
        QCOMPARE(async.id, quint8(0xF0));
        QCOMPARE(async.data.left(3), bytes({0xA6, 0xE5, 0xDA}));
        QByteArray carried = async.data.mid(3);
        QCOMPARE(device.listeningTask(), Morv3Device::kNoTask);

        service.write(Morv3Frame::encodeFrameWithId(0xE4, bytes({0xC2, 0xE5}))
                      + Morv3Frame::encodeFrameWithId(0xE0, bytes({0xC1, 0x05, 0xE6})));
        QTRY_VERIFY_WITH_TIMEOUT((service.pump(), decodeFrames(service.got).size() == 3), 5000);
        async = decodeFrames(service.got).last();
        service.got.clear();
        QCOMPARE(async.data.left(2), bytes({0xA3, 0xDA}));
        carried += async.data.mid(2);
        QCOMPARE(carried, tlv);

        // An OFD answer, a poll of a known and of an unknown task, an
        // application command and a frame with a bad CRC.
        service.write(Morv3Frame::encodeFrameWithId(0xE1, bytes({0xC1, 0x00, 0xE0, 0x00, 0x00, 0xDA, 0x01, 0x00})));
        QByteArray polls = Morv3Frame::encodeFrameWithId(0xE2, bytes({0xC3, 0xE6}));
        polls += Morv3Frame::encodeFrameWithId(0xE3, bytes({0xC3, 0xE1}));
        service.write(polls);
        const QByteArray command = PosCommand::request(4);
        service.write(Morv3Frame::encodeFrameWithId(0x05, command));
        QByteArray broken = Morv3Frame::encodeFrameWithId(0x06, command);
        broken[broken.size() - 1] = char(broken.at(broken.size() - 1) ^ 0x01);
        if (quint8(broken.at(broken.size() - 1)) >= 0xFC) // keep the broken CRC a plain byte
            broken[broken.size() - 1] = 0x11;
        service.write(broken);
        QTRY_VERIFY_WITH_TIMEOUT((service.pump(), decodeFrames(service.got).size() >= 4), 5000);
        answers = decodeFrames(service.got);
        QCOMPARE(answers.size(), 4);
        QCOMPARE(ofd.size(), 1);
        QCOMPARE(ofd.at(0).at(0).toByteArray(), bytes({0x01, 0x00}));
        QCOMPARE(answers.at(0).id, quint8(0xE1));
        QCOMPARE(answers.at(1).data, bytes({0xB1, 0xE6})); // just used: still known
        QCOMPARE(answers.at(2).data, bytes({0xB3, 0xE1}));
        QCOMPARE(answers.at(3).id, quint8(0x05));
        QCOMPARE(answers.at(3).data, PosCommand::answer(command));
        QCOMPARE(device.commandsAnswered(), 1);
        QCOMPARE(device.badFrames(), 1);
    }

    void morv2LinkSpeaksEnqAckAndGivesWay()
    {
        PtyEnd line;
        QVERIFY(line.open());
        Morv2Port link(&line);
        QSignalSpy received(&link, &Morv2Port::frameReceived);
        ServiceSide peer(line.slavePath());
        QVERIFY(peer.fd >= 0);
        const char ENQ = Morv2Frame::ENQ, ACK = Morv2Frame::ACK, EOT = Morv2Frame::EOT, NAK = Morv2Frame::NAK;
        const QByteArray data = bytes({0x1E, 0x00, 0xDA, 0x03, 0x10, 0x02, 0x01});

        // The peer sends; its first transmission has a wrong check byte.
        peer.write(QByteArray(1, ENQ));
        QTRY_VERIFY_WITH_TIMEOUT(peer.has(1), 5000);
        QCOMPARE(peer.take(1), QByteArray(1, ACK));
        QByteArray bad = Morv2Frame::build(data);
        bad[bad.size() - 1] = char(bad.at(bad.size() - 1) ^ 0x7F);
        peer.write(bad);
        QTRY_VERIFY_WITH_TIMEOUT(peer.has(1), 5000);
        QCOMPARE(peer.take(1), QByteArray(1, NAK));
        peer.write(Morv2Frame::build(data));
        QTRY_VERIFY_WITH_TIMEOUT(peer.has(1), 5000);
        QCOMPARE(peer.take(1), QByteArray(1, ACK));
        peer.write(QByteArray(1, EOT));
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, 5000);
        QCOMPARE(received.at(0).at(0).toByteArray(), data);
        QCOMPARE(link.badChecks(), 1);

        // We send.
        link.send(data);
        QTRY_VERIFY_WITH_TIMEOUT(peer.has(1), 5000);
        QCOMPARE(peer.take(1), QByteArray(1, ENQ));
        peer.write(QByteArray(1, ACK));
        const QByteArray wire = Morv2Frame::build(data);
        QTRY_VERIFY_WITH_TIMEOUT(peer.has(wire.size()), 5000);
        QCOMPARE(peer.take(wire.size()), wire);
        peer.write(QByteArray(1, ACK));
        QTRY_VERIFY_WITH_TIMEOUT(peer.has(1), 5000);
        QCOMPARE(peer.take(1), QByteArray(1, EOT));
        QTRY_COMPARE_WITH_TIMEOUT(link.framesSent(), 1, 5000);

        // Both want to send: we give way, take the peer's frame, then send ours.
        const QByteArray mine = bytes({0x30, 0x00, 0x01});
        const QByteArray theirs = bytes({0x1E, 0x00, 0x30, 0x01});
        link.send(mine);
        QTRY_VERIFY_WITH_TIMEOUT(peer.has(1), 5000);
        QCOMPARE(peer.take(1), QByteArray(1, ENQ));
        peer.write(QByteArray(1, ENQ)); // conflict
        peer.write(QByteArray(1, ENQ)); // the peer's retry
        QTRY_VERIFY_WITH_TIMEOUT(peer.has(1), 5000);
        QCOMPARE(peer.take(1), QByteArray(1, ACK));
        peer.write(Morv2Frame::build(theirs));
        QTRY_VERIFY_WITH_TIMEOUT(peer.has(1), 5000);
        QCOMPARE(peer.take(1), QByteArray(1, ACK));
        peer.write(QByteArray(1, EOT));
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 2, 5000);
        QCOMPARE(received.at(1).at(0).toByteArray(), theirs);
        QCOMPARE(link.conflicts(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(peer.has(1), 10000);
        QCOMPARE(peer.take(1), QByteArray(1, ENQ));
        peer.write(QByteArray(1, ACK));
        QTRY_VERIFY_WITH_TIMEOUT(peer.has(Morv2Frame::build(mine).size()), 5000);
        QCOMPARE(peer.take(Morv2Frame::build(mine).size()), Morv2Frame::build(mine));
        peer.write(QByteArray(1, ACK));
        QTRY_COMPARE_WITH_TIMEOUT(link.framesSent(), 2, 5000);
        QCOMPARE(link.framesDropped(), 0);
    }

    void echoRoundsTimeTheServiceAndDirectTcpUnderAStandingGrant()
    {
        // A loopback echo server for the direct leg; the test plays the service.
        QTcpServer echo;
        QVERIFY(echo.listen(QHostAddress::LocalHost));
        connect(&echo, &QTcpServer::newConnection, &echo, [&echo] {
            QTcpSocket *peer = echo.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, peer, [peer] { peer->write(peer->readAll()); });
        });
        EchoRounds::Options options;
        options.port = echo.serverPort();
        options.rounds = 2;
        options.size = 64;
        EchoRounds rounds(options);
        QSignalSpy sends(&rounds, &EchoRounds::send);
        QSignalSpy taken(&rounds, &EchoRounds::sampleTaken);
        QSignalSpy finished(&rounds, &EchoRounds::finished);
        auto lastTag = [](const QSignalSpy &spy) {
            const QList<Tlv> out = splitTlv(spy);
            return out.isEmpty() ? -1 : int(out.last().tag);
        };

        rounds.receive(TlvCodec::encode(TlvCodec::RxRequestVersion));
        QList<Tlv> out = splitTlv(sends);
        QCOMPARE(out.size(), 3);
        QCOMPARE(out.at(0).tag, quint8(TlvCodec::TxResponseVersion));
        QCOMPARE(out.at(1).value, bytes({echo.serverPort() & 0xFF, echo.serverPort() >> 8}));
        QCOMPARE(out.at(2).value, QByteArray("127.0.0.1", 10));
        sends.clear();
        rounds.receive(TlvCodec::encode(TlvCodec::RxConnectState0, bytes({0x01})));
        QCOMPARE(splitTlv(sends).first().value, bytes({127}));

        for (int round = 1; round <= 2; ++round) {
            QTRY_COMPARE_WITH_TIMEOUT(lastTag(sends), int(TlvCodec::TxData0), 10000);
            const QByteArray payload = splitTlv(sends).last().value;
            QCOMPARE(payload, rounds.payload());
            QCOMPARE(payload.size(), 64);
            // The echo in two chunks: the grant is renewed after each.
            sends.clear();
            rounds.receive(TlvCodec::encode(TlvCodec::RxData0, payload.left(40)));
            QCOMPARE(lastTag(sends), int(TlvCodec::TxPacketSize0));
            QCOMPARE(taken.size(), round - 1);
            sends.clear();
            rounds.receive(TlvCodec::encode(TlvCodec::RxData0, payload.mid(40)));
            QCOMPARE(splitTlv(sends).size(), 1);
            QTRY_COMPARE_WITH_TIMEOUT(taken.size(), round, 10000); // after the direct leg
            const auto sample = taken.last().at(0).value<EchoRounds::Sample>();
            QCOMPARE(sample.round, round);
            QVERIFY(sample.serviceUs >= 0 && sample.directUs > 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        QVERIFY(rounds.ok());
        QCOMPARE(lastTag(sends), int(TlvCodec::TxConnect0Close));
        QVERIFY(rounds.summaryText().contains(QStringLiteral("Result: OK")));

        // An altered echo, and a chunk beyond the grant, fail the run.
        EchoRounds bad(options);
        QSignalSpy badSends(&bad, &EchoRounds::send);
        bad.receive(TlvCodec::encode(TlvCodec::RxRequestVersion));
        bad.receive(TlvCodec::encode(TlvCodec::RxConnectState0, bytes({0x01})));
        QTRY_COMPARE_WITH_TIMEOUT(lastTag(badSends), int(TlvCodec::TxData0), 10000);
        QByteArray altered = bad.payload();
        altered[5] = char(altered.at(5) ^ 0x01);
        bad.receive(TlvCodec::encode(TlvCodec::RxData0, altered + QByteArray(100, 'x')));
        QVERIFY(bad.done() && !bad.ok());
        QVERIFY(bad.failure().contains(QStringLiteral("altered")));
        QCOMPARE(bad.grantViolations(), 1);
        QVERIFY(bad.summaryText().contains(QStringLiteral("Result: FAILED")));
    }

    void summaryPassesOnlyACompleteIntactRun()
    {
        RunSummary summary;
        summary.documentsPlanned = 4;
        summary.commandsPlanned = 2;
        summary.commandsIntact = 2;
        for (int i = 1; i <= 4; ++i) {
            TlvDevice::DocumentResult r;
            r.sequence = quint32(i);
            r.sent = r.intact = true;
            r.bytesSent = 100 * i;
            r.replyBytes = 10 * i;
            r.roundTripMs = 40 - 10 * i; // 30, 20, 10, 0
            summary.documents.append(r);
        }
        QVERIFY(summary.success());
        QCOMPARE(summary.bytesToOfd(), 1000);
        QCOMPARE(summary.bytesFromOfd(), 100);
        QCOMPARE(summary.roundTrip(-1), 0);
        QCOMPARE(summary.roundTrip(0), 15);
        QCOMPARE(summary.roundTrip(1), 30);
        QVERIFY(summary.text().contains(QStringLiteral("Result: OK")));

        RunSummary damaged = summary;
        damaged.documents[2].intact = false;
        damaged.documents[2].failure = QStringLiteral("the reply arrived damaged");
        QVERIFY(!damaged.success());
        QCOMPARE(damaged.roundTrip(0), 20);
        QVERIFY(damaged.text().contains(QStringLiteral("document 3: the reply arrived damaged")));

        RunSummary shortRun = summary;
        shortRun.documents.removeLast();
        QVERIFY(!shortRun.success());
        RunSummary unanswered = summary;
        unanswered.commandsIntact = 1;
        QVERIFY(!unanswered.success());
        RunSummary aborted = summary;
        aborted.abortReason = QStringLiteral("interrupted");
        QVERIFY(!aborted.success());
        RunSummary garbled = summary;
        garbled.badFrames = 1;
        QVERIFY(!garbled.success());
    }

    void configurationIsWrittenForTheServiceAndChecked()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QStringList notes;
        QString error;
        QVERIFY(!ConfigCheck::check(dir.filePath(QStringLiteral("settings.xml")), &notes, &error));
        QVERIFY(error.contains(QStringLiteral("does not exist")));

        const auto writeFile = [&](const QByteArray &text) {
            QFile file(dir.filePath(QStringLiteral("settings.xml")));
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(text);
        };
        writeFile("<settings><logs><dir>" + dir.path().toUtf8() + "</dir></logs></settings>");
        notes.clear();
        QVERIFY(!ConfigCheck::check(dir.filePath(QStringLiteral("settings.xml")), &notes, &error));
        QVERIFY(error.contains(QStringLiteral("names no usable device")));

        writeFile("<settings><device type=\"dalv\"><id>a</id><dev><port>/nonexistent/ttyX</port></dev>"
                  "<app><port>/nonexistent/ttyY</port></app></device>\n<device");
        notes.clear();
        QVERIFY(!ConfigCheck::check(dir.filePath(QStringLiteral("settings.xml")), &notes, &error));
        QVERIFY2(error.contains(QStringLiteral(":2:")), qPrintable(error)); // the malformed line

        writeFile("<settings><hotplug>auto</hotplug><logs><dir>" + dir.path().toUtf8() + "</dir></logs></settings>");
        notes.clear();
        QVERIFY(ConfigCheck::check(dir.filePath(QStringLiteral("settings.xml")), &notes, &error));

        // What the simulator writes, as the service reads it.
        PtyEnd dev, app;
        QVERIFY(dev.open() && app.open());
        DemoConfig config;
        config.id = QStringLiteral("sim & co");
        config.protocol = 2;
        config.devPort = dev.slavePath();
        config.appPort = app.slavePath();
        config.logsDir = dir.filePath(QStringLiteral("logs"));
        QVERIFY(config.write(dir.filePath(QStringLiteral("settings.xml")), &error));
        const Settings settings = readSettingsFrom(dir.filePath(QStringLiteral("settings.xml")));
        QCOMPARE(settings.comDevices.size(), 1);
        QCOMPARE(settings.usbDevices.size(), 0);
        QVERIFY(!settings.hotplug);
        QCOMPARE(settings.comDevices.at(0).id, config.id);
        QCOMPARE(settings.comDevices.at(0).protocol, quint8(2));
        QCOMPARE(settings.comDevices.at(0).dev.port, dev.slavePath());
        QCOMPARE(settings.comDevices.at(0).app.port, app.slavePath());
        QCOMPARE(settings.logsDir, config.logsDir);
        notes.clear();
        QVERIFY(ConfigCheck::check(dir.filePath(QStringLiteral("settings.xml")), &notes, &error));
        QVERIFY(notes.join('\n').contains(QStringLiteral("protocol 2")));
    }
};

QTEST_GUILESS_MAIN(TestDevsim)
#include "tst_devsim.moc"
