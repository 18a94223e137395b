#pragma once

#include "ofd/tcpworker.h"
#include "core/iworker.h"

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QString>

#include <log4cxx/logger.h>

#include <atomic>

class QThread;
class QTimer;

// The host side of the device's TLV protocol: cuts the device's byte stream
// into frames, keeps up the version handshake and drives up to two TCP
// channels to OFD servers on the device's commands.
class OfdWorker : public IWorker
{
    Q_OBJECT
public:
    // One frame: tag, length byte, value.
    struct TlvCommand
    {
        TlvCommand() = default;
        TlvCommand(quint8 tag, const QByteArray &value) : tag(tag), value(value) {}
        quint8 tag = 0xFF;
        QByteArray value;
    };

    enum Tag : quint8 {
        RxRequestVersion = 0x01,
        RxResponseVersion = 0x02,
        RxConnectState0 = 0x10,
        RxConnectState1 = 0x11,
        RxData0 = 0x20,
        RxData1 = 0x21,
        TxResponseVersion = 0x40,
        TxDns = 0x41,
        TxRequestVersion = 0x42,
        TxPacketSize0 = 0x50,
        TxPacketSize1 = 0x51,
        TxPort0 = 0x60,
        TxPort1 = 0x61,
        TxConnect0 = 0x70,
        TxConnect1 = 0x71,
        TxConnect0Close = 0x80,
        TxConnect1Close = 0x81,
        TxData0 = 0x90,
        TxData1 = 0x91,
        TxLog = 0xA0
    };

    explicit OfdWorker(const QString &id, QObject *parent = nullptr);
    ~OfdWorker() override;

    static QString commandName(quint8 tag);
    static QByteArray encodeFrame(const TlvCommand &command);

    // Time limits, for tests; set before start(). The channel limits apply
    // to both TCP channels.
    void setFrameTimeout(int ms) { frameTimeout.store(ms); }
    void setKeepAliveInterval(int ms) { keepAliveInterval.store(ms); }
    void setConnectTimeout(int ms);
    void setDrainTimeout(int ms);
    void setReadLimit(qsizetype bytes);

signals:
    void sendData(QByteArray a);
    void sendToTcp0(QByteArray a);
    void sendToTcp1(QByteArray a);
    void finished() override;

public slots:
    void pause();
    void unpause();
    void onDataReceived(QByteArray a);
    void onConnectionStateChanged(TcpWorker::ConnectionState state);

private slots:
    void sendVersionRequest();

public slots:
    void start() override;
    void stop() override;

private:
    struct OfdChannel
    {
        TcpWorker *worker = nullptr;
        QThread *thread = nullptr;
        bool lost = false;
        int packetSize = 0;
        quint8 stateTag = RxConnectState0;
        // The end of the current connection has been taken; later reports
        // of the same end are repeats.
        bool ended = false;
    };

    bool onOwnThread() const;
    QByteArray takeBytes(int count, bool exact);
    bool readCommand(TlvCommand &command);
    void sendCommand(const TlvCommand &command);
    void handleCommand(const TlvCommand &command);
    void connectChannel(int n, const QByteArray &value);
    void closeChannel(int n);
    void writeDeviceLog(const QByteArray &value);
    void restartVersionTimer();
    void createChannel(int n);
    void resetChannels();
    void setupDebugLog();
    bool channelsHaveData() const;

    QMap<int, OfdChannel> channels;
    std::atomic<bool> waitingForVersion{true};
    std::atomic<bool> stopRequested{false};
    QByteArray receiveBuffer;
    QMutex bufferLock;
    QMutex cycleLock;
    std::atomic<bool> paused{false};
    QString deviceName;
    QString debugLoggerName;
    QTimer *versionTimer = nullptr;

    std::atomic<int> frameTimeout{10000};
    std::atomic<int> keepAliveInterval{300000};
    log4cxx::LoggerPtr log;
    log4cxx::LoggerPtr debugLog;
};
