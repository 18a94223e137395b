#pragma once

#include "ofd/tcpworker.h"
#include "ofd/tlvcodec.h"
#include "ofd/tlvdecoder.h"
#include "core/iworker.h"

#include <QByteArray>
#include <QString>

#include <log4cxx/logger.h>

#include <atomic>

class QEventLoop;
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

    explicit OfdWorker(const QString &id, QObject *parent = nullptr);
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

public slots:
    void pause();
    void unpause();
    void onDataReceived(QByteArray a);

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
    void setupDebugLog();
    void quitLoop();

    OfdChannel channels[2];
    bool waitingForVersion = true;
    std::atomic<bool> stopRequested{false};
    TlvDecoder decoder{TlvDecoder::FromDevice};
    qsizetype framingDropped = 0;   // bytes dropped since framing was lost
    bool paused = false;
    QString deviceName;
    QString debugLoggerName;
    QTimer *versionTimer;
    QTimer *handshakeTimer;
    QTimer *frameTimer;
    QEventLoop *loop = nullptr;

    int frameTimeout = 10000;
    int keepAliveInterval = 300000;
    log4cxx::LoggerPtr log;
    log4cxx::LoggerPtr debugLog;
};
