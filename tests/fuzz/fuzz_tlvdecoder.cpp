// Feeds arbitrary bytes, in pieces the input itself chooses, to the TLV
// decoder, with the time limit passing now and then: no crash, frames are
// exactly what was fed, and nothing is held beyond one frame; and a frame
// encoded from the input decodes to it.

#include "ofd/tlvcodec.h"
#include "ofd/tlvdecoder.h"

#include <QByteArray>

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
    // The first byte shapes the run: piece size and how often time runs out.
    const size_t piece = 1 + data[0] % 16;
    const bool expires = data[0] & 0x80;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    TlvDecoder decoder;
    QByteArray replayed; // frames taken and bytes dropped, in order
    for (qsizetype at = 0; at < input.size(); at += qsizetype(piece)) {
        decoder.feed(input.mid(at, qsizetype(piece)));
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
                if (encoded != before.left(r.used))
                    std::abort();
            } else if (r.have != r.used - 2 || r.announced <= r.have) {
                std::abort();
            }
            replayed += before.left(r.used);
        }
        // At most one incomplete frame is held.
        if (decoder.buffered() > 2 + TlvCodec::kMaxValue)
            std::abort();
    }
    if (replayed + decoder.pending() != input)
        std::abort();
    return 0;
}
