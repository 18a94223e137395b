#include "proxy/morv3decoder.h"

namespace {

constexpr quint8 kStx = 0xFE;
constexpr quint8 kEscape = 0xFD;

enum State { Idle = 0, LenLow = 1, LenHigh = 2, Id = 3, Data = 4, Crc = 5 };

quint8 unescape(quint8 b)
{
    if (b == 0xEE)
        return 0xFE;
    if (b == 0xED)
        return 0xFD;
    return b;
}

} // namespace

Morv3Decoder::Morv3Decoder(Side side) : m_side(side) {}

void Morv3Decoder::clear()
{
    m_frame.clear();
    m_raw.clear();
    m_escapePending = false;
}

bool Morv3Decoder::feed(quint8 b)
{
    if (m_frame.state == Idle) {
        if (b != kStx)
            return false;
        m_raw.clear();
        m_raw.append(char(b));
        m_frame.clear();
        m_escapePending = false;
        m_frame.state = LenLow;
        return false;
    }

    m_raw.append(char(b));
    switch (m_frame.state) {
    case LenLow:
        m_frame.state = LenHigh;
        return false;
    case LenHigh: {
        const quint8 low = quint8(m_raw.at(m_raw.size() - 2));
        m_frame.length = quint16((low & 0x7F) + b * 128);
        m_frame.state = Id;
        return false;
    }
    case Id:
        m_frame.id = b;
        m_frame.state = Data;
        // A frame without data goes straight to its CRC byte; otherwise the
        // CRC would be taken as data and the frame would never end.
        toCrcIfDataComplete();
        return false;
    case Data:
        feedData(b);
        return false;
    case Crc:
        return feedCrc(b);
    default:
        clear();
        return false;
    }
}

void Morv3Decoder::toCrcIfDataComplete()
{
    if (int(m_frame.length) + 4 == m_raw.size())
        m_frame.state = Crc;
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
    m_frame.state = Idle;
    return true;
}
