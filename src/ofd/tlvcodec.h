#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// One frame of the device's OFD stream, in either direction.
struct TlvFrame
{
    TlvFrame() = default;
    TlvFrame(quint8 tag, const QByteArray &value) : tag(tag), value(value) {}
    quint8 tag = 0xFF;
    QByteArray value;
    bool operator==(const TlvFrame &other) const { return tag == other.tag && value == other.value; }
};

// The device's tag-length-value frames: tag (1 byte), length L (1 byte),
// L bytes of value, back to back with no marker, checksum or escape. Pure:
// no I/O, no clock; whoever holds the bytes feeds them in and acts on the
// result.
class TlvCodec
{
public:
    // Rx: from the host to the device; Tx: from the device to the host.
    enum Tag : quint8 {
        RxRequestVersion = 0x01,
        RxResponseVersion = 0x02,
        RxConnectState0 = 0x10,
        RxConnectState1 = 0x11,
        RxData0 = 0x20,
        RxData1 = 0x21,
        TxResponseVersion = 0x40,
        TxDns = 0x41,
        TxRequestVersion = 0x42,
        TxPacketSize0 = 0x50,
        TxPacketSize1 = 0x51,
        TxPort0 = 0x60,
        TxPort1 = 0x61,
        TxConnect0 = 0x70,
        TxConnect1 = 0x71,
        TxConnect0Close = 0x80,
        TxConnect1Close = 0x81,
        TxData0 = 0x90,
        TxData1 = 0x91,
        TxLog = 0xA0
    };

    // The most a length byte can announce.
    static constexpr int kMaxValue = 255;

    // The protocol's name of a tag ("U2E_TLV_..."), or "UNKNOWN (xx)".
    static QString tagName(quint8 tag);
    static bool isKnown(quint8 tag);

    // Framing of the device's stream. It has no marker and no checksum, so
    // a tag the device never sends is what an invalid marker is elsewhere:
    // framing is lost. So is a frame still incomplete at its time limit.
    // Once lost, the bytes held are dropped, and so is everything after
    // them up to a resynchronisation point: the start of a later read from
    // the device (a piece fed to the decoder) where a chain of frames
    // begins whose tags are all device tags with a plausible length
    // (plausibleLength) and whose last frame ends exactly where a read
    // ended. A chain not decided yet waits for more bytes, within the same
    // time limit. Until then nothing is taken as a frame, so no byte of a
    // broken stretch is ever read as TX_DATA.
    static bool isDeviceTag(quint8 tag);
    static bool plausibleLength(quint8 tag, int length);

    // Tag, length byte, value. A value longer than kMaxValue is cut to it.
    static QByteArray encode(quint8 tag, const QByteArray &value = QByteArray());
    static QByteArray encode(const TlvFrame &frame) { return encode(frame.tag, frame.value); }
    // A 16-bit number as the protocol writes it (little-endian).
    static QByteArray port(quint16 port);

    enum class Outcome {
        Complete, // frame holds the first frame; used = its size in bytes
        NeedMore, // the first frame is not complete yet; used = 0
        Invalid   // the first frame cannot complete; used = bytes to drop
    };
    // Why bytes were dropped (Invalid).
    enum class Loss {
        None,
        Incomplete, // the time limit passed on an incomplete frame
        UnknownTag, // a tag the device never sends (see above)
        Resync      // bytes up to the next resynchronisation point
    };
    struct Result
    {
        Outcome outcome = Outcome::NeedMore;
        TlvFrame frame;
        qsizetype used = 0;
        // NeedMore and Invalid with a header: value bytes there and announced.
        int have = 0;
        int announced = 0;
        Loss loss = Loss::None;
        // Invalid from a TlvDecoder: the bytes it removed.
        QByteArray dropped;
    };

    // Looks at the first frame of bytes. Without a deadline an incomplete
    // frame needs more; once the caller's time limit for it has passed
    // (deadlinePassed), a frame whose header is there but whose value is
    // short is Invalid and the bytes it holds so far are to be dropped. A
    // lone first byte always waits for the second.
    static Result decode(QByteArrayView bytes, bool deadlinePassed = false);
};
