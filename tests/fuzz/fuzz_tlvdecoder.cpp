// Feeds arbitrary bytes, in pieces the input itself chooses, to the TLV
// decoder, with the time limit passing now and then: no crash, frames are
// exactly what was fed, and nothing is held beyond one frame.

#include "ofd/tlvcodec.h"
#include "ofd/tlvdecoder.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
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
