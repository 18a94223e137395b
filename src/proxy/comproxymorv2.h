#pragma once

#include "core/iportworker.h"
#include "core/repeatedfailure.h"
#include "core/settings.h"

#include "proxy/morv2link.h"

#include <QByteArray>
#include <QList>
#include <QSerialPort>

#include <atomic>
#include <exception>
#include <string>

class QTimer;

// Sits between the application's serial port and the device's, speaking
// exchange protocol 2 with both: each frame is taken in full from one side
// and handed on to the other. Device frames whose data starts with 0xDA are
// OFD traffic and go to portDataReceived() instead of the application; OFD
// answers are sent to the device behind ofdPrefix and 0xDA. Each line's
// handshake is a Morv2Link driven by the port's signals and a timer; a
// cycle serves the application, then the device, then the OFD answers.
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
    // Frames lost here ("crc", "framing", "overflow"), for the status.
    void framesDropped(const QString &reason, int count);
    // Failing opens of the device port began, go on (attempts > 0) or ended (0).
    void troubleChanged(const QString &text, int attempts, qint64 sinceMs);

private slots:
    void devError(QSerialPort::SerialPortError error);
    void appError(QSerialPort::SerialPortError error);
    void readFromDev() { onReadable(Side::Dev); }
    void readFromSoft() { onReadable(Side::App); }

public slots:
    void start() override;
    void stop() override;
    void onOfdDataReceived(QByteArray data) override;

private:
    enum class Side { Dev, App };
    // Where the relay cycle stands between exchanges.
    enum class Phase {
        Pause,      // between cycles, or a port is being retried
        App,        // taking a frame from the application
        Dev,        // taking a frame from the device
        Ofd,        // sending the OFD answers queued
    };

    struct Line
    {
        QSerialPort *port = nullptr;
        Morv2Link link;
        QTimer *timer = nullptr;
        // Frames to send on this line, oldest first; the one being sent
        // stays first until its exchange has ended.
        QList<QByteArray> outgoing;
        bool sending = false;
        bool busy = false;   // an exchange is under way
        int errorsInRow = 0;
    };

    bool openDevPort();
    bool openAppPort();
    bool openPort(Side side);
    void portError(Side side, QSerialPort::SerialPortError error);

    void cycle();
    void startCycleEarly();
    void next();
    void beginExchange(Side side, const QByteArray &request);
    void onReadable(Side side);
    void onLineTimeout(Side side);
    void apply(Side side, const Morv2Link::Actions &actions);
    void exchangeEnded(Side side, const Morv2Link::Actions &actions);
    void abortExchange(Side side);
    // Hands a received frame on: to the other line, or to the OFD side.
    void route(Side from, const QByteArray &data);
    QByteArray takeOfdAnswer();
    bool ofdHeldBack() const;
    void countDevSend(bool sending, const Morv2Link::Actions &actions);
    void finish();

    bool writeBytes(Side side, const QByteArray &bytes);

    Line &line(Side side) { return side == Side::Dev ? m_dev : m_app; }
    QSerialPort *port(Side side) const { return side == Side::Dev ? devPort : appPort; }
    static const char *sideName(Side side) { return side == Side::Dev ? "dev" : "app"; }
    bool stopping() const { return stopRequested.load(); }

    void logInfo(const QString &text);
    void logWarn(const QString &text);
    void logError(const QString &text);
    // Logs a failed or a good open of port as part of its run of failures.
    void noteOpen(RepeatedFailure &trouble, const QString &port, bool opened, const QString &error, bool device);

    ComDeviceSettings entry;
    Timing m_timing;

    // Everything below lives on the worker's thread; only stopRequested
    // is touched from other threads.
    QSerialPort *devPort = nullptr;
    bool devReopen = false;
    QSerialPort *appPort = nullptr;
    bool appReopen = false;
    std::atomic<bool> stopRequested{false};
    bool m_finished = false;
    // OFD answers waiting for the device, oldest first; bounded, see
    // onOfdDataReceived().
    QList<QByteArray> ofdQueue;
    // Answers turned away while the queue was full, since it last drained.
    int m_ofdDropped = 0;
    qsizetype m_ofdDroppedBytes = 0;
    QByteArray ofdPrefix;
    // Frames the device has failed to take in a row; from a few on, the
    // cycle sends only one OFD answer, so that the application's turn is
    // not pushed back by answers the device does not take.
    int m_devSendFailures = 0;
    bool m_ofdSentThisCycle = false;

    Line m_dev;
    Line m_app;
    Phase m_phase = Phase::Pause;
    QTimer *m_cycleTimer = nullptr;
    Side m_lastSide = Side::App;
    bool m_inNext = false;
    bool m_retrying = false;   // the pause is a port's retry delay
    RepeatedFailure devTrouble;
    RepeatedFailure appTrouble;
};
