#pragma once

#include <QByteArray>

// Link-level framing of exchange protocol 2: STX, the data with every ETX
// and DLE preceded by DLE, ETX, and a check byte that XORs everything after
// STX up to and including ETX as it goes over the wire. Pure: no I/O.
//
// An instance is the receive side of one frame: feed it the bytes that
// follow STX one at a time, then compare the check byte.
class Morv2Frame
{
public:
    static constexpr char STX = 0x02;
    static constexpr char ETX = 0x03;
    static constexpr char EOT = 0x04;
    static constexpr char ENQ = 0x05;
    static constexpr char ACK = 0x06;
    static constexpr char DLE = 0x10;
    static constexpr char NAK = 0x15;

    // Most data bytes a received frame may hold (stuffing not counted).
    static constexpr int kMaxData = 1024;

    // Every ETX and DLE preceded by DLE.
    static QByteArray stuff(const QByteArray &data);
    // XOR of the given bytes, starting from 0.
    static char checkByte(const QByteArray &bytes);
    // The whole frame for `data`: STX, stuffed data, ETX, check byte.
    static QByteArray build(const QByteArray &data);

    enum class Step {
        More,      // byte taken, frame goes on
        End,       // ETX: the check byte comes next
        Overflow,  // more than kMaxData data bytes
    };

    Morv2Frame() = default;

    // Starts a new frame (what follows an STX).
    void reset();
    // Takes one byte after STX. After End or Overflow call reset() first.
    Step feed(char byte);
    // Whether `check` matches everything fed so far.
    bool checkMatches(char check) const { return check == m_xor; }
    // The unstuffed data fed so far.
    const QByteArray &data() const { return m_data; }

    // Whole-frame parse of `wire` (STX .. check byte, nothing after):
    // true and the data when it is a well-formed frame within the limit.
    static bool parse(const QByteArray &wire, QByteArray *data);

private:
    QByteArray m_data;
    char m_xor = 0;
    bool m_dlePending = false;
};
