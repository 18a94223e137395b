#include "tlvstream.h"

QByteArray TlvStream::frame(quint8 tag, const QByteArray &value)
{
    const QByteArray body = value.left(255);
    QByteArray out;
    out.reserve(body.size() + 2);
    out.append(char(tag));
    out.append(char(quint8(body.size())));
    out.append(body);
    return out;
}

QByteArray TlvStream::port(quint16 port)
{
    QByteArray out;
    out.append(char(port & 0xFF));
    out.append(char(port >> 8));
    return out;
}

void TlvStream::append(const QByteArray &bytes)
{
    m_buffer.append(bytes);
}

bool TlvStream::next(Frame *frame)
{
    if (m_buffer.size() < 2)
        return false;
    const int length = quint8(m_buffer.at(1));
    if (m_buffer.size() < 2 + length)
        return false;
    frame->tag = quint8(m_buffer.at(0));
    frame->value = m_buffer.mid(2, length);
    m_buffer.remove(0, 2 + length);
    return true;
}

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
