#include "ofd/tlvdecoder.h"

#include <algorithm>

void TlvDecoder::feed(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    // Consumed bytes go only when they are the larger part, so thousands of
    // tiny frames in one piece cost no more than one copy.
    while (!m_pieces.isEmpty() && m_pieces.first() < m_start)
        m_pieces.removeFirst();
    if (m_start > 0 && m_start >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_start);
        for (qsizetype &at : m_pieces)
            at -= m_start;
        m_start = 0;
    }
    if (m_stream == FromDevice)
        m_pieces.append(m_buffer.size());
    m_buffer.append(bytes);
}

bool TlvDecoder::isPieceStart(qsizetype at) const
{
    return at == m_buffer.size() || std::binary_search(m_pieces.begin(), m_pieces.end(), at);
}

// Walks device frames from `from` until one ends where a read ended.
TlvDecoder::Verdict TlvDecoder::chainAt(qsizetype from, int *have, int *announced) const
{
    qsizetype at = from;
    for (;;) {
        const quint8 tag = quint8(m_buffer.at(at));
        if (!TlvCodec::isDeviceTag(tag))
            return Verdict::NoChain;
        if (at + 1 >= m_buffer.size()) {
            *have = 0;
            *announced = 1;
            return Verdict::Undecided;
        }
        const int length = quint8(m_buffer.at(at + 1));
        if (!TlvCodec::plausibleLength(tag, length))
            return Verdict::NoChain;
        if (at + 2 + length > m_buffer.size()) {
            *have = int(m_buffer.size() - at - 2);
            *announced = length;
            return Verdict::Undecided;
        }
        at += 2 + length;
        if (isPieceStart(at))
            return Verdict::Chain;
        if (at - from > kMaxUndecided)
            return Verdict::NoChain;
    }
}

TlvCodec::Result TlvDecoder::drop(qsizetype upTo, TlvCodec::Loss loss)
{
    TlvCodec::Result result;
    result.outcome = TlvCodec::Outcome::Invalid;
    result.used = upTo - m_start;
    result.loss = loss;
    result.dropped = m_buffer.mid(m_start, result.used);
    m_start = upTo;
    if (m_start == m_buffer.size())
        clearBuffer();
    return result;
}

// Framing is lost: m_start is where the next candidate would begin.
TlvCodec::Result TlvDecoder::hunt(bool deadlinePassed)
{
    TlvCodec::Result result;
    if (buffered() == 0)
        return result;
    int have = 0;
    int announced = 0;
    if (isPieceStart(m_start)) {
        switch (chainAt(m_start, &have, &announced)) {
        case Verdict::Chain:
            m_lost = false;
            return result;   // the caller decodes from here
        case Verdict::Undecided:
            if (!deadlinePassed) {
                result.have = have;
                result.announced = announced;
                return result;
            }
            break;
        case Verdict::NoChain:
            break;
        }
    }
    // Not here: everything up to the next read that may begin a chain goes.
    for (qsizetype at : std::as_const(m_pieces)) {
        if (at <= m_start)
            continue;
        if (chainAt(at, &have, &announced) != Verdict::NoChain)
            return drop(at, TlvCodec::Loss::Resync);
    }
    return drop(m_buffer.size(), TlvCodec::Loss::Resync);
}

TlvCodec::Result TlvDecoder::next(bool deadlinePassed)
{
    if (m_lost) {
        TlvCodec::Result hunted = hunt(deadlinePassed);
        if (m_lost || hunted.outcome != TlvCodec::Outcome::NeedMore)
            return hunted;
        // Found a chain: its first frame is decoded below, in time.
        deadlinePassed = false;
    }
    if (m_stream == FromDevice && buffered() > 0 && !TlvCodec::isDeviceTag(quint8(m_buffer.at(m_start)))) {
        // Nothing at m_start can begin a chain: the hunt drops from here.
        m_lost = true;
        TlvCodec::Result result = hunt(false);
        result.loss = TlvCodec::Loss::UnknownTag;
        return result;
    }
    TlvCodec::Result result = TlvCodec::decode(QByteArrayView(m_buffer).sliced(m_start), deadlinePassed);
    if (result.outcome == TlvCodec::Outcome::Invalid) {
        result.loss = TlvCodec::Loss::Incomplete;
        result.dropped = m_buffer.mid(m_start, result.used);
        m_lost = m_stream == FromDevice;
    }
    m_start += result.used;
    if (m_start == m_buffer.size())
        clearBuffer();
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

void TlvDecoder::clearBuffer()
{
    m_buffer.clear();
    m_pieces.clear();
    m_start = 0;
}

void TlvDecoder::clear()
{
    clearBuffer();
    m_lost = false;
}
