#pragma once

#include "core/iportworker.h"
#include "core/log.h"
#include "core/repeatedfailure.h"
#include "core/settings.h"
#include "core/workerloop.h"

#include <QByteArray>
#include <QString>
#include <QThread>

#include <deque>

#include <libusb-1.0/libusb.h>

class UsbLib;

// Port worker of a device on USB: opens its data interface and moves raw
// bytes between its bulk endpoints and the paired OfdWorker.
//
// All state below lives on the worker's thread. Reads and writes block in
// libusb on a read thread and a write thread of the worker's own, one
// transfer at a time each; each result comes back as a queued call. So a
// device that stops taking OUT transfers holds up neither its reads nor the
// worker. The handle is closed only while no transfer is in flight.
//
// Frames for the device wait in an outbox of at most kOutboxFrames frames
// and kOutboxBytes bytes. Over either bound the oldest version requests go
// first (the partner repeats them every second while the device is silent),
// then the oldest frames; the drops are counted in one WARN when the write
// that held them up ends.
// Frames that come while the link is down are dropped and counted in one
// WARN when the link is back or the worker ends.
class UsbWorker : public IPortWorker
{
    Q_OBJECT
public:
    explicit UsbWorker(const UsbDeviceSettings &entry, QObject *parent = nullptr);
    ~UsbWorker() override;

    // Fixed by the device's firmware.
    static constexpr quint16 kVendorId = 0x2912;
    static constexpr int kInterface = 3;
    static constexpr int kFallbackInterface = 2;
    static constexpr quint8 kOutEndpoint = 0x0A;
    static constexpr quint8 kInEndpoint = 0x8B;
    static constexpr quint8 kFallbackOutEndpoint = 0x02;
    static constexpr quint8 kFallbackInEndpoint = 0x83;
    static constexpr int kReadSize = 64;
    static constexpr unsigned kTransferTimeoutMs = 1000;
    static constexpr int kOpenRetryMs = 2000;
    static constexpr int kLostPauseMs = 10000;
    static constexpr int kHotplugOpenAttempts = 3;
    // Errors in a row, with no good read since the open, after which the
    // device counts as gone (otherwise a dead handle is polled forever).
    static constexpr int kEarlyErrorLimit = 10;
    // The outbox: 32 frames of the largest TLV frame (257 bytes) fit.
    static constexpr int kOutboxFrames = 32;
    static constexpr qsizetype kOutboxBytes = 8192;

    // The read thread's object.
    QList<QObject *> threadContexts() override { return {&readContext, &writeContext}; }

    // Shorter pauses for tests; the defaults above otherwise.
    void setPauses(int openRetryMs, int lostPauseMs);

signals:
    void finished() override;
    void portDataReceived(QByteArray data) override;
    void portConnectionLost() override;
    void portConnectionEstablished() override;
    // Failing opens began, go on (attempts > 0) or ended (0).
    void troubleChanged(const QString &text, int attempts, qint64 sinceMs);
    // Frames for the device dropped: "overflow" (outbox full) or "link" (link down).
    void framesDropped(const QString &reason, int count);

public slots:
    void start() override;
    // Only asks: the worker ends once its pending read returns.
    void stop() override;
    void onOfdDataReceived(QByteArray data) override;

    // The device has (re)appeared on this worker's port: any pause or wait
    // before the next open ends now, and the attempts start afresh. Runs on
    // the worker's thread; false when the worker is ending and will not
    // open the device again.
    Q_INVOKABLE bool reopen();

private:
    enum class LinkState {
        Closed, // no device open; the next turn of the loop opens it
        Open,   // device open, one read in flight, at most one write
        Losing, // loss reported; closed once the transfers in flight return
        Paused, // closed after a loss; back to Closed when the pause ends
    };

    bool openDevice();
    void closeDevice();
    void requestRead();
    void onReadDone(int result, const QByteArray &data);
    void queueFrame(const QByteArray &data);
    void sendNext();
    void onWriteDone(int result, int sent, int cleared, const QByteArray &data);
    void dropOutbox();
    void reportDrops();
    void reportLinkDrops();
    bool transfersPending() const { return readPending || writePending; }
    void loseLink();
    void closeAfterLoss();
    void waitUnlessStopped(int ms);
    void releaseList();
    void acquireContext();
    void releaseContext();
    quint8 inEndpoint() const;
    quint8 outEndpoint() const;
    void logOpenError(const QString &text) const;
    void noteOpen(bool opened);

    UsbLib *lib;
    Log log;
    WorkerLoop workerLoop;
    libusb_device_handle *handle = nullptr;
    QString lastError;
    LinkState state = LinkState::Closed;
    bool readPending = false;
    bool writePending = false;
    bool reopenRequested = false;
    bool gaveUp = false;
    int failedOpens = 0;
    bool transferOk = false;
    UsbDeviceSettings entry;
    libusb_device **deviceList = nullptr;
    // The one shared by all workers (UsbLib::sharedContext()); held from
    // start() until the worker ends, null while not held.
    libusb_context *context = nullptr;
    bool contextFailed = false;
    bool useInterface2 = false;

    int openRetryMs = kOpenRetryMs;
    int lostPauseMs = kLostPauseMs;
    int earlyErrors = 0;
    RepeatedFailure openTrouble;

    std::deque<QByteArray> outbox;
    qsizetype outboxBytes = 0;
    // Dropped over the outbox bounds since the last report.
    int droppedVersionRequests = 0;
    int droppedFrames = 0;
    // Dropped while the link was down since the last report.
    int linkDroppedFrames = 0;
    qsizetype linkDroppedBytes = 0;

    // Where the blocking transfers run; each context lives in its thread.
    QThread readThread;
    QObject readContext;
    QThread writeThread;
    QObject writeContext;
};
