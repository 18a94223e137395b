#pragma once

#include "ofd/tlvcodec.h"

#include <QByteArray>

// Incremental cutter of a TLV stream: bytes go in as they arrive, in any
// split; frames come out one at a time with TlvCodec::decode's contract.
// Holds no clock: the owner says when its time limit for an incomplete
// frame has passed.
class TlvDecoder
{
public:
    void feed(const QByteArray &bytes);
    // The next frame: Complete (frame removed from the buffer), NeedMore
    // (nothing removed) or, with deadlinePassed, Invalid (the incomplete
    // frame's bytes removed; have/announced say how far it got).
    TlvCodec::Result next(bool deadlinePassed = false);
    // Takes the next complete frame; false while none is complete.
    bool take(TlvFrame *frame);
    // Bytes of a frame that has begun but is not complete.
    bool hasPartial() const { return buffered() > 0; }
    qsizetype buffered() const { return m_buffer.size() - m_start; }
    QByteArray pending() const { return m_buffer.mid(m_start); }
    void clear();

private:
    QByteArray m_buffer;
    qsizetype m_start = 0; // bytes before this are consumed
};
