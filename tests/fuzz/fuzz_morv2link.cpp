// Drives the protocol-2 link with arbitrary bytes, time-outs and exchanges:
// no crash, bounded buffers, and every outcome consistent with the limits;
// and what one link sends another receives.
// Input: 0xFF followed by a command byte (0 time-out, 1 receive, 2 send the
// next n bytes, n the byte after), anything else is a byte from the line.

#include "proxy/morv2link.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(const Morv2Link &link, const Morv2Link::Actions &a)
{
    const bool badTimer = a.timer == Morv2Link::Timer::Start && a.timerMs <= 0;
    const bool badEnd = a.finished
                        && (!link.idle() || (a.error != Morv2Link::NoError && !a.frame.isEmpty())
                            || a.frame.size() > Morv2Frame::kMaxData);
    if (badTimer || badEnd || link.buffered() > Morv2Link::kMaxBuffered)
        std::abort();
}

// The input (at most the largest frame) sent by one link reaches another
// whole, the two exchanging bytes with nothing lost on the line.
void roundTrip(const uint8_t *data, size_t size)
{
    const size_t take = size < size_t(Morv2Frame::kMaxData) ? size : size_t(Morv2Frame::kMaxData);
    const QByteArray request(reinterpret_cast<const char *>(data), qsizetype(take));
    if (request.isEmpty())
        return;
    QByteArray parsed;
    if (!Morv2Frame::parse(Morv2Frame::build(request), &parsed) || parsed != request)
        std::abort();

    Morv2Link sender, receiver;
    receiver.begin(QByteArray());
    Morv2Link::Actions sent = sender.begin(request), received;
    // Each step answers the other's last bytes; the exchange takes five.
    for (int step = 0; step < 8 && !(sent.finished && received.finished); ++step) {
        if (step % 2 == 0)
            received = receiver.feed(sent.write);
        else
            sent = sender.feed(received.write);
    }
    if (!sent.finished || sent.error != Morv2Link::NoError || !received.finished || received.frame != request)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    roundTrip(data, size);
    Morv2Link::Config config;
    config.yieldOnConflict = size > 0 && (data[0] & 1);
    Morv2Link link(config);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != 0xFF || i + 1 >= size) {
            check(link, link.feed(QByteArray(1, char(data[i]))));
            continue;
        }
        const uint8_t command = data[++i];
        if (command == 0) {
            check(link, link.timeout());
        } else if (command == 1) {
            check(link, link.begin(QByteArray()));
        } else if (command == 2 && i + 1 < size) {
            const size_t n = data[++i];
            const size_t take = n < size - i - 1 ? n : size - i - 1;
            const QByteArray request(reinterpret_cast<const char *>(data + i + 1), qsizetype(take));
            i += take;
            check(link, link.begin(request));
        } else {
            check(link, link.feed(QByteArray(1, char(data[i]))));
        }
    }
    return 0;
}
