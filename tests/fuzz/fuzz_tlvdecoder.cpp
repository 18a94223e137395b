// Feeds arbitrary bytes, in pieces the input itself chooses, to the TLV
// decoder, with the time limit passing now and then: no crash, frames are
// exactly what was fed, and nothing is held beyond one frame. A decoder of
// the device's stream takes only device tags, and after framing is lost
// takes frames again only where a piece began.

#include "ofd/tlvcodec.h"
#include "ofd/tlvdecoder.h"

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void run(TlvDecoder::Stream stream, const QByteArray &input, qsizetype piece, bool expires)
{
    TlvDecoder decoder(stream);
    const bool device = stream == TlvDecoder::FromDevice;
    QByteArray replayed; // frames taken and bytes dropped, in order
    QList<qsizetype> pieceStarts;
    bool lost = false;
    for (qsizetype at = 0; at < input.size(); at += piece) {
        decoder.feed(input.mid(at, piece));
        pieceStarts.append(at);
        const bool late = expires && (at / piece) % 3 == 2;
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
                if (device && !TlvCodec::isDeviceTag(r.frame.tag))
                    std::abort();
                // Back in step only where a piece began.
                if (lost && !pieceStarts.contains(replayed.size()))
                    std::abort();
                lost = false;
            } else {
                if (r.dropped != before.left(r.used))
                    std::abort();
                if (r.loss == TlvCodec::Loss::Incomplete && (r.have != r.used - 2 || r.announced <= r.have))
                    std::abort();
                if (!device && r.loss != TlvCodec::Loss::Incomplete)
                    std::abort();
                lost = device;
            }
            replayed += before.left(r.used);
        }
        // At most one incomplete frame is held, or one undecided chain.
        const qsizetype bound = device ? TlvDecoder::kMaxUndecided + 2 * (2 + TlvCodec::kMaxValue) : 2 + TlvCodec::kMaxValue;
        if (decoder.buffered() > bound)
            std::abort();
    }
    if (replayed + decoder.pending() != input)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte shapes the run: piece size and how often time runs out.
    const qsizetype piece = 1 + data[0] % 16;
    const bool expires = data[0] & 0x80;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    run(TlvDecoder::AnyTags, input, piece, expires);
    run(TlvDecoder::FromDevice, input, piece, expires);
    return 0;
}
