#pragma once

#include "ofd/tlvcodec.h"
#include "ofd/tlvdecoder.h"

#include <QByteArray>
#include <QList>

// The device's tag-length-value frames, for tests on either side of the
// OFD protocol, cut by the service's own decoder.
class TlvStream
{
public:
    using Frame = TlvFrame;

    // One frame; the value is cut to 255 bytes, the most a length byte holds.
    static QByteArray frame(quint8 tag, const QByteArray &value = QByteArray()) { return TlvCodec::encode(tag, value); }
    // A 16-bit number as the protocol writes it (little-endian).
    static QByteArray port(quint16 port) { return TlvCodec::port(port); }

    // Appends received bytes; complete frames become available to next().
    void append(const QByteArray &bytes) { m_decoder.feed(bytes); }
    // Takes the next complete frame; false while none is complete.
    bool next(Frame *frame) { return m_decoder.take(frame); }
    // Takes every complete frame.
    QList<Frame> takeAll();
    // Bytes of an incomplete frame still waiting for the rest.
    QByteArray pending() const { return m_decoder.pending(); }

    // Splits a byte array that holds whole frames; a cut-off tail is
    // reported through rest when given.
    static QList<Frame> parse(const QByteArray &bytes, QByteArray *rest = nullptr);

private:
    TlvDecoder m_decoder;
};
