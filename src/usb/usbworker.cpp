#include "usb/usbworker.h"

#include "core/eventwait.h"
#include "core/hexdump.h"
#include "usb/usblib.h"

#include <QStringList>

namespace {

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// Long enough to never matter: these waits end by an event.
const int kIdleWaitMs = 3600 * 1000;

// Write results after which the device is taken for gone.
bool meansGone(int result)
{
    return result == LIBUSB_ERROR_NO_DEVICE || result == LIBUSB_ERROR_IO || result == LIBUSB_ERROR_PIPE;
}

} // namespace

UsbWorker::UsbWorker(const UsbDeviceSettings &entry, QObject *parent)
    : IPortWorker(parent), lib(UsbLib::instance()), entry(entry)
{
    setObjectName(QStringLiteral("USB-") + entry.id);
    logger = log4cxx::Logger::getLogger(objectName().toStdString());
    readThread.setObjectName(objectName() + QStringLiteral("-read"));
    readContext.moveToThread(&readThread);
}

UsbWorker::~UsbWorker()
{
    // start() has waited for its last read; this only ends the idle thread.
    readThread.quit();
    readThread.wait();
    if (handle) {
        lib->close(handle);
        handle = nullptr;
    }
    releaseList();
    releaseContext();
}

void UsbWorker::setPauses(int openRetry, int lostPause)
{
    openRetryMs = openRetry;
    lostPauseMs = lostPause;
}

quint8 UsbWorker::inEndpoint() const
{
    return useInterface2 ? kFallbackInEndpoint : kInEndpoint;
}

quint8 UsbWorker::outEndpoint() const
{
    return useInterface2 ? kFallbackOutEndpoint : kOutEndpoint;
}

void UsbWorker::logInfo(const QString &text) const
{
    LOG4CXX_INFO(logger, text.toStdString());
}

void UsbWorker::logError(const QString &text) const
{
    LOG4CXX_ERROR(logger, text.toStdString());
}

void UsbWorker::logOpenError(const QString &text) const
{
    // Only the first failure of a run of them is logged; noteOpen() tells
    // the rest once an hour.
    if (!openTrouble.failing())
        logError(text);
}

void UsbWorker::noteOpen(bool opened)
{
    if (opened) {
        if (openTrouble.succeed()) {
            logInfo(openTrouble.endText(QStringLiteral("Device %1").arg(entry.port)));
            emit troubleChanged(QString(), 0, 0);
        }
        return;
    }
    if (openTrouble.fail(lastError) == RepeatedFailure::Say::Reminder)
        logError(openTrouble.reminderText(lastError));
    emit troubleChanged(lastError, openTrouble.attempts(), openTrouble.since());
}

void UsbWorker::waitUnlessStopped(int ms)
{
    EventWait::until(ms, [this] { return stopRequested; });
}

void UsbWorker::acquireContext()
{
    if (context)
        return;
    int result = 0;
    context = lib->sharedContext().acquire(&result);
    if (context) {
        contextFailed = false;
    } else if (!contextFailed && lib->isLoaded()) {
        // Said once per run of failures; a missing library is reported by UsbLib.
        contextFailed = true;
        logError(QStringLiteral("libusb init: %1").arg(QString::fromLocal8Bit(lib->strerror(result))));
    }
}

void UsbWorker::releaseContext()
{
    if (!context)
        return;
    context = nullptr;
    lib->sharedContext().release();
}

void UsbWorker::start()
{
    acquireContext();
    readThread.start();
    int failedOpens = 0;
    bool gaveUp = false;
    while (!stopRequested && !gaveUp) {
        switch (state) {
        case LinkState::Closed:
            if (openDevice()) {
                noteOpen(true);
                state = LinkState::Open;
                emit portConnectionEstablished();
                requestRead();
            } else {
                noteOpen(false);
                if (entry.hotplugged && ++failedOpens >= kHotplugOpenAttempts)
                    gaveUp = true;
                else
                    waitUnlessStopped(openRetryMs);
            }
            break;
        case LinkState::Paused:
            waitUnlessStopped(lostPauseMs);
            state = LinkState::Closed;
            break;
        case LinkState::Open:
        case LinkState::Losing: {
            // Reads, writes and stop arrive as events; nothing else wakes the thread.
            const LinkState was = state;
            EventWait::until(kIdleWaitMs, [this, was] { return stopRequested || state != was; });
            break;
        }
        }
    }
    // The read in flight ends within its time-out; the handle must outlive it.
    while (readPending)
        EventWait::until(kIdleWaitMs, [this] { return !readPending; });
    closeDevice();
    releaseContext();
    readThread.quit();
    readThread.wait();
    emit finished();
}

void UsbWorker::stop()
{
    if (QThread::currentThread() != thread()) {
        // The flag belongs to the worker's thread: the request travels there.
        QMetaObject::invokeMethod(this, [this] { stop(); }, Qt::QueuedConnection);
        return;
    }
    stopRequested = true;
}

void UsbWorker::onOfdDataReceived(QByteArray data)
{
    if (state != LinkState::Open || !handle)
        return;
    unsigned char *bytes = reinterpret_cast<unsigned char *>(data.data());
    const int size = int(data.size());
    int sent = 0;
    int result = lib->bulkTransfer(handle, outEndpoint(), bytes, size, &sent, kTransferTimeoutMs);
    sent = qBound(0, sent, size);
    if (result == LIBUSB_ERROR_PIPE) {
        // A stalled endpoint: clear it and send the rest once more; a stall
        // that stays (or cannot be cleared) means the link is gone.
        const int cleared = lib->clearHalt(handle, outEndpoint());
        if (cleared != 0) {
            logError(QStringLiteral("clear halt: %1").arg(cleared));
        } else {
            int more = 0;
            result = lib->bulkTransfer(handle, outEndpoint(), bytes + sent, size - sent, &more, kTransferTimeoutMs);
            sent += qBound(0, more, size - sent);
        }
    }
    if (sent > 0)
        logInfo(QStringLiteral("write: ") + hexDump(data.left(sent)));
    if (result == 0 && sent == size)
        return;
    logError(QStringLiteral("write error: %1 (%2 of %3 bytes sent)").arg(result).arg(sent).arg(size));
    if (meansGone(result))
        loseLink();
}

void UsbWorker::releaseList()
{
    // Unreferenced with the list: an open handle holds a reference of its own,
    // and devices must not outlive the context they belong to.
    if (deviceList) {
        lib->freeDeviceList(deviceList, 1);
        deviceList = nullptr;
    }
}

bool UsbWorker::openDevice()
{
    transferOk = false;
    earlyErrors = 0;
    releaseList();
    closeDevice();
    // A context that could not be made at the start is asked for again.
    acquireContext();

    const QString &port = entry.port;
    if (port.contains(QLatin1Char('-'))) {
        const QStringList parts = port.split(QLatin1Char('-'), Qt::KeepEmptyParts);
        if (parts.size() != 2)
            return false;
        const int bus = parts.at(0).toInt();
        const ssize_t count = context ? lib->getDeviceList(context, &deviceList) : 0;
        libusb_device *found = nullptr;
        for (ssize_t i = 0; i < count && !found; ++i) {
            libusb_device *dev = deviceList[i];
            if (lib->getBusNumber(dev) != bus)
                continue;
            QVector<quint8> ports;
            if (lib->getPortNumbers(dev, ports) < 0)
                continue;
            QString path;
            for (quint8 number : ports)
                path += QString::number(number) + QLatin1Char('.');
            path.chop(1);
            if (path == parts.at(1))
                found = dev;
        }
        if (!found) {
            lastError = QObject::tr("Not found device %1").arg(port);
            logOpenError(lastError);
            return false;
        }
        logInfo(QObject::tr("Open USB: %1").arg(port));
        const int c = lib->open(found, &handle);
        if (c != 0) {
            handle = nullptr;
            lastError = QObject::tr("Can't open device %1 [%2]").arg(port, tr(lib->strerror(c).constData()));
            logOpenError(lastError);
            return false;
        }
    } else {
        bool ok = false;
        uint productId = port.toUInt(&ok, 16);
        if (!ok)
            productId = 1;
        const ssize_t count = context ? lib->getDeviceList(context, &deviceList) : 0;
        libusb_device *found = nullptr;
        for (ssize_t i = 0; i < count && !found; ++i) {
            libusb_device_descriptor desc{};
            if (lib->getDeviceDescriptor(deviceList[i], &desc) < 0)
                continue;
            if (desc.idVendor == kVendorId && desc.idProduct == productId)
                found = deviceList[i];
        }
        const QString vid = hex4(kVendorId);
        const QString pid = hex4(quint16(productId));
        if (!found) {
            lastError = QObject::tr("Not found device %1:%2").arg(vid, pid);
            logOpenError(lastError);
            return false;
        }
        logInfo(tr("Open USB: %1:%2").arg(vid, pid));
        const int c = lib->open(found, &handle);
        if (c != 0) {
            handle = nullptr;
            lastError = QObject::tr("Can't open device %1:%2 [%3]").arg(vid, pid, tr(lib->strerror(c).constData()));
            logOpenError(lastError);
            return false;
        }
    }

    lastError.clear();
    if (lib->kernelDriverActive(handle, kInterface) != 0) {
        const int c = lib->detachKernelDriver(handle, kInterface);
        if (c != 0) {
            lastError = tr(lib->strerror(c).constData());
            logOpenError(lastError);
            closeDevice();
            return false;
        }
    }

    lastError.clear();
    const int c = lib->claimInterface(handle, kInterface);
    if (c != 0) {
        if (c == LIBUSB_ERROR_BUSY) {
            // Left open: the next attempt closes it first.
            lastError = tr(lib->strerror(c).constData());
            logOpenError(lastError);
            return false;
        }
        const int d = lib->claimInterface(handle, kFallbackInterface);
        useInterface2 = true;
        if (d != 0) {
            lastError = tr(lib->strerror(d).constData());
            logOpenError(QStringLiteral("Can't claim device [%1]").arg(lastError));
            closeDevice();
            return false;
        }
    }

    lastError.clear();
    const quint8 requestType = LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_STANDARD | LIBUSB_RECIPIENT_ENDPOINT;
    lib->controlTransfer(handle, requestType, LIBUSB_REQUEST_CLEAR_FEATURE, 0, inEndpoint(), nullptr, 0,
                         kTransferTimeoutMs);
    lib->controlTransfer(handle, requestType, LIBUSB_REQUEST_CLEAR_FEATURE, 0, outEndpoint(), nullptr, 0,
                         kTransferTimeoutMs);

    logInfo(QStringLiteral("SUCCESS"));
    return true;
}

void UsbWorker::closeDevice()
{
    if (handle) {
        lib->releaseInterface(handle, kInterface);
        if (lib->kernelDriverActive(handle, kFallbackInterface) == 0)
            lib->attachKernelDriver(handle, kFallbackInterface);
        lib->close(handle);
        handle = nullptr;
    }
    // The context stays: libusb keeps its device list current, and the next
    // open reads that list afresh.
    releaseList();
}

void UsbWorker::requestRead()
{
    readPending = true;
    UsbLib *const usb = lib;
    libusb_device_handle *const device = handle;
    const quint8 endpoint = inEndpoint();
    QMetaObject::invokeMethod(
        &readContext,
        [this, usb, device, endpoint] {
            QByteArray buffer(kReadSize, '\0');
            int transferred = 0;
            const int result = usb->bulkTransfer(device, endpoint, reinterpret_cast<unsigned char *>(buffer.data()),
                                                 kReadSize, &transferred, kTransferTimeoutMs);
            buffer.truncate(qBound(0, transferred, kReadSize));
            // The worker outlives this call: it waits for every read it asked for.
            QMetaObject::invokeMethod(
                this, [this, result, buffer] { onReadDone(result, buffer); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void UsbWorker::onReadDone(int result, const QByteArray &data)
{
    readPending = false;
    if (result == 0 || result == LIBUSB_ERROR_TIMEOUT) {
        transferOk = true;
        earlyErrors = 0;
    }
    if (!data.isEmpty()) {
        logInfo(QStringLiteral("read: ") + hexDump(data));
        emit portDataReceived(data);
    }
    if (state == LinkState::Losing) {
        closeAfterLoss();
        return;
    }
    if (state != LinkState::Open || stopRequested)
        return;
    if (data.isEmpty() && result != 0 && result != LIBUSB_ERROR_TIMEOUT
        && (transferOk || ++earlyErrors >= kEarlyErrorLimit)) {
        logError(QStringLiteral("error: %1").arg(result));
        loseLink();
        return;
    }
    requestRead();
}

void UsbWorker::loseLink()
{
    if (state != LinkState::Open)
        return;
    emit portConnectionLost();
    state = LinkState::Losing;
    if (!readPending)
        closeAfterLoss();
}

void UsbWorker::closeAfterLoss()
{
    closeDevice();
    state = LinkState::Paused;
}
