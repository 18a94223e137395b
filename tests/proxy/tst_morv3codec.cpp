#include "proxy/morv3decoder.h"
#include "proxy/morv3frame.h"

#include <QtConcurrent>
#include <QtTest>

#include <set>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Feeds bytes and collects every completed frame with its raw bytes.
struct Collected
{
    QList<Morv3Frame> frames;
    QList<QByteArray> raws;
};

Collected feedAll(Morv3Decoder &decoder, const QByteArray &bytes)
{
    Collected out;
    for (char c : bytes) {
        if (decoder.feed(quint8(c))) {
            out.frames.append(decoder.frame());
            out.raws.append(decoder.raw());
            decoder.clear();
        }
    }
    return out;
}

} // namespace

class TestMorv3Codec : public QObject
{
    Q_OBJECT
private slots:
    void crcCheckValues()
    {
        QCOMPARE(Morv3Frame::crc8(QByteArray()), quint8(0xFF));
        QCOMPARE(Morv3Frame::crc8(QByteArrayLiteral("123456789")), quint8(0xF7));
        QCOMPARE(Morv3Frame::crc8(hex("e0c2e0")), quint8(0xA7));
    }

    void encodesAcknowledgementAndDescribesIt()
    {
        Morv3Frame record;
        const QByteArray wire = Morv3Frame::encodeFrameWithId(0xE0, hex("c2e0"), &record);
        QCOMPARE(wire, hex("fe0200e0c2e0a7"));
        QCOMPARE(record.id, quint8(0xE0));
        QCOMPARE(record.length, quint16(2));
        QCOMPARE(record.data, hex("c2e0"));
        QCOMPARE(record.crc, hex("a7"));
        QCOMPARE(Morv3Frame::describe(record),
                 QStringLiteral("id = E0, data = [C2 E0 (2 bytes)], crc = A7 (1 bytes)"));

        Morv3Frame small;
        small.id = 0x05;
        QCOMPARE(Morv3Frame::describe(small), QStringLiteral("id = 05, data = [ (0 bytes)], crc =  (0 bytes)"));
    }

    void longPayloadLengthBytesAndRoundTrip()
    {
        QByteArray payload;
        for (int i = 0; i < 200; ++i)
            payload.append(char(i));   // includes 0x7F, no 0xFD/0xFE below 200
        Morv3Frame record;
        const QByteArray wire = Morv3Frame::encodeFrameWithId(0x11, payload, &record);
        QCOMPARE(quint8(wire.at(0)), quint8(0xFE));
        QCOMPARE(quint8(wire.at(1)), quint8(0x48));
        QCOMPARE(quint8(wire.at(2)), quint8(0x01));

        for (auto side : {Morv3Decoder::DeviceSide, Morv3Decoder::ApplicationSide}) {
            Morv3Decoder decoder(side);
            const Collected got = feedAll(decoder, wire);
            QCOMPARE(got.frames.size(), 1);
            QCOMPARE(got.frames[0].length, quint16(200));
            QCOMPARE(got.frames[0].id, quint8(0x11));
            QCOMPARE(got.frames[0].data, payload);
            QCOMPARE(got.frames[0].crc, record.crc);
            QCOMPARE(got.raws[0], wire);
        }
    }

    void escapesPayloadAndCrcButNotLength()
    {
        // Length 0xFE bytes: LEN low 0x7E, LEN high 0x01, never escaped.
        const QByteArray payload(0xFE, char(0xFD));
        const QByteArray wire = Morv3Frame::encodeFrameWithId(0x01, payload);
        QCOMPARE(wire.left(4), hex("fe7e0101"));
        QCOMPARE(wire.mid(4, 4), hex("fdedfded"));

        QCOMPARE(Morv3Frame::escape(hex("01fefd02")), hex("01fdeefded02"));

        // Find a payload whose CRC is 0xFE and one whose CRC is 0xFD.
        for (quint8 wanted : {quint8(0xFE), quint8(0xFD)}) {
            QByteArray found;
            for (int b = 0; b < 256 && found.isNull(); ++b) {
                const QByteArray candidate(1, char(b));
                if (Morv3Frame::crc8(QByteArray(1, char(0x20)) + candidate) == wanted)
                    found = candidate;
            }
            QVERIFY(!found.isNull());
            Morv3Frame record;
            const QByteArray frame = Morv3Frame::encodeFrameWithId(0x20, found, &record);
            QCOMPARE(record.crc, QByteArray(1, char(wanted)));
            QCOMPARE(frame.right(2), wanted == 0xFE ? hex("fdee") : hex("fded"));

            Morv3Decoder device(Morv3Decoder::DeviceSide);
            Collected got = feedAll(device, frame);
            QCOMPARE(got.frames.size(), 1);
            QCOMPARE(got.frames[0].crc, QByteArray(1, char(wanted)));

            Morv3Decoder app(Morv3Decoder::ApplicationSide);
            got = feedAll(app, frame);
            QCOMPARE(got.frames.size(), 1);
            QCOMPARE(got.frames[0].crc, frame.right(2));
            QCOMPARE(got.raws[0], frame);
        }
    }

    void decodesEscapedDataOnEachSide()
    {
        const QByteArray payload = hex("a6fefd00");
        Morv3Frame record;
        const QByteArray wire = Morv3Frame::encodeFrameWithId(0xF0, payload, &record);
        QCOMPARE(wire.left(3), hex("fe0400"));

        Morv3Decoder device(Morv3Decoder::DeviceSide);
        Collected got = feedAll(device, wire);
        QCOMPARE(got.frames.size(), 1);
        QCOMPARE(got.frames[0].id, quint8(0xF0));
        QCOMPARE(got.frames[0].data, payload);
        QCOMPARE(got.frames[0].length, quint16(6));   // 4 plus two escape bytes
        QCOMPARE(got.frames[0].crc, record.crc);
        QCOMPARE(got.raws[0], wire);

        Morv3Decoder app(Morv3Decoder::ApplicationSide);
        got = feedAll(app, wire);
        QCOMPARE(got.frames.size(), 1);
        QCOMPARE(got.frames[0].data, hex("a6fdeefded00"));
        QCOMPARE(got.raws[0], wire);
    }

    void deviceSideKeepsByteAfterLoneEscape()
    {
        // 0xFD followed by 0x41 yields 0x41: length 2 plus one escape.
        Morv3Decoder device(Morv3Decoder::DeviceSide);
        const Collected got = feedAll(device, hex("fe020005fd414299"));
        QCOMPARE(got.frames.size(), 1);
        QCOMPARE(got.frames[0].data, hex("4142"));
        QCOMPARE(got.frames[0].crc, hex("99"));
    }

    void strayBytesDroppedAndWrongCrcKept()
    {
        const QByteArray first = Morv3Frame::encodeFrameWithId(0x03, hex("0102"));
        QByteArray second = Morv3Frame::encodeFrameWithId(0x04, hex("0304"));
        second[second.size() - 1] = char(quint8(second.back()) ^ 0x5A);   // wrong CRC

        for (auto side : {Morv3Decoder::DeviceSide, Morv3Decoder::ApplicationSide}) {
            Morv3Decoder decoder(side);
            const Collected got = feedAll(decoder, hex("0011") + first + hex("55aa00") + second + hex("77"));
            QCOMPARE(got.frames.size(), 2);
            QCOMPARE(got.raws[0], first);
            QCOMPARE(got.raws[1], second);
            QCOMPARE(got.frames[1].id, quint8(0x04));
            QCOMPARE(got.frames[1].data, hex("0304"));
            QCOMPARE(got.frames[1].crc, second.right(1));
            QCOMPARE(decoder.frame().state, 0);
        }
    }

    void emptyFrameEndsAtItsCrc()
    {
        const QByteArray empty = Morv3Frame::encodeFrameWithId(0x07, QByteArray());
        QCOMPARE(empty.size(), 5);
        const QByteArray next = Morv3Frame::encodeFrameWithId(0x08, hex("09"));
        for (auto side : {Morv3Decoder::DeviceSide, Morv3Decoder::ApplicationSide}) {
            Morv3Decoder decoder(side);
            const Collected got = feedAll(decoder, empty + next);
            QCOMPARE(got.frames.size(), 2);
            QCOMPARE(got.raws[0], empty);
            QVERIFY(got.frames[0].data.isEmpty());
            QCOMPARE(got.frames[0].crc, QByteArray(1, char(Morv3Frame::crc8(hex("07")))));
            QCOMPARE(got.raws[1], next);
        }
    }

    // Each case: bytes in, then per side the outcomes in order ("C" frame
    // with good CRC, "B" frame with bad CRC, "I" broken frame given up) and
    // the raw bytes of every complete frame.
    void framing_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("outcomes");
        QTest::addColumn<QList<QByteArray>>("frames");

        const QByteArray a = Morv3Frame::encodeFrameWithId(0x03, hex("0102"));
        const QByteArray b = Morv3Frame::encodeFrameWithId(0xF0, hex("a600da11"));
        QByteArray badCrc = b;
        badCrc[badCrc.size() - 1] = char(quint8(badCrc.back()) ^ 0x5A);
        QByteArray lost = a;
        lost.remove(4, 1);   // one data byte lost on the line

        QTest::newRow("tiny") << hex("fe") << QString() << QList<QByteArray>();
        QTest::newRow("short") << a.left(a.size() - 1) << QString() << QList<QByteArray>();
        QTest::newRow("complete-and-short") << a + b.left(4) << QStringLiteral("C") << QList<QByteArray>{a};
        QTest::newRow("garbage-before") << hex("0011ff55") + a << QStringLiteral("C") << QList<QByteArray>{a};
        QTest::newRow("bad CRC") << badCrc + a << QStringLiteral("BC") << QList<QByteArray>{badCrc, a};
        QTest::newRow("lost byte") << lost + b << QStringLiteral("IC") << QList<QByteArray>{b};
        QTest::newRow("0xFE inside data") << hex("fe030001aafe") + a.mid(1) << QStringLiteral("IC")
                                          << QList<QByteArray>{a};
        QTest::newRow("0xFE as CRC") << a.left(a.size() - 1) + a << QStringLiteral("IC") << QList<QByteArray>{a};
        // LEN bytes are never escaped: 0xFE there is a length byte.
        QTest::newRow("0xFE in LEN") << hex("fefe00") << QString() << QList<QByteArray>();
        // A garbled length is cut short by the next frame's start byte.
        QTest::newRow("garbled length") << hex("fe7fff03") + hex("0102") + a << QStringLiteral("IC")
                                        << QList<QByteArray>{a};
        // Escaped data, and a CRC that is 0xFE or 0xFD itself, still check.
        for (char crc : {char(0xFE), char(0xFD)}) {
            for (int i = 0; i < 256; ++i) {
                const QByteArray data = hex("fefd") + char(i);
                if (char(Morv3Frame::crc8(hex("20") + data)) == crc) {
                    const QByteArray wire = Morv3Frame::encodeFrameWithId(0x20, data);
                    QTest::addRow("escaped CRC %02x", quint8(crc))
                        << wire << QStringLiteral("C") << QList<QByteArray>{wire};
                    break;
                }
            }
        }
    }

    void framing()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, outcomes);
        QFETCH(QList<QByteArray>, frames);
        for (auto side : {Morv3Decoder::DeviceSide, Morv3Decoder::ApplicationSide}) {
            Morv3Decoder decoder(side);
            QString seen;
            QList<QByteArray> raws;
            for (char c : input) {
                switch (decoder.step(quint8(c))) {
                case Morv3Decoder::Outcome::NeedMore:
                    break;
                case Morv3Decoder::Outcome::Complete:
                    seen += decoder.crcMatches() ? QLatin1Char('C') : QLatin1Char('B');
                    raws.append(decoder.raw());
                    decoder.clear();
                    break;
                case Morv3Decoder::Outcome::Invalid:
                    seen += QLatin1Char('I');   // broken() and raw() are checked by the fuzz target
                    break;
                }
            }
            QCOMPARE(seen, outcomes);
            QCOMPARE(raws, frames);
        }
    }

    // Wire bytes written out by hand (CRC-8 worked out apart from the
    // encoder), so that an encoder and decoder wrong the same way fail.
    void goldenFrames_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("crc");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QByteArray>("appData");
        QTest::addColumn<QByteArray>("appCrc");
        const auto row = [](const char *name, int id, const char *payload, int crc, const char *wire,
                            const char *appData, const char *appCrc) {
            QTest::newRow(name) << id << hex(payload) << crc << hex(wire) << hex(appData) << hex(appCrc);
        };
        row("plain", 0x03, "0102", 0x17, "fe020003010217", "0102", "17");
        row("OFD marker in data", 0xF0, "a600da11", 0xB5, "fe0400f0a600da11b5", "a600da11", "b5");
        row("acknowledgement", 0xE0, "c2e0", 0xA7, "fe0200e0c2e0a7", "c2e0", "a7");
        row("escaped data", 0xF0, "a6fefd00", 0xB8, "fe0400f0a6fdeefded00b8", "a6fdeefded00", "b8");
        row("CRC 0xFE", 0x20, "fefd41", 0xFE, "fe030020fdeefded41fdee", "fdeefded41", "fdee");
        row("CRC 0xFD", 0x20, "fefd1d", 0xFD, "fe030020fdeefded1dfded", "fdeefded1d", "fded");
        row("empty", 0x07, "", 0x3B, "fe0000073b", "", "3b");
        row("ID 0xFE", 0xFE, "01", 0xC5, "fe0100fdee01c5", "01", "c5");
        row("ID 0xFD", 0xFD, "01", 0xE8, "fe0100fded01e8", "01", "e8");
    }

    void goldenFrames()
    {
        QFETCH(int, id);
        QFETCH(QByteArray, payload);
        QFETCH(int, crc);
        QFETCH(QByteArray, wire);
        QFETCH(QByteArray, appData);
        QFETCH(QByteArray, appCrc);
        QCOMPARE(Morv3Frame::encodeFrameWithId(quint8(id), payload), wire);
        for (auto side : {Morv3Decoder::DeviceSide, Morv3Decoder::ApplicationSide}) {
            Morv3Decoder decoder(side);
            const Collected got = feedAll(decoder, wire);
            QCOMPARE(got.raws, QList<QByteArray>{wire});
            const bool device = side == Morv3Decoder::DeviceSide;
            QCOMPARE(int(got.frames[0].id), id);
            QCOMPARE(got.frames[0].data, device ? payload : appData);
            QCOMPARE(got.frames[0].crc, device ? QByteArray(1, char(crc)) : appCrc);
        }
    }

    void frameIdentifiersCycle()
    {
        // Whatever earlier code took, six frames in a row repeat the first id.
        QList<quint8> ids;
        for (int i = 0; i < 6; ++i) {
            Morv3Frame record;
            const QByteArray wire = Morv3Frame::encodeFrame(hex("c3e5"), &record);
            QCOMPARE(quint8(wire.at(3)), record.id);
            ids.append(record.id);
        }
        for (quint8 id : ids)
            QVERIFY(id >= 0xE0 && id <= 0xE4);
        for (int i = 1; i < 5; ++i)
            QCOMPARE(ids[i], quint8(ids[i - 1] == 0xE4 ? 0xE0 : ids[i - 1] + 1));
        QCOMPARE(ids[5], ids[0]);

        const quint8 task = Morv3Frame::nextTaskId();
        QVERIFY(task >= 0xE0 && task <= 0xE4);
        QCOMPARE(Morv3Frame::nextTaskId(), quint8(task == 0xE4 ? 0xE0 : task + 1));
    }

    void counterSafeAcrossThreads()
    {
        // 4 threads x 1000 ids: every value keeps its share, none escapes.
        QList<QFuture<QList<int>>> futures;
        for (int t = 0; t < 4; ++t) {
            futures.append(QtConcurrent::run([] {
                QList<int> counts(256, 0);
                for (int i = 0; i < 1000; ++i)
                    ++counts[Morv3Frame::nextFrameId()];
                return counts;
            }));
        }
        QList<int> total(256, 0);
        for (auto &f : futures) {
            const QList<int> counts = f.result();
            for (int i = 0; i < 256; ++i)
                total[i] += counts[i];
        }
        for (int id = 0xE0; id <= 0xE4; ++id)
            QCOMPARE(total[id], 800);
    }
};

QTEST_GUILESS_MAIN(TestMorv3Codec)
#include "tst_morv3codec.moc"
