#pragma once

#include <QByteArray>
#include <QString>

// One frame of exchange protocol 3 and the encoder for it.
//
// On the wire: 0xFE, LEN low (length & 0x7F), LEN high (length >> 7), then
// ID, DATA and a CRC-8 byte, those three escaped (0xFE -> 0xFD 0xEE,
// 0xFD -> 0xFD 0xED). LEN counts the unescaped DATA bytes only.
// Everything here is pure and safe to call from any thread.
struct Morv3Frame
{
    quint8 id = 0;
    // Data length from LEN; a decoder adds one for every escape byte met.
    quint16 length = 0;
    QByteArray data;
    QByteArray crc;
    int state = 0;

    void clear();

    // Builds a frame around payload with the next process-wide frame
    // identifier (0xE0..0xE4, cycling). Returns the wire bytes; record, when
    // given, receives id, length, data and the CRC byte.
    static QByteArray encodeFrame(const QByteArray &payload, Morv3Frame *record = nullptr);
    // The same with a caller-chosen identifier; takes no counter value.
    static QByteArray encodeFrameWithId(quint8 id, const QByteArray &payload, Morv3Frame *record = nullptr);

    // Process-wide counters shared by every protocol-3 proxy: each call
    // yields the next of 0xE0, 0xE1, ..., 0xE4, 0xE0, ...
    static quint8 nextFrameId();
    static quint8 nextTaskId();

    // CRC-8, polynomial 0x31, initial 0xFF, no reflection, no final XOR.
    static quint8 crc8(const QByteArray &bytes);
    static QByteArray escape(const QByteArray &bytes);

    // "id = E0, data = [C2 E0 (2 bytes)], crc = A7 (1 bytes)"
    static QString describe(const Morv3Frame &frame);
};
