#pragma once

#include "ofd/tlvdecoder.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

class QTimer;

// The fiscal device's side of the OFD stream (the U2E TLV frames: tag,
// length, value). Answers the service's version requests; then, for each
// document: names the server (TX_PORT0, TX_CONNECT0), waits for the
// connection, sends the document (TX_DATA0), grants the reply chunk by
// chunk (TX_PACKET_SIZE0) until all of it has arrived, checks it and closes
// (TX_CONNECT0_CLOSE), with a few TX_LOG messages on the way.
class TlvDevice : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QByteArray host = "127.0.0.1";
        quint16 port = 0;
        int documents = 5;
        int documentTimeoutMs = 30000;
        // Grants vary over most of what the one length byte can say.
        int smallestGrant = 64;
        int largestGrant = 255;
        int closeWaitMs = 3000;
        int gapMs = 100;
    };

    struct DocumentResult
    {
        quint32 sequence = 0;
        int bytesSent = 0;
        int replyBytes = 0;
        bool sent = false;   // the service connected and took the document
        bool intact = false; // the whole reply arrived and is the right one
        qint64 roundTripMs = -1;
        QString failure;
    };

    explicit TlvDevice(const Options &options, QObject *parent = nullptr);

    // Bytes of the stream from the service, in any split.
    void receive(const QByteArray &bytes);

    const QList<DocumentResult> &results() const { return m_results; }
    bool linkUp() const { return m_linkUp; }
    bool done() const { return m_state == State::Done; }
    // The service's own version, as it answered TX_REQUEST_VERSION (0: no answer).
    int hostVersion() const { return m_hostVersion; }
    int versionRequests() const { return m_versionRequests; }
    // RX_DATA0 chunks larger than the grant they answered, and chunks with no grant out.
    int grantViolations() const { return m_grantViolations; }
    int chunks() const { return m_chunks; }

signals:
    // Frames for the service.
    void send(const QByteArray &tlv);
    void firstHandshake();
    void documentFinished(const TlvDevice::DocumentResult &result);
    void finished();

private:
    enum class State { Waiting, Between, Connecting, Receiving, Closing, Done };

    void onFrame(quint8 tag, const QByteArray &value);
    void startDocument();
    void finishDocument(bool intact, const QString &failure);
    void grant();
    void onTimeout();
    void next();

    Options m_options;
    QTimer *m_timer;
    State m_state = State::Waiting;
    TlvDecoder m_decoder;
    QByteArray m_document;
    QByteArray m_reply;
    DocumentResult m_current;
    QElapsedTimer m_roundTrip;
    QList<DocumentResult> m_results;
    int m_grant = 0;
    int m_grantStep = 0;
    bool m_linkUp = false;
    int m_hostVersion = 0;
    int m_versionRequests = 0;
    int m_grantViolations = 0;
    int m_chunks = 0;
};

Q_DECLARE_METATYPE(TlvDevice::DocumentResult)
