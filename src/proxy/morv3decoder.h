#pragma once

#include "proxy/morv3frame.h"

#include <QByteArray>

// Incremental reader of protocol-3 frames, fed one byte at a time.
//
// The device side unescapes DATA and CRC; the application side keeps them as
// received (the proxy forwards raw() anyway). Bytes outside a frame are
// dropped, the CRC is kept but not checked, and a new 0xFE is looked for only
// between frames.
class Morv3Decoder
{
public:
    enum Side { DeviceSide, ApplicationSide };

    explicit Morv3Decoder(Side side);

    // Returns true when b completed a frame: frame() and raw() then describe
    // it until clear() or the next frame's start byte.
    bool feed(quint8 b);

    const Morv3Frame &frame() const { return m_frame; }
    // The current frame's bytes exactly as received, start byte included.
    const QByteArray &raw() const { return m_raw; }
    bool escapePending() const { return m_escapePending; }
    Side side() const { return m_side; }

    void clear();

private:
    void feedData(quint8 b);
    bool feedCrc(quint8 b);
    void toCrcIfDataComplete();

    Side m_side;
    Morv3Frame m_frame;
    QByteArray m_raw;
    bool m_escapePending = false;
};
