#pragma once

#include "ofd/sessionrecord.h"
#include "ofd/tcpworker.h"
#include "ofd/tlvcodec.h"
#include "ofd/tlvdecoder.h"
#include "core/iworker.h"
#include "core/log.h"
#include "core/workerloop.h"

#include <QByteArray>
#include <QString>

#include <log4cxx/logger.h>


class QTimer;

// The host side of the device's TLV protocol: cuts the device's byte stream
// into frames, keeps up the version handshake and drives up to two TCP
// channels to OFD servers on the device's commands. Everything runs on the
// worker's own thread, woken by the device's bytes, the channels' signals
// and the protocol's timers.
class OfdWorker : public IWorker
{
    Q_OBJECT
public:
    using TlvCommand = TlvFrame;
    using Tag = TlvCodec::Tag;

    // The device's side of the link as this worker sees it.
    enum LinkState { Down = 0, Handshake, Ready, Exchanging };
    Q_ENUM(LinkState)
    // Byte counts of running sessions are told at most this often.
    static constexpr int kTrafficReportMs = 250;

    // debugLogger receives the device's own log (TX_LOG frames).
    explicit OfdWorker(const QString &id, log4cxx::LoggerPtr debugLogger = nullptr, QObject *parent = nullptr);
    ~OfdWorker() override;

    static QString commandName(quint8 tag) { return TlvCodec::tagName(tag); }
    static QByteArray encodeFrame(const TlvCommand &command) { return TlvCodec::encode(command); }

    // Time limits, for tests; set before start(). The channel limits apply
    // to both TCP channels.
    void setFrameTimeout(int ms) { frameTimeout = ms; }
    void setKeepAliveInterval(int ms) { keepAliveInterval = ms; }
    void setConnectTimeout(int ms);
    void setDrainTimeout(int ms);
    void setReadLimit(qsizetype bytes);
    void setWriteLimit(qsizetype bytes);
    // The channel's connection, for tests that replace its look-up.
    TcpWorker *channelWorker(int n) const { return channels[n & 1].worker; }

signals:
    void sendData(QByteArray a);
    void finished() override;
    void linkStateChanged(int state);
    // A channel's state changed (at once) or its bytes moved (coalesced).
    void channelChanged(const SessionRecord &record);
    // A session ended; its line is logged.
    void sessionClosed(const SessionRecord &record);
    void framesDropped(const QString &reason, int count);
    // The device's last frame, told with the byte counts.
    void frameSeen(qint64 atMs);
    // A repeating connect failure began, goes on or ended (attempts 0).
    void troubleChanged(const QString &text, int attempts, qint64 sinceMs);

public slots:
    void pause();
    void unpause();
    void onDataReceived(QByteArray a);
    // The cause given to sessions cut by the coming stop ("reload").
    void setStopCause(const QString &cause) { stopCause = cause; }

private slots:
    void sendVersionRequest();

public slots:
    // Runs the worker's event loop until stop(); returns after finished().
    void start() override;
    // Asks the loop to end; any thread.
    void stop() override;

private:
    enum class ChannelState {
        Idle,       // no connection; the device's data for it is dropped
        Connecting, // TX_CONNECT taken; look-up and connect run; data is kept for it
        Connected,  // RX_CONNECT_STATE 01 sent; bytes flow both ways
        Closing,    // the device closed it; unsent bytes drain, then RX_CONNECT_STATE 00
        Lost        // it ended; its last bytes go out on grants, then RX_CONNECT_STATE 00
    };

    struct OfdChannel
    {
        TcpWorker *worker = nullptr;
        ChannelState state = ChannelState::Idle;
        int packetSize = 0;
        quint8 stateTag = TlvCodec::RxConnectState0;
        SessionRecord session;
    };

    void processFrames();
    void onFrameTimeout();
    // Bytes the decoder dropped: said once per episode of lost framing.
    void framingLost(const TlvCodec::Result &result);
    void sendCommand(const TlvCommand &command);
    void handleCommand(const TlvCommand &command);
    void connectChannel(int n, const QByteArray &value);
    void closeChannel(int n);
    void writeChannel(int n, const QByteArray &value);
    void onChannelState(int n, TcpWorker::ConnectionState state);
    void deliver(int n);
    void writeDeviceLog(const QByteArray &value);
    void restartVersionTimer();
    void createChannel(int n);
    void resetChannels();
    void beginSession(int n);
    void endSession(int n, const QString &cause);
    SessionRecord snapshot(int n) const;
    void publish(int n);
    void noteTraffic();
    void publishTraffic();
    void updateLink();

    OfdChannel channels[2];
    bool waitingForVersion = true;
    WorkerLoop workerLoop{this};
    TlvDecoder decoder{TlvDecoder::FromDevice};
    qsizetype framingDropped = 0;   // bytes dropped since framing was lost
    bool paused = false;
    QString deviceName;
    QTimer *versionTimer;
    QTimer *handshakeTimer;
    QTimer *frameTimer;
    QTimer *trafficTimer;
    int sessionCount = 0;
    qint64 lastFrameMs = 0;
    qint64 toldFrameMs = 0;
    int linkState = -1;
    QString stopCause = QStringLiteral("stop");

    int frameTimeout = 10000;
    int keepAliveInterval = 300000;
    Log log;
    Log debugLog;
};
