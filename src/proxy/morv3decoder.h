#pragma once

#include "proxy/morv3frame.h"

#include <QByteArray>

// Incremental reader of protocol-3 frames, fed one byte at a time.
//
// Both sides unescape ID (0xFD 0xEE is ID 0xFE, 0xFD 0xED is 0xFD), as the
// encoder escapes it. The device side unescapes DATA and CRC too; the
// application side keeps them as received (the proxy forwards raw() anyway). Bytes outside a frame are
// dropped without a word. Inside ID, DATA and CRC a start byte is always
// escaped, so an unescaped 0xFE there can only begin a new frame: the frame
// under way is given up and decoding starts again at that byte. LEN bytes
// are never escaped and are taken as they come.
//
// Contract of step(), one outcome per byte:
// - NeedMore: the byte was taken (or dropped between frames);
// - Complete: the byte ended a frame; frame() and raw() describe it and
//   crcMatches() says whether its CRC holds, until clear() or the next byte;
// - Invalid: the byte was a start byte inside a frame; broken() holds the
//   bytes of the frame given up (drop them), and the byte began a new one.
class Morv3Decoder
{
public:
    enum Side { DeviceSide, ApplicationSide };

    enum class Outcome { NeedMore, Complete, Invalid };

    // The decoder's position within a frame (kept in frame().state too).
    enum class State {
        Idle = 0,    // between frames: waiting for 0xFE
        LenLow = 1,  // start byte seen: low LEN byte next
        LenHigh = 2, // high LEN byte next
        Id = 3,      // identifier next
        Data = 4,    // data bytes until LEN of them have come
        Crc = 5,     // the CRC byte (two when escaped)
    };

    explicit Morv3Decoder(Side side);

    Outcome step(quint8 b);
    // Shorthand for step(b) == Outcome::Complete.
    bool feed(quint8 b) { return step(b) == Outcome::Complete; }

    const Morv3Frame &frame() const { return m_frame; }
    // The current frame's bytes exactly as received, start byte included.
    const QByteArray &raw() const { return m_raw; }
    // After Invalid: the bytes of the frame given up, start byte included.
    const QByteArray &broken() const { return m_broken; }
    // After Complete: whether the CRC matches ID and the unescaped data.
    bool crcMatches() const;
    bool escapePending() const { return m_escapePending; }
    Side side() const { return m_side; }
    State state() const { return State(m_frame.state); }

    void clear();

private:
    void begin(quint8 stx);
    void feedData(quint8 b);
    bool feedCrc(quint8 b);
    void toCrcIfDataComplete();

    Side m_side;
    Morv3Frame m_frame;
    QByteArray m_raw;
    QByteArray m_broken;
    bool m_escapePending = false;
};
