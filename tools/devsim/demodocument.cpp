#include "devsim/demodocument.h"

#include <QtEndian>

namespace {

quint32 fnv1a(const QByteArray &bytes)
{
    quint32 h = 2166136261u;
    for (char c : bytes) {
        h ^= quint8(c);
        h *= 16777619u;
    }
    return h;
}

// xorshift32: cheap, deterministic and spreads every byte value, 0xFE, 0xFD,
// 0x03 and 0x10 included, so the serial framings' escapes get exercised.
QByteArray pseudoRandom(quint32 seed, int size)
{
    quint32 x = seed ? seed : 0x9E3779B9u;
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = char(x >> 24);
    }
    return out;
}

QByteArray header(const char *magic, quint32 sequence, quint32 size)
{
    QByteArray out(magic, 4);
    char buf[4];
    qToLittleEndian(sequence, buf);
    out.append(buf, 4);
    qToLittleEndian(size, buf);
    out.append(buf, 4);
    return out;
}

} // namespace

QByteArray DemoDocument::make(quint32 sequence, int payloadSize)
{
    return header("KIVD", sequence, quint32(payloadSize))
        + pseudoRandom(sequence * 2654435761u + 1, payloadSize);
}

qint64 DemoDocument::sizeWithMagic(const QByteArray &head, const char *magic)
{
    const int known = int(qMin<qsizetype>(head.size(), 4));
    if (head.left(known) != QByteArray(magic, known))
        return -1;
    if (head.size() < kHeaderSize)
        return 0;
    return kHeaderSize + qint64(qFromLittleEndian<quint32>(head.constData() + 8));
}

qint64 DemoDocument::documentSize(const QByteArray &head)
{
    return sizeWithMagic(head, "KIVD");
}

qint64 DemoDocument::replySize(const QByteArray &head)
{
    return sizeWithMagic(head, "KIVR");
}

QByteArray DemoDocument::replyFor(const QByteArray &document)
{
    const quint32 hash = fnv1a(document);
    const quint32 sequence = document.size() >= 8 ? qFromLittleEndian<quint32>(document.constData() + 4) : 0;
    const int bodySize = 100 + int(hash % 1900);
    return header("KIVR", sequence, quint32(bodySize)) + pseudoRandom(hash, bodySize);
}

int DemoDocument::payloadSizeFor(quint32 sequence)
{
    return 200 + int((sequence * 7919u) % 1500u);
}
