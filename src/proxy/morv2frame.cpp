#include "proxy/morv2frame.h"

QByteArray Morv2Frame::stuff(const QByteArray &data)
{
    QByteArray out;
    out.reserve(data.size() + data.size() / 8 + 2);
    for (char byte : data) {
        if (byte == ETX || byte == DLE)
            out.append(DLE);
        out.append(byte);
    }
    return out;
}

char Morv2Frame::checkByte(const QByteArray &bytes)
{
    char x = 0;
    for (char byte : bytes)
        x ^= byte;
    return x;
}

QByteArray Morv2Frame::build(const QByteArray &data)
{
    QByteArray body = stuff(data);
    body.append(ETX);
    const char check = checkByte(body);
    body.prepend(STX);
    body.append(check);
    return body;
}

void Morv2Frame::reset()
{
    m_data.clear();
    m_xor = 0;
    m_dlePending = false;
}

Morv2Frame::Step Morv2Frame::feed(char byte)
{
    m_xor ^= byte;
    if (m_dlePending) {
        m_dlePending = false;
        m_data.append(byte);
    } else if (byte == DLE) {
        m_dlePending = true;
    } else if (byte == ETX) {
        return Step::End;
    } else {
        m_data.append(byte);
    }
    return m_data.size() > kMaxData ? Step::Overflow : Step::More;
}

bool Morv2Frame::parse(const QByteArray &wire, QByteArray *data)
{
    if (wire.size() < 3 || wire.at(0) != STX)
        return false;
    Morv2Frame frame;
    for (qsizetype i = 1; i < wire.size(); ++i) {
        switch (frame.feed(wire.at(i))) {
        case Step::More:
            break;
        case Step::Overflow:
            return false;
        case Step::End:
            if (i + 2 != wire.size() || !frame.checkMatches(wire.at(i + 1)))
                return false;
            if (data)
                *data = frame.data();
            return true;
        }
    }
    return false;
}
