#pragma once

#include "core/iportworker.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/workerloop.h"
#include "proxy/portopentrouble.h"

#include "proxy/morv2link.h"

#include <QByteArray>
#include <QList>
#include <QSerialPort>


class QTimer;

// Sits between the application's serial port and the device's, speaking
// exchange protocol 2 with both: each frame is taken in full from one side
// and handed on to the other. Device frames whose data starts with 0xDA are
// OFD traffic and go to portDataReceived() instead of the application; OFD
// answers are sent to the device behind ofdPrefix and 0xDA. Each line's
// handshake is a Morv2Link driven by the port's signals and a timer. Both
// lines listen at once with no time limit: an exchange starts on the peer's
// ENQ or when a frame waits for the line, so an idle line costs nothing.
class ComProxyMorv2 : public IPortWorker
{
    Q_OBJECT
public:
    // Protocol waits in milliseconds; tests shorten the long ones.
    struct Timing
    {
        int retryDelay = 1000;     // between attempts to open a port
        int byteWait = 500;        // answer to ENQ or frame, bytes of a frame
        int frameWait = 5000;      // receive: STX after our ACK
        int nakDelay = 500;        // send: after a NAK to our ENQ
        int devConflictDelay = 500;
        int appConflictDelay = 1000;
        // An OFD answer still waiting for the device after this is reported.
        int ofdWaitWarn = 5000;
    };

    explicit ComProxyMorv2(const ComDeviceSettings &entry, QObject *parent = nullptr);
    ~ComProxyMorv2() override;

    // Before start() only.
    void setTiming(const Timing &value) { timing = value; }

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
    void readFromApp() { onReadable(Side::App); }

public slots:
    void start() override;
    void stop() override;
    void onOfdDataReceived(QByteArray data) override;

private:
    enum class Side { Dev, App };

    struct Line
    {
        QSerialPort *port = nullptr;
        Morv2Link link;
        QTimer *timer = nullptr;
        // Frames for this line not begun yet, oldest first; bounded.
        QList<QByteArray> outgoing;
        // The frame being sent; kept when given up for the peer's frame, so
        // that it goes again right after.
        QByteArray current;
        bool currentIsOfd = false;
        bool sending = false;    // the exchange under way sends `current`
        int dropped = 0;         // frames turned away while outgoing was full
        int errorsInRow = 0;
    };

    bool openDevPort();
    bool openAppPort();
    bool openPort(Side side);
    void portError(Side side, QSerialPort::SerialPortError error);
    void openPorts();
    bool linesUp() const;
    void closeLine(Side side);

    // Starts what each line can start, until neither can start more.
    void serviceLines();
    void serviceLine(Side side);
    bool lineFree(Side side) const;
    void onReadable(Side side);
    void onLineTimeout(Side side);
    void apply(Side side, const Morv2Link::Actions &actions);
    void exchangeEnded(Side side, const Morv2Link::Actions &actions);
    void abortExchange(Side side);
    // Hands a received frame on: to the other line, or to the OFD side.
    void route(Side from, const QByteArray &data);
    void enqueue(Side side, const QByteArray &data);
    QByteArray takeOfdAnswer();
    void checkOfdWait();
    void finish();

    bool writeBytes(Side side, const QByteArray &bytes);

    Line &line(Side side) { return side == Side::Dev ? devLine : appLine; }
    const Line &line(Side side) const { return side == Side::Dev ? devLine : appLine; }
    QSerialPort *port(Side side) const { return side == Side::Dev ? devPort : appPort; }
    static const char *sideName(Side side) { return side == Side::Dev ? "dev" : "app"; }
    bool stopping() const { return workerLoop.stopping(); }

    // Logs a failed or a good open of port as part of its run of failures.
    void noteOpen(PortOpenTrouble &trouble, const QString &port, bool opened, const QString &error, bool device);

    ComDeviceSettings entry;
    Timing timing;
    Log log;

    // Everything below lives on the worker's thread; stop() from another
    // thread reaches it as a queued call.
    QSerialPort *devPort = nullptr;
    bool devReopen = false;
    QSerialPort *appPort = nullptr;
    bool appReopen = false;
    WorkerLoop workerLoop{this};
    bool ended = false;
    // OFD answers waiting for the device, oldest first, with the time each
    // came; bounded, see onOfdDataReceived().
    QList<QByteArray> ofdQueue;
    QList<qint64> ofdQueuedAt;
    // Answers turned away while the queue was full, since it last drained.
    int ofdDropped = 0;
    qsizetype ofdDroppedBytes = 0;
    QByteArray ofdPrefix;
    // When the device line has an application frame and an OFD answer
    // waiting, they take turns: neither waits behind a run of the other.
    bool ofdTurn = false;
    QTimer *ofdWaitTimer = nullptr;
    bool ofdWaitReported = false;

    Line devLine;
    Line appLine;
    QTimer *openTimer = nullptr;
    bool inService = false;
    bool serviceAgain = false;
    PortOpenTrouble devTrouble;
    PortOpenTrouble appTrouble;
};
