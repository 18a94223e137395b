#pragma once

#include "core/iportworker.h"
#include "core/settings.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSerialPort>

#include <atomic>
#include <exception>
#include <string>

// Sits between the application's serial port and the device's, speaking
// exchange protocol 2 with both: each frame is taken in full from one side
// and handed on to the other. Device frames whose data starts with 0xDA are
// OFD traffic and go to portDataReceived() instead of the application; OFD
// answers are sent to the device behind ofdPrefix and 0xDA.
class ComProxyMorv2 : public IPortWorker
{
    Q_OBJECT
public:
    // Protocol waits in milliseconds; tests shorten the long ones.
    struct Timing
    {
        int cycleDelay = 10;       // between cycles once both ports are open
        int retryDelay = 1000;     // between cycles while a port is closed
        int enqWait = 10;          // receive: wait for the peer's ENQ
        int byteWait = 500;        // answer to ENQ or frame, bytes of a frame
        int frameWait = 5000;      // receive: STX after our ACK
        int nakDelay = 500;        // send: after a NAK to our ENQ
        int devConflictDelay = 500;
        int appConflictDelay = 1000;
    };

    class ExchangeException : public std::exception
    {
    public:
        explicit ExchangeException(int line);
        const char *what() const noexcept override { return m_text.c_str(); }
    private:
        std::string m_text;
    };

    explicit ComProxyMorv2(const ComDeviceSettings &entry, QObject *parent = nullptr);
    ~ComProxyMorv2() override;

    // Before start() only.
    void setTiming(const Timing &timing) { m_timing = timing; }

signals:
    void finished() override;
    void portDataReceived(QByteArray data) override;
    void portConnectionLost() override;
    void portConnectionEstablished() override;

private slots:
    void devError(QSerialPort::SerialPortError error);
    void appError(QSerialPort::SerialPortError error);
    // Declared for the interface's sake; ports are read by exchange() only.
    void readFromDev() {}
    void readFromSoft() {}

public slots:
    void start() override;
    void stop() override;
    void onOfdDataReceived(QByteArray data) override;

private:
    enum class Side { Dev, App };
    struct PortClosed {};   // the port went away under a running exchange

    bool openDevPort();
    bool openAppPort();
    bool openPort(Side side);
    void portError(Side side, QSerialPort::SerialPortError error);

    void relayLoop();
    // Hands a received frame on, and whatever the handing on yields in turn.
    void route(Side from, QByteArray data);

    QByteArray exchange(Side side, const QByteArray &request);
    QByteArray sendFrame(Side side, const QByteArray &request);
    QByteArray receiveFrame(Side side, bool enqSeen);

    void writeByte(Side side, char byte);
    void writeFrame(Side side, const QByteArray &bytes);
    bool readByte(Side side, int timeout, char *byte);

    QSerialPort *port(Side side) const { return side == Side::Dev ? devPort : appPort; }
    static const char *sideName(Side side) { return side == Side::Dev ? "dev" : "app"; }

    void logInfo(const QString &text);
    void logWarn(const QString &text);
    void logError(const QString &text);

    ComDeviceSettings entry;
    Timing m_timing;

    QMutex cycleMutex;
    QSerialPort *devPort = nullptr;
    QMutex devMutex;
    bool devReopen = false;
    QSerialPort *appPort = nullptr;
    QMutex appMutex;
    bool appReopen = false;
    std::atomic<bool> stopRequested{false};
    QMutex ofdMutex;
    QList<QByteArray> ofdQueue;
    QByteArray ofdPrefix;
};
