#include "ofd/tlvdecoder.h"

void TlvDecoder::feed(const QByteArray &bytes)
{
    // Consumed bytes go only when they are the larger part, so thousands of
    // tiny frames in one piece cost no more than one copy.
    if (m_start > 0 && m_start >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_start);
        m_start = 0;
    }
    m_buffer.append(bytes);
}

TlvCodec::Result TlvDecoder::next(bool deadlinePassed)
{
    const TlvCodec::Result result =
        TlvCodec::decode(QByteArrayView(m_buffer).sliced(m_start), deadlinePassed);
    m_start += result.used;
    if (m_start == m_buffer.size())
        clear();
    return result;
}

bool TlvDecoder::take(TlvFrame *frame)
{
    TlvCodec::Result result = next();
    if (result.outcome != TlvCodec::Outcome::Complete)
        return false;
    *frame = std::move(result.frame);
    return true;
}

void TlvDecoder::clear()
{
    m_buffer.clear();
    m_start = 0;
}
