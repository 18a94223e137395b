#pragma once

#include <QByteArray>
#include <QList>

// The device's tag-length-value frames, for tests on either side of the
// OFD protocol: tag (1 byte), length L (1 byte), L bytes of value, frames
// back to back with nothing between them.
class TlvStream
{
public:
    struct Frame
    {
        quint8 tag = 0xFF;
        QByteArray value;
        bool operator==(const Frame &other) const { return tag == other.tag && value == other.value; }
    };

    // One frame; the value is cut to 255 bytes, the most a length byte holds.
    static QByteArray frame(quint8 tag, const QByteArray &value = QByteArray());
    // A 16-bit number as the protocol writes it (little-endian).
    static QByteArray port(quint16 port);

    // Appends received bytes; complete frames become available to next().
    void append(const QByteArray &bytes);
    // Takes the next complete frame; false while none is complete.
    bool next(Frame *frame);
    // Takes every complete frame.
    QList<Frame> takeAll();
    // Bytes of an incomplete frame still waiting for the rest.
    QByteArray pending() const { return m_buffer; }

    // Splits a byte array that holds whole frames; a cut-off tail is
    // reported through rest when given.
    static QList<Frame> parse(const QByteArray &bytes, QByteArray *rest = nullptr);

private:
    QByteArray m_buffer;
};
