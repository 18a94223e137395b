// Feeds arbitrary bytes to both sides' protocol-3 decoders: no crash, no
// unbounded growth, and every outcome describes what came in. Whatever the
// encoder builds, escaped ID included, both sides read back as it was.

#include "proxy/morv3decoder.h"
#include "proxy/morv3frame.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// The input as one frame (first byte the ID, the rest the payload) comes back
// whole from either side's decoder, at its last byte and not before.
void roundTrip(const uint8_t *data, size_t size)
{
    if (size == 0)
        return;
    const quint8 id = data[0];
    const QByteArray payload(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    Morv3Frame record;
    const QByteArray wire = Morv3Frame::encodeFrameWithId(id, payload, &record);
    for (Morv3Decoder::Side side : {Morv3Decoder::DeviceSide, Morv3Decoder::ApplicationSide}) {
        Morv3Decoder decoder(side);
        for (qsizetype i = 0; i < wire.size(); ++i) {
            const bool last = i + 1 == wire.size();
            if ((decoder.step(quint8(wire.at(i))) == Morv3Decoder::Outcome::Complete) != last)
                std::abort();
        }
        const Morv3Frame &got = decoder.frame();
        if (decoder.raw() != wire || got.id != id || !decoder.crcMatches())
            std::abort();
        if (side == Morv3Decoder::DeviceSide && (got.data != payload || got.crc != record.crc))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    roundTrip(data, size);
    Morv3Decoder device(Morv3Decoder::DeviceSide);
    Morv3Decoder application(Morv3Decoder::ApplicationSide);
    for (size_t i = 0; i < size; ++i) {
        for (Morv3Decoder *decoder : {&device, &application}) {
            switch (decoder->step(data[i])) {
            case Morv3Decoder::Outcome::NeedMore:
                break;
            case Morv3Decoder::Outcome::Complete:
                if (decoder->raw().isEmpty() || static_cast<quint8>(decoder->raw().at(0)) != 0xFE)
                    std::abort();
                // A start byte inside a frame always ends it instead.
                if (decoder->raw().indexOf(char(0xFE), 3) >= 0)
                    std::abort();
                (void)decoder->crcMatches();
                decoder->clear();
                break;
            case Morv3Decoder::Outcome::Invalid:
                if (data[i] != 0xFE || decoder->raw() != QByteArray(1, char(0xFE))
                    || decoder->broken().isEmpty() || static_cast<quint8>(decoder->broken().at(0)) != 0xFE)
                    std::abort();
                break;
            }
            // A frame's raw bytes can never exceed what was fed.
            if (static_cast<size_t>(decoder->raw().size()) > i + 1)
                std::abort();
        }
    }
    return 0;
}
