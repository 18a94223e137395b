// Feeds arbitrary bytes to both sides' protocol-3 decoders: no crash, no
// unbounded growth, and every outcome describes what came in.

#include "proxy/morv3decoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
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
