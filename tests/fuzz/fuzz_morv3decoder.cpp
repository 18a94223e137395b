// Feeds arbitrary bytes to both sides' protocol-3 decoders: no crash, no
// unbounded growth, and a completed frame always describes what came in.

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
            if (decoder->feed(data[i])) {
                if (decoder->raw().isEmpty() || static_cast<quint8>(decoder->raw().at(0)) != 0xFE)
                    std::abort();
                decoder->clear();
            }
            // A frame's raw bytes can never exceed what was fed.
            if (static_cast<size_t>(decoder->raw().size()) > i + 1)
                std::abort();
        }
    }
    return 0;
}
