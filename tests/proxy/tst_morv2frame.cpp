// Link-level framing of protocol 2, apart from any port.
#include "proxy/morv2frame.h"

#include <QtTest>

class TestMorv2Frame : public QObject
{
    Q_OBJECT
private slots:
    void stuffsOnlyEtxAndDle()
    {
        QCOMPARE(Morv2Frame::stuff(QByteArray::fromHex("0102030410050f11")),
                 QByteArray::fromHex("0102100304101005" "0f11"));
        QCOMPARE(Morv2Frame::stuff(QByteArray::fromHex("1010")), QByteArray::fromHex("10101010"));
    }

    void buildsFrameWithCheckOverStuffedBytes()
    {
        // 03 10 stuffed: 10 03 10 10, then ETX; XOR = 10.
        QCOMPARE(Morv2Frame::build(QByteArray::fromHex("0310")), QByteArray::fromHex("02100310100310"));
        // Check bytes equal to ETX and DLE go out as they are.
        QCOMPARE(Morv2Frame::build(QByteArray::fromHex("00")), QByteArray::fromHex("02000303"));
        QCOMPARE(Morv2Frame::build(QByteArray::fromHex("13")), QByteArray::fromHex("02130310"));
        QCOMPARE(Morv2Frame::build(QByteArray()), QByteArray::fromHex("020303"));
    }

    void parsesWhatItBuilds_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("plain") << QByteArray("hello");
        QTest::newRow("control bytes") << QByteArray::fromHex("02030410150503101003");
        QTest::newRow("check is ETX") << QByteArray::fromHex("00");
        QTest::newRow("check is DLE") << QByteArray::fromHex("13");
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QTest::newRow("all bytes") << all;
        QTest::newRow("limit of DLEs") << QByteArray(Morv2Frame::kMaxData, Morv2Frame::DLE);
    }
    void parsesWhatItBuilds()
    {
        QFETCH(QByteArray, data);
        QByteArray got;
        QVERIFY(Morv2Frame::parse(Morv2Frame::build(data), &got));
        QCOMPARE(got, data);
    }

    // Wire bytes written out by hand, so that a frame wrong both ways fails.
    void goldenFrames_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("wire");
        const auto hex = [](const char *text) { return QByteArray::fromHex(text); };
        QTest::newRow("plain") << QByteArray("hello") << hex("0268656c6c6f0361");
        QTest::newRow("control bytes") << hex("02030410150503101003")
                                       << hex("02" "02100304101015051003101010101003" "0306");
        QTest::newRow("check is ETX") << hex("00") << hex("02000303");
        QTest::newRow("check is DLE") << hex("13") << hex("02130310");
        QTest::newRow("empty") << QByteArray() << hex("020303");
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        // 0x03 and 0x10 stuffed; the whole range and the two DLEs cancel out.
        QTest::newRow("all bytes") << all << hex("02") + all.left(3) + hex("10") + all.mid(3, 13) + hex("10")
                                                 + all.mid(16) + hex("0303");
        QTest::newRow("limit of DLEs") << QByteArray(Morv2Frame::kMaxData, Morv2Frame::DLE)
                                       << hex("02") + QByteArray(2 * Morv2Frame::kMaxData, Morv2Frame::DLE)
                                              + hex("0303");
    }
    void goldenFrames()
    {
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, wire);
        QCOMPARE(Morv2Frame::build(data), wire);
        QByteArray got;
        QVERIFY(Morv2Frame::parse(wire, &got));
        QCOMPARE(got, data);
    }

    void refusesBadFrames()
    {
        QByteArray wire = Morv2Frame::build("abc");
        wire[wire.size() - 1] = char(wire.back() ^ 1);
        QVERIFY(!Morv2Frame::parse(wire, nullptr));
        QVERIFY(!Morv2Frame::parse(Morv2Frame::build("abc").mid(1), nullptr));   // no STX
        QVERIFY(!Morv2Frame::parse(Morv2Frame::build("abc").chopped(1), nullptr)); // no check byte
        QVERIFY(!Morv2Frame::parse(Morv2Frame::build("abc") + "x", nullptr));     // trailing byte
        QVERIFY(Morv2Frame::parse(Morv2Frame::build(QByteArray(Morv2Frame::kMaxData, 'x')), nullptr));
        QVERIFY(!Morv2Frame::parse(Morv2Frame::build(QByteArray(Morv2Frame::kMaxData + 1, 'x')), nullptr));
    }

    void feedReportsEndAndOverflow()
    {
        Morv2Frame frame;
        frame.reset();
        // A stuffed ETX is data, the plain one ends the frame.
        QCOMPARE(frame.feed(Morv2Frame::DLE), Morv2Frame::Step::More);
        QCOMPARE(frame.feed(Morv2Frame::ETX), Morv2Frame::Step::More);
        QCOMPARE(frame.feed(Morv2Frame::ETX), Morv2Frame::Step::End);
        QCOMPARE(frame.data(), QByteArray(1, Morv2Frame::ETX));
        QVERIFY(frame.checkMatches(Morv2Frame::DLE));   // 10 ^ 03 ^ 03

        frame.reset();
        QVERIFY(frame.data().isEmpty());
        for (int i = 0; i < Morv2Frame::kMaxData; ++i)
            QCOMPARE(frame.feed('a'), Morv2Frame::Step::More);
        QCOMPARE(frame.feed(Morv2Frame::DLE), Morv2Frame::Step::More);   // stuffing does not count
        QCOMPARE(frame.feed('a'), Morv2Frame::Step::Overflow);
    }
};

QTEST_GUILESS_MAIN(TestMorv2Frame)
#include "tst_morv2frame.moc"
