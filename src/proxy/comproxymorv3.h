#pragma once

#include "proxy/morv3decoder.h"
#include "core/iportworker.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/workerloop.h"
#include "proxy/portopentrouble.h"

#include <QSerialPort>

class QTimer;

// Relays exchange protocol 3 between the application's and the device's
// serial ports and carries the device's OFD traffic: it keeps a listening
// task open in the device, takes asynchronous OFD frames (ID 0xF0, marker
// 0xDA) out of the stream for the OfdWorker and submits the OfdWorker's
// answers to the device as tasks.
class ComProxyMorv3 : public IPortWorker
{
    Q_OBJECT
public:
    // Protocol timers and waits; tests shorten them.
    struct Timings
    {
        int pollMs = 30000;       // poll of the listening task
        int watchdogMs = 40000;   // device silence before a reopen
        int openWaitMs = 3000;    // before and after opening the device port
        int retryMs = 1000;       // between failed opens
        // Most bytes left waiting in a port's write buffer; a frame that
        // would go beyond it is dropped. A few seconds of the device's line.
        qint64 maxPendingBytes = 16 * 1024;
    };

    explicit ComProxyMorv3(const ComDeviceSettings &entry, QObject *parent = nullptr);
    ~ComProxyMorv3() override;

    // Call before start().
    void setTimings(const Timings &value) { timings = value; }

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
    void readFromDev();
    void readFromApp();
    void updateAsyncRequest();
    void doReconnect();

public slots:
    void start() override;
    void stop() override;
    void onOfdDataReceived(QByteArray data) override;

private:
    // Where the device port stands; the stage timer moves it on.
    enum class DevStage {
        Closed,   // not opened yet, or stopping
        Closing,  // to be closed at the next turn of the event loop
        Waiting,  // closed, waiting before the next open
        Settling, // open, waiting for the device to settle
        Ready,    // open and started up: frames may be written
    };

    void scheduleDevOpen();
    void onDevStageTimer();
    void ensureAppPort();
    bool openDevPort();
    void openAppPort();
    void deviceStartup();
    void restartListening();
    void closePort(QSerialPort *port);
    // Over a port's write bound: frames dropped since it was last under it.
    struct Overflow
    {
        int frames = 0;
        qint64 bytes = 0;
    };
    enum class Write { Done, NotOpen, Full, Failed };
    // Hands a whole frame to the port, or says why not; a full buffer is
    // reported here, once per episode.
    Write writeFrame(QSerialPort *port, const QByteArray &bytes);
    // Builds one request frame, writes it to the device and logs it.
    // Returns the frame identifier, or 0xFF when it was not written.
    quint8 sendRequest(const QByteArray &payload);
    // Writes an application frame to the device; "-->" only once written.
    void forwardToDevice(const QString &text);
    void acknowledge(quint8 task);
    void acknowledgeAll();
    void handleDevFrame();
    void handleAppFrame();
    void deviceLost();
    void droppedBroken(const QString &side, const QByteArray &bytes, int *count);
    bool stopping() const { return workerLoop.stopping(); }
    // Open, settled and cleared: frames may be written to the device.
    bool devReady() const { return devStage == DevStage::Ready; }

    // Logs a failed or a good open of port as part of its run of failures.
    void noteOpen(PortOpenTrouble &trouble, const QString &port, bool opened, const QString &error, bool device);

    ComDeviceSettings entry;
    Timings timings;
    Log log;

    // Everything below lives on the worker's thread; stop() from another
    // thread reaches it as a queued call.
    QSerialPort *devPort = nullptr;
    Morv3Decoder devFrame{Morv3Decoder::DeviceSide};
    bool devReopen = false;
    DevStage devStage = DevStage::Closed;
    QTimer *devStageTimer = nullptr;
    int devBroken = 0;   // broken frames in a row, for a bounded log

    QSerialPort *appPort = nullptr;
    Morv3Decoder appFrame{Morv3Decoder::ApplicationSide};
    bool appReopen = false;
    QTimer *appRetryTimer = nullptr;
    int appBroken = 0;

    Overflow devOverflow;
    Overflow appOverflow;

    WorkerLoop workerLoop{this};
    bool firstRead = true;
    quint8 listenTaskId = 0xFF;
    quint8 pendingPollId = 0xFF;
    quint8 pendingAbortId = 0xFF;

    QTimer *pollTimer = nullptr;
    QTimer *watchdogTimer = nullptr;
    PortOpenTrouble devTrouble;
    PortOpenTrouble appTrouble;
};
