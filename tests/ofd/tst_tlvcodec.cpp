#include "ofd/tlvcodec.h"

#include <QtTest>

using Outcome = TlvCodec::Outcome;

class TestTlvCodec : public QObject
{
    Q_OBJECT
private slots:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("deadlinePassed");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("used");
        QTest::addColumn<int>("tag");
        QTest::addColumn<QByteArray>("value");

        const auto add = [](const char *name, const QByteArray &bytes, bool late, Outcome outcome, int used,
                            int tag = 0xFF, const QByteArray &value = QByteArray()) {
            QTest::newRow(name) << bytes << late << int(outcome) << used << tag << value;
        };
        add("empty", QByteArray(), false, Outcome::NeedMore, 0);
        add("tiny", QByteArray("\x42", 1), false, Outcome::NeedMore, 0);
        // A lone tag byte never times out: it waits for its length.
        add("tiny-late", QByteArray("\x42", 1), true, Outcome::NeedMore, 0);
        add("zero-length", QByteArray("\x42\x00", 2), false, Outcome::Complete, 2, 0x42);
        add("short", QByteArray("\x90\x05" "ab", 4), false, Outcome::NeedMore, 0);
        add("complete", QByteArray("\x90\x03" "abc", 5), false, Outcome::Complete, 5, 0x90, "abc");
        add("complete-and-short", QByteArray("\x90\x02" "ab" "\x91\x04" "c", 7), false, Outcome::Complete, 4, 0x90,
            "ab");
        // A length byte announcing more than ever comes: dropped at the limit.
        add("wrong-length", QByteArray("\x60\x05\xBB\x01", 4), true, Outcome::Invalid, 4);
        add("announces-255", QByteArray("\xA0\xFF" "x", 3), true, Outcome::Invalid, 3);
        add("complete-when-late", QByteArray("\x41\x01" "z", 3), true, Outcome::Complete, 3, 0x41, "z");
        add("unknown-tag", QByteArray("\x33\x01\x07", 3), false, Outcome::Complete, 3, 0x33, "\x07");
        add("max-value", QByteArray("\x20\xFF", 2) + QByteArray(255, 'v'), false, Outcome::Complete, 257, 0x20,
            QByteArray(255, 'v'));
    }
    void decode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, deadlinePassed);
        QFETCH(int, outcome);
        QFETCH(int, used);
        QFETCH(int, tag);
        QFETCH(QByteArray, value);
        const TlvCodec::Result result = TlvCodec::decode(bytes, deadlinePassed);
        QCOMPARE(int(result.outcome), outcome);
        QCOMPARE(int(result.used), used);
        if (result.outcome == Outcome::Complete) {
            QCOMPARE(int(result.frame.tag), tag);
            QCOMPARE(result.frame.value, value);
        }
        if (bytes.size() >= 2 && result.outcome != Outcome::Complete) {
            QCOMPARE(result.announced, int(quint8(bytes.at(1))));
            QCOMPARE(result.have, int(bytes.size() - 2));
        }
    }

    // Frames of the protocol written out by hand, both ways.
    void goldenFrames_data()
    {
        QTest::addColumn<int>("tag");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("wire");
        const auto row = [](const char *name, int tag, const QByteArray &value, const QByteArray &wire) {
            QTest::newRow(name) << tag << value << wire;
        };
        row("version request", TlvCodec::RxRequestVersion, QByteArray(), QByteArray("\x01\x00", 2));
        row("version answer", TlvCodec::RxResponseVersion, "\x02", "\x02\x01\x02");
        row("channel 0 up", TlvCodec::RxConnectState0, "\x01", "\x10\x01\x01");
        row("data to channel 1", TlvCodec::RxData1, "ok", "\x21\x02ok");
        row("port 443", TlvCodec::TxPort0, "\xBB\x01", "\x60\x02\xBB\x01");
        row("connect, zero-ended", TlvCodec::TxConnect0, QByteArray("h\0", 2), QByteArray("\x70\x02h\0", 4));
        row("device log", TlvCodec::TxLog, "\x01hi", "\xA0\x03\x01hi");
    }
    void goldenFrames()
    {
        QFETCH(int, tag);
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, wire);
        QCOMPARE(TlvCodec::encode(quint8(tag), value), wire);
        const TlvCodec::Result result = TlvCodec::decode(wire);
        QCOMPARE(result.outcome, Outcome::Complete);
        QCOMPARE(int(result.used), int(wire.size()));
        QCOMPARE(int(result.frame.tag), tag);
        QCOMPARE(result.frame.value, value);
    }

    void encodeAndNames()
    {
        QCOMPARE(TlvCodec::encode(TlvCodec::RxConnectState1, "\x01"), QByteArray("\x11\x01\x01", 3));
        QCOMPARE(TlvCodec::encode(TlvCodec::RxRequestVersion), QByteArray("\x01\x00", 2));
        // The length is one byte: a longer value is cut, never wrapped.
        const QByteArray cut = TlvCodec::encode(TlvCodec::RxData0, QByteArray(300, 'y'));
        QCOMPARE(cut.size(), 257);
        QCOMPARE(quint8(cut.at(1)), quint8(255));
        QCOMPARE(TlvCodec::port(443), QByteArray("\xBB\x01", 2));
        QCOMPARE(TlvCodec::tagName(TlvCodec::TxConnect0Close), QStringLiteral("U2E_TLV_TX_CONNECT0_CLOSE"));
        QCOMPARE(TlvCodec::tagName(0x0C), QStringLiteral("UNKNOWN (0c)"));
        QVERIFY(TlvCodec::isKnown(TlvCodec::TxLog));
        QVERIFY(!TlvCodec::isKnown(0x33));
    }
};

QTEST_GUILESS_MAIN(TestTlvCodec)
#include "tst_tlvcodec.moc"
