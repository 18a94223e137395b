#pragma once

#include "ofd/tlvdecoder.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <random>

class QTcpSocket;
class QTimer;

// The device's side of the OFD stream for timing round trips: after the
// version handshake it opens channel 0 to an echo server, keeps a grant
// standing (renewed after every RX_DATA0) and sends the same payload in one
// TX_DATA0 again and again, timing each from sending to the whole echo
// back. Each round also sends the payload straight to the server over TCP
// and times that echo too, for comparison. Rounds start after a random
// pause so they do not fall into step with any timer of the service.
class EchoRounds : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QByteArray host = "127.0.0.1";
        quint16 port = 0;
        int rounds = 300;
        int size = 64;
        int grant = 127;
        quint32 seed = 13;
        int minPauseMs = 2;
        int maxPauseMs = 8;
        int roundTimeoutMs = 10000;
        int connectTimeoutMs = 30000;
    };

    struct Sample
    {
        int round = 0;
        qint64 serviceUs = 0;
        qint64 directUs = 0;
    };

    explicit EchoRounds(const Options &options, QObject *parent = nullptr);

    // Bytes of the stream from the service, in any split.
    void receive(const QByteArray &bytes);

    const QList<Sample> &samples() const { return m_samples; }
    bool done() const { return m_state == State::Done || m_state == State::Failed; }
    bool ok() const { return m_state == State::Done; }
    QString failure() const { return m_failure; }
    // RX_DATA0 chunks larger than the grant they answered.
    int grantViolations() const { return m_grantViolations; }
    QByteArray payload() const { return m_payload; }
    QString summaryText() const;

signals:
    // Frames for the service.
    void send(const QByteArray &tlv);
    void firstHandshake();
    void sampleTaken(const EchoRounds::Sample &sample);
    void finished();

private:
    enum class State {
        Waiting,    // for the service's first version request
        Connecting, // channel 0 and the direct connection on their way
        Pausing,    // between two timed echoes
        ViaService, // payload sent as TX_DATA0, its echo coming in RX_DATA0
        Direct,     // payload sent straight to the server, its echo coming back
        Done,       // every round taken
        Failed      // stopped; failure() says why
    };

    void onFrame(quint8 tag, const QByteArray &value);
    void onDirectConnected();
    void onDirectBytes();
    void maybeStart();
    void pause();
    void onPauseOver();
    void fail(const QString &why);

    Options m_options;
    State m_state = State::Waiting;
    // The timed leg the current pause leads to.
    State m_nextLeg = State::ViaService;
    TlvDecoder m_decoder;
    std::mt19937 m_random;
    QByteArray m_payload;
    QByteArray m_echo;
    QTcpSocket *m_direct;
    QTimer *m_pause;
    QTimer *m_deadline;
    QElapsedTimer m_clock;
    Sample m_current;
    QList<Sample> m_samples;
    bool m_linkUp = false;
    bool m_channelUp = false;
    bool m_directUp = false;
    int m_grantViolations = 0;
    int m_grantOut = 0;
    QString m_failure;
};

Q_DECLARE_METATYPE(EchoRounds::Sample)
