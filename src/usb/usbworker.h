#pragma once

#include "core/iportworker.h"
#include "core/repeatedfailure.h"
#include "core/settings.h"

#include <QByteArray>
#include <QString>
#include <QThread>

#include <libusb-1.0/libusb.h>
#include <log4cxx/logger.h>

class UsbLib;

// Port worker of a device on USB: opens its data interface and moves raw
// bytes between its bulk endpoints and the paired OfdWorker.
//
// All state below lives on the worker's thread. Reads block in libusb on a
// read thread of the worker's own, one at a time; each result comes back as
// a queued call. The handle is closed only while no read is in flight.
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

    // Shorter pauses for tests; the defaults above otherwise.
    void setPauses(int openRetryMs, int lostPauseMs);

signals:
    void finished() override;
    void portDataReceived(QByteArray data) override;
    void portConnectionLost() override;
    void portConnectionEstablished() override;
    // Failing opens began, go on (attempts > 0) or ended (0).
    void troubleChanged(const QString &text, int attempts, qint64 sinceMs);

public slots:
    void start() override;
    // Only asks: the worker ends once its pending read returns.
    void stop() override;
    void onOfdDataReceived(QByteArray data) override;

private:
    enum class LinkState {
        Closed, // no device open; the next turn of the loop opens it
        Open,   // device open, one read in flight
        Losing, // loss reported; closed once the read in flight returns
        Paused, // closed after a loss; back to Closed when the pause ends
    };

    bool openDevice();
    void closeDevice();
    void requestRead();
    void onReadDone(int result, const QByteArray &data);
    void loseLink();
    void closeAfterLoss();
    void waitUnlessStopped(int ms);
    void releaseList();
    void acquireContext();
    void releaseContext();
    quint8 inEndpoint() const;
    quint8 outEndpoint() const;
    void logInfo(const QString &text) const;
    void logError(const QString &text) const;
    void logOpenError(const QString &text) const;
    void noteOpen(bool opened);

    UsbLib *lib;
    log4cxx::LoggerPtr logger;
    libusb_device_handle *handle = nullptr;
    QString lastError;
    bool stopRequested = false;
    LinkState state = LinkState::Closed;
    bool readPending = false;
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

    // Where the blocking reads run; readContext lives in readThread.
    QThread readThread;
    QObject readContext;
};
