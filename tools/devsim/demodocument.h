#pragma once

#include <QByteArray>

// The documents the simulated device sends and the replies the stand-in
// server gives. Both sides derive everything from the bytes alone, so the
// device can tell whether a reply came back intact and the server needs no
// state beyond one connection.
//
// Document: "KIVD", sequence number (u32 LE), payload size (u32 LE), payload.
// Reply:    "KIVR", the document's sequence number, body size (u32 LE), body.
// The body's size and bytes follow from a hash of the whole document, so a
// document damaged on its way gives a different reply.
class DemoDocument
{
public:
    static constexpr int kHeaderSize = 12;

    // A document with the given sequence number and payload size.
    static QByteArray make(quint32 sequence, int payloadSize);

    // Total size of the document or reply whose first bytes are given:
    // 0 while fewer than kHeaderSize bytes are there, -1 when the bytes are
    // not a document ("KIVD") or reply ("KIVR") header.
    static qint64 documentSize(const QByteArray &head);
    static qint64 replySize(const QByteArray &head);

    // The reply the stand-in server gives to a whole document.
    static QByteArray replyFor(const QByteArray &document);

    // Payload size of the document with this sequence number, so runs with
    // the same count are the same (between 200 and 1700 bytes).
    static int payloadSizeFor(quint32 sequence);

private:
    static qint64 sizeWithMagic(const QByteArray &head, const char *magic);
};
