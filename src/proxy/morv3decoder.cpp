#include "proxy/morv3decoder.h"

namespace {

constexpr quint8 kStx = 0xFE;
constexpr quint8 kEscape = 0xFD;

using State = Morv3Decoder::State;

quint8 unescape(quint8 b)
{
    if (b == 0xEE)
        return 0xFE;
    if (b == 0xED)
        return 0xFD;
    return b;
}

QByteArray unescapeAll(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    bool pending = false;
    for (char c : bytes) {
        const quint8 b = quint8(c);
        if (b == kEscape && !pending) {
            pending = true;
            continue;
        }
        out.append(char(pending ? unescape(b) : b));
        pending = false;
    }
    return out;
}

} // namespace

Morv3Decoder::Morv3Decoder(Side side) : m_side(side) {}

void Morv3Decoder::clear()
{
    m_frame.clear();
    m_raw.clear();
    m_escapePending = false;
}

void Morv3Decoder::begin(quint8 stx)
{
    m_raw.clear();
    m_raw.append(char(stx));
    m_frame.clear();
    m_escapePending = false;
    m_frame.state = int(State::LenLow);
}

Morv3Decoder::Outcome Morv3Decoder::step(quint8 b)
{
    const State state = State(m_frame.state);
    if (state == State::Idle) {
        if (b == kStx)
            begin(b);
        return Outcome::NeedMore;
    }

    if (b == kStx && state != State::LenLow && state != State::LenHigh) {
        m_broken = m_raw;
        begin(b);
        return Outcome::Invalid;
    }

    m_raw.append(char(b));
    switch (state) {
    case State::LenLow:
        m_frame.state = int(State::LenHigh);
        return Outcome::NeedMore;
    case State::LenHigh: {
        const quint8 low = quint8(m_raw.at(m_raw.size() - 2));
        m_frame.length = quint16((low & 0x7F) + b * 128);
        m_frame.state = int(State::Id);
        return Outcome::NeedMore;
    }
    case State::Id:
        // The encoder escapes ID like DATA and CRC; the escape byte counts
        // towards the raw size the same way.
        if (b == kEscape && !m_escapePending) {
            ++m_frame.length;
            m_escapePending = true;
            return Outcome::NeedMore;
        }
        m_frame.id = m_escapePending ? unescape(b) : b;
        m_escapePending = false;
        m_frame.state = int(State::Data);
        // A frame without data goes straight to its CRC byte; otherwise the
        // CRC would be taken as data and the frame would never end.
        toCrcIfDataComplete();
        return Outcome::NeedMore;
    case State::Data:
        feedData(b);
        return Outcome::NeedMore;
    case State::Crc:
        return feedCrc(b) ? Outcome::Complete : Outcome::NeedMore;
    case State::Idle:
        break;
    }
    clear();
    return Outcome::NeedMore;
}

void Morv3Decoder::toCrcIfDataComplete()
{
    if (int(m_frame.length) + 4 == m_raw.size())
        m_frame.state = int(State::Crc);
}

void Morv3Decoder::feedData(quint8 b)
{
    if (m_side == DeviceSide) {
        if (b == kEscape) {
            ++m_frame.length;
            m_escapePending = true;
            return;
        }
        if (m_escapePending)
            b = unescape(b);
        m_escapePending = false;
        m_frame.data.append(char(b));
        toCrcIfDataComplete();
        return;
    }

    m_frame.data.append(char(b));
    if (b == kEscape) {
        ++m_frame.length;
        return;
    }
    toCrcIfDataComplete();
}

bool Morv3Decoder::feedCrc(quint8 b)
{
    if (m_side == DeviceSide) {
        if (b == kEscape) {
            m_escapePending = true;
            return false;
        }
        if (m_escapePending)
            b = unescape(b);
        m_escapePending = false;
        m_frame.crc.append(char(b));
    } else {
        m_frame.crc.append(char(b));
        if (b == kEscape)
            return false;
    }
    m_frame.state = int(State::Idle);
    return true;
}

bool Morv3Decoder::crcMatches() const
{
    if (m_frame.crc.isEmpty())
        return false;
    QByteArray covered(1, char(m_frame.id));
    if (m_side == DeviceSide) {
        covered += m_frame.data;
        return Morv3Frame::crc8(covered) == quint8(m_frame.crc.at(0));
    }
    covered += unescapeAll(m_frame.data);
    const QByteArray crc = unescapeAll(m_frame.crc);
    return crc.size() == 1 && Morv3Frame::crc8(covered) == quint8(crc.at(0));
}
