#pragma once

#include "ofd/tlvcodec.h"

#include <QByteArray>
#include <QList>

// Incremental cutter of a TLV stream: bytes go in as they arrive, in any
// split; frames come out one at a time with TlvCodec::decode's contract.
// Holds no clock: the owner says when its time limit for an incomplete
// frame has passed.
//
// A decoder of the device's stream (FromDevice) also keeps the framing rule
// of TlvCodec: it loses framing on a tag the device never sends or on an
// incomplete frame at the time limit, drops bytes (Invalid, with the loss
// said) and takes frames again only from a resynchronisation point. Each
// feed() is one read from the device; where it begins is a candidate point.
class TlvDecoder
{
public:
    enum Stream { AnyTags, FromDevice };

    explicit TlvDecoder(Stream stream = AnyTags) : m_stream(stream) {}

    void feed(const QByteArray &bytes);
    // The next frame: Complete (frame removed from the buffer), NeedMore
    // (nothing removed) or Invalid (bytes removed: with deadlinePassed the
    // incomplete frame, have/announced saying how far it got; from a device
    // stream also bytes of a broken stretch, loss saying why).
    TlvCodec::Result next(bool deadlinePassed = false);
    // Takes the next complete frame; false while none is complete.
    bool take(TlvFrame *frame);
    // Bytes of a frame that has begun but is not complete.
    bool hasPartial() const { return buffered() > 0; }
    qsizetype buffered() const { return m_buffer.size() - m_start; }
    QByteArray pending() const { return m_buffer.mid(m_start); }
    // Framing is lost: frames are taken again from a resynchronisation point.
    bool lost() const { return m_lost; }
    void clear();

    // Bytes a chain may hold undecided before it is given up.
    static constexpr int kMaxUndecided = 4 * (2 + TlvCodec::kMaxValue);

private:
    enum class Verdict { Chain, NoChain, Undecided };

    Verdict chainAt(qsizetype from, int *have, int *announced) const;
    TlvCodec::Result drop(qsizetype upTo, TlvCodec::Loss loss);
    TlvCodec::Result hunt(bool deadlinePassed);
    bool isPieceStart(qsizetype at) const;
    void clearBuffer();

    Stream m_stream;
    QByteArray m_buffer;
    qsizetype m_start = 0; // bytes before this are consumed
    // Where each read held in m_buffer began, in order.
    QList<qsizetype> m_pieces;
    bool m_lost = false;
};
