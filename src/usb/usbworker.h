#pragma once

#include "core/iportworker.h"
#include "core/settings.h"

#include <QFuture>
#include <QMutex>
#include <QString>
#include <QThreadPool>
#include <QWaitCondition>

#include <atomic>

#include <libusb-1.0/libusb.h>
#include <log4cxx/logger.h>

class UsbLib;

// Port worker of a device on USB: opens its data interface and moves raw
// bytes between its bulk endpoints and the paired OfdWorker.
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

public slots:
    void start() override;
    void stop() override;
    void onOfdDataReceived(QByteArray data) override;

private:
    bool openDevice();
    void closeDevice();
    void readOnce();
    void releaseList();
    void pause(int ms);
    quint8 inEndpoint() const;
    quint8 outEndpoint() const;
    void logInfo(const QString &text) const;
    void logError(const QString &text) const;

    UsbLib *lib;
    log4cxx::LoggerPtr logger;
    libusb_device_handle *handle = nullptr;
    QString lastError;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> opened{false};
    std::atomic<bool> transferOk{false};
    UsbDeviceSettings entry;
    libusb_device **deviceList = nullptr;
    libusb_context *context = nullptr;
    std::atomic<bool> useInterface2{false};
    QFuture<void> readTask;

    int openRetryMs = kOpenRetryMs;
    int lostPauseMs = kLostPauseMs;
    int earlyErrors = 0;

    // A write never uses the handle while the read task closes it.
    QMutex handleLock;
    // Lets stop() wait for a read that has really begun, never for a queued one.
    QMutex readLock;
    QWaitCondition readEnded;
    bool readRunning = false;
    // This worker's reads only: no device waits behind another's reads.
    QThreadPool readPool;
};
