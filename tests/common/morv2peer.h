#pragma once

#include <QByteArray>

class PtyPair;

// The far end of a protocol-2 line, played by a test over a pseudo-terminal
// master: a device towards the proxy's device port, an application towards
// its application port. Every call blocks, with the time-out it is given.
class Morv2Peer
{
public:
    explicit Morv2Peer(PtyPair &pty) : m_pty(pty) {}

    enum class Result {
        Ok,
        Conflict,   // our ENQ was answered with ENQ: the other side sends first
        Failed,     // no or a wrong answer within the time-out
    };

    // Sends `data` as one frame: ENQ, ACK awaited, frame, ACK awaited, EOT.
    Result send(const QByteArray &data, int timeoutMs = 10000);
    // Waits for the other side's ENQ and takes one frame, answering as a
    // well-behaved peer. True with the data when a good frame came.
    bool receive(QByteArray *data, int timeoutMs = 10000);
    // The rest of receive() once the ENQ has been read.
    bool receiveAfterEnq(QByteArray *data, int timeoutMs = 10000);

    // Reads one whole frame as it is on the wire (STX .. check byte);
    // empty on time-out. Bytes before the STX are dropped.
    QByteArray readWireFrame(int timeoutMs);
    // Next byte or -1.
    int readByte(int timeoutMs);
    bool write(const QByteArray &bytes);
    bool writeByte(char byte) { return write(QByteArray(1, byte)); }

private:
    PtyPair &m_pty;
};
