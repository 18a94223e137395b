// Feeds arbitrary bytes, in pieces the input itself chooses, to the TLV
// decoder, with the time limit passing now and then: no crash, frames are
// exactly what was fed, and nothing is held beyond one frame (or chain). A
// decoder of the device's stream takes only device tags, and after framing
// is lost takes frames again only where a piece began. A frame encoded from
// the input decodes to it.

#include "ofd/tlvcodec.h"
#include "ofd/tlvdecoder.h"

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// The input as one frame (first byte the tag, the rest the value, cut at the
// longest value) decodes to what went in, in one piece.
void roundTrip(const uint8_t *data, size_t size)
{
    const quint8 tag = data[0];
    const QByteArray value(reinterpret_cast<const char *>(data + 1),
                           qsizetype(size - 1 < TlvCodec::kMaxValue ? size - 1 : TlvCodec::kMaxValue));
    const QByteArray wire = TlvCodec::encode(tag, value);
    const TlvCodec::Result r = TlvCodec::decode(wire);
    if (r.outcome != TlvCodec::Outcome::Complete || r.used != wire.size() || r.frame.tag != tag
        || r.frame.value != value)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    roundTrip(data, size);
    // The first byte shapes the run: piece size, how often time runs out,
    // which stream.
    const size_t piece = 1 + data[0] % 16;
    const bool expires = data[0] & 0x80;
    const bool device = data[0] & 0x40;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    TlvDecoder decoder(device ? TlvDecoder::FromDevice : TlvDecoder::AnyTags);
    QByteArray replayed; // frames taken and bytes dropped, in order
    QList<qsizetype> pieceStarts;
    bool lost = false;
    for (qsizetype at = 0; at < input.size(); at += qsizetype(piece)) {
        decoder.feed(input.mid(at, qsizetype(piece)));
        pieceStarts.append(at);
        const bool late = expires && (at / qsizetype(piece)) % 3 == 2;
        for (;;) {
            const QByteArray before = decoder.pending();
            const TlvCodec::Result r = decoder.next(late);
            if (r.outcome == TlvCodec::Outcome::NeedMore) {
                if (r.used != 0 || decoder.pending() != before)
                    std::abort();
                break;
            }
            if (r.used <= 0 || r.used > before.size())
                std::abort();
            if (r.outcome == TlvCodec::Outcome::Complete) {
                const QByteArray encoded = TlvCodec::encode(r.frame);
                // Device tags only, and back in step only where a piece began.
                if (encoded != before.left(r.used) || (device && !TlvCodec::isDeviceTag(r.frame.tag))
                    || (lost && !pieceStarts.contains(replayed.size())))
                    std::abort();
                lost = false;
            } else if (r.dropped != before.left(r.used) || (!device && r.loss != TlvCodec::Loss::Incomplete)
                       || (r.loss == TlvCodec::Loss::Incomplete && (r.have != r.used - 2 || r.announced <= r.have))) {
                std::abort();
            } else {
                lost = device;
            }
            replayed += before.left(r.used);
        }
        // At most one incomplete frame is held, or one undecided chain.
        if (decoder.buffered() > 2 + TlvCodec::kMaxValue + (device ? TlvDecoder::kMaxUndecided + 2 + TlvCodec::kMaxValue : 0))
            std::abort();
    }
    if (replayed + decoder.pending() != input)
        std::abort();
    return 0;
}
