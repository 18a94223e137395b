#include "proxy/morv3frame.h"

#include "core/hexdump.h"


#include <array>
#include <atomic>

namespace {

constexpr quint8 kStx = 0xFE;
constexpr quint8 kEscape = 0xFD;
constexpr quint8 kFirstOwnId = 0xE0;
constexpr quint8 kLastOwnId = 0xE4;

constexpr std::array<quint8, 256> makeCrcTable()
{
    std::array<quint8, 256> table{};
    for (int i = 0; i < 256; ++i) {
        quint8 crc = quint8(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80) ? quint8((crc << 1) ^ 0x31) : quint8(crc << 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<quint8, 256> kCrcTable = makeCrcTable();

std::atomic<int> frameIdCounter{0xDF};
std::atomic<int> taskIdCounter{0xDF};

quint8 takeNext(std::atomic<int> &counter)
{
    int current = counter.load();
    int next;
    do {
        next = current + 1;
        if (next > kLastOwnId)
            next = kFirstOwnId;
    } while (!counter.compare_exchange_weak(current, next));
    return quint8(next);
}

} // namespace

void Morv3Frame::clear()
{
    id = 0;
    length = 0;
    state = 0;
    data.clear();
    crc.clear();
}

quint8 Morv3Frame::nextFrameId()
{
    return takeNext(frameIdCounter);
}

quint8 Morv3Frame::nextTaskId()
{
    return takeNext(taskIdCounter);
}

quint8 Morv3Frame::crc8(const QByteArray &bytes)
{
    quint8 crc = 0xFF;
    for (char c : bytes)
        crc = kCrcTable[quint8(crc ^ quint8(c))];
    return crc;
}

QByteArray Morv3Frame::escape(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size() + 8);
    for (char c : bytes) {
        const quint8 b = quint8(c);
        if (b == kStx) {
            out.append(char(kEscape));
            out.append(char(0xEE));
        } else if (b == kEscape) {
            out.append(char(kEscape));
            out.append(char(0xED));
        } else {
            out.append(c);
        }
    }
    return out;
}

QByteArray Morv3Frame::encodeFrame(const QByteArray &payload, Morv3Frame *record)
{
    return encodeFrameWithId(nextFrameId(), payload, record);
}

QByteArray Morv3Frame::encodeFrameWithId(quint8 id, const QByteArray &payload, Morv3Frame *record)
{
    QByteArray body;
    body.reserve(payload.size() + 2);
    body.append(char(id));
    body.append(payload);
    const quint8 crc = crc8(body);
    body.append(char(crc));

    if (record) {
        record->clear();
        record->id = id;
        record->length = quint16(payload.size());
        record->data = payload;
        record->crc = QByteArray(1, char(crc));
    }

    const int size = int(payload.size());
    QByteArray wire;
    wire.reserve(body.size() + 8);
    wire.append(char(kStx));
    wire.append(char(size & 0x7F));
    wire.append(char((size >> 7) & 0xFF));
    wire.append(escape(body));
    return wire;
}

QString Morv3Frame::describe(const Morv3Frame &frame)
{
    const QString id = QStringLiteral("%1").arg(frame.id, 2, 16, QLatin1Char('0')).toUpper();
    return QStringLiteral("id = %1, data = [%2], crc = %3").arg(id, hexDump(frame.data), hexDump(frame.crc));
}
