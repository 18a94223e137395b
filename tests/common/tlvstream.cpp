#include "tlvstream.h"

QList<TlvStream::Frame> TlvStream::takeAll()
{
    QList<Frame> frames;
    Frame frame;
    while (next(&frame))
        frames.append(frame);
    return frames;
}

QList<TlvStream::Frame> TlvStream::parse(const QByteArray &bytes, QByteArray *rest)
{
    TlvStream stream;
    stream.append(bytes);
    const QList<Frame> frames = stream.takeAll();
    if (rest)
        *rest = stream.pending();
    return frames;
}
