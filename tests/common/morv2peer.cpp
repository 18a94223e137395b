#include "morv2peer.h"

#include "proxy/morv2frame.h"
#include "ptypair.h"

#include <QDeadlineTimer>

namespace {
int left(const QDeadlineTimer &deadline)
{
    return int(qMax<qint64>(0, deadline.remainingTime()));
}
} // namespace

int Morv2Peer::readByte(int timeoutMs)
{
    return m_pty.readByte(timeoutMs);
}

bool Morv2Peer::write(const QByteArray &bytes)
{
    return m_pty.write(bytes);
}

Morv2Peer::Result Morv2Peer::send(const QByteArray &data, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    if (!writeByte(Morv2Frame::ENQ))
        return Result::Failed;
    const int answer = readByte(left(deadline));
    if (answer == Morv2Frame::ENQ)
        return Result::Conflict;
    if (answer != Morv2Frame::ACK)
        return Result::Failed;
    if (!write(Morv2Frame::build(data)))
        return Result::Failed;
    if (readByte(left(deadline)) != Morv2Frame::ACK)
        return Result::Failed;
    writeByte(Morv2Frame::EOT);
    return Result::Ok;
}

bool Morv2Peer::receive(QByteArray *data, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const int byte = readByte(left(deadline));
        if (byte < 0)
            return false;
        if (byte == Morv2Frame::ENQ)
            return receiveAfterEnq(data, left(deadline));
    }
}

bool Morv2Peer::receiveAfterEnq(QByteArray *data, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    writeByte(Morv2Frame::ACK);
    const QByteArray wire = readWireFrame(left(deadline));
    QByteArray got;
    if (!Morv2Frame::parse(wire, &got)) {
        writeByte(Morv2Frame::NAK);
        return false;
    }
    writeByte(Morv2Frame::ACK);
    // The sender closes with EOT; take it so it is not read as a stray byte.
    readByte(qMin(left(deadline), 2000));
    if (data)
        *data = got;
    return true;
}

QByteArray Morv2Peer::readWireFrame(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    int byte;
    do {
        byte = readByte(left(deadline));
        if (byte < 0)
            return QByteArray();
    } while (byte != Morv2Frame::STX);

    QByteArray wire(1, Morv2Frame::STX);
    Morv2Frame frame;
    for (;;) {
        byte = readByte(left(deadline));
        if (byte < 0)
            return QByteArray();
        wire.append(char(byte));
        const Morv2Frame::Step step = frame.feed(char(byte));
        if (step == Morv2Frame::Step::End)
            break;
        // Keep reading an over-long frame to its end; the caller judges it.
        if (step == Morv2Frame::Step::Overflow)
            frame.reset();
    }
    byte = readByte(left(deadline));
    if (byte < 0)
        return QByteArray();
    wire.append(char(byte));
    return wire;
}
