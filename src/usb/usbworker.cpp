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

// The partner's version request: repeated every second while the device is
// silent, so an old copy waiting in the outbox is worth nothing.
bool isVersionRequest(const QByteArray &frame)
{
    return frame.size() == 2 && frame.at(0) == '\x01' && frame.at(1) == '\0';
}

} // namespace

UsbWorker::UsbWorker(const UsbDeviceSettings &entry, QObject *parent)
    : IPortWorker(parent), lib(UsbLib::instance()), workerLoop(this), entry(entry)
{
    setObjectName(QStringLiteral("USB-") + entry.id);
    log = Log(objectName());
    readThread.setObjectName(objectName() + QStringLiteral("-read"));
    readContext.moveToThread(&readThread);
    writeThread.setObjectName(objectName() + QStringLiteral("-write"));
    writeContext.moveToThread(&writeThread);
}

UsbWorker::~UsbWorker()
{
    // start() has waited for its last transfers; this only ends idle threads.
    readThread.quit();
    readThread.wait();
    writeThread.quit();
    writeThread.wait();
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

void UsbWorker::logOpenError(const QString &text) const
{
    // Only the first failure of a run of them is logged; noteOpen() tells
    // the rest once an hour.
    if (!openTrouble.failing())
        log.error(text);
}

void UsbWorker::noteOpen(bool opened)
{
    if (opened) {
        if (openTrouble.succeed()) {
            log.info(openTrouble.endText(QStringLiteral("Device %1").arg(entry.port)));
            emit troubleChanged(QString(), 0, 0);
        }
        return;
    }
    if (openTrouble.fail(lastError) == RepeatedFailure::Say::Reminder)
        log.error(openTrouble.reminderText(lastError));
    emit troubleChanged(lastError, openTrouble.attempts(), openTrouble.since());
}

void UsbWorker::waitUnlessStopped(int ms)
{
    workerLoop.waitFor(ms, [this] { return reopenRequested; });
    reopenRequested = false;
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
        log.error(QStringLiteral("libusb init: %1").arg(QString::fromLocal8Bit(lib->strerror(result))));
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
    writeThread.start();
    while (!workerLoop.stopping() && !gaveUp) {
        switch (state) {
        case LinkState::Closed:
            if (openDevice()) {
                noteOpen(true);
                state = LinkState::Open;
                reportLinkDrops();
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
            workerLoop.waitFor(kIdleWaitMs, [this, was] { return state != was; });
            break;
        }
        }
    }
    // The transfers in flight end within their time-outs; the handle must outlive them.
    while (transfersPending())
        EventWait::until(kIdleWaitMs, [this] { return !transfersPending(); });
    dropOutbox();
    reportDrops();
    reportLinkDrops();
    closeDevice();
    releaseContext();
    readThread.quit();
    readThread.wait();
    writeThread.quit();
    writeThread.wait();
    emit finished();
}

void UsbWorker::stop()
{
    workerLoop.stop();
}

bool UsbWorker::reopen()
{
    if (workerLoop.stopping() || gaveUp)
        return false;
    // Counted afresh: the device is there now. While open, the handle is of
    // the device that left; its next transfer fails and the pause is skipped.
    failedOpens = 0;
    reopenRequested = true;
    return true;
}

void UsbWorker::onOfdDataReceived(QByteArray data)
{
    if (state != LinkState::Open || !handle) {
        ++linkDroppedFrames;
        linkDroppedBytes += data.size();
        return;
    }
    queueFrame(data);
    sendNext();
}

void UsbWorker::queueFrame(const QByteArray &data)
{
    outbox.push_back(data);
    outboxBytes += data.size();
    // Old version requests first, then the oldest frames; the newest frame stays.
    for (auto it = outbox.begin();
         (int(outbox.size()) > kOutboxFrames || outboxBytes > kOutboxBytes) && it != outbox.end() - 1;) {
        if (isVersionRequest(*it)) {
            outboxBytes -= it->size();
            it = outbox.erase(it);
            ++droppedVersionRequests;
        } else {
            ++it;
        }
    }
    while ((int(outbox.size()) > kOutboxFrames || outboxBytes > kOutboxBytes) && outbox.size() > 1) {
        outboxBytes -= outbox.front().size();
        outbox.pop_front();
        ++droppedFrames;
    }
}

void UsbWorker::sendNext()
{
    if (writePending || workerLoop.stopping() || outbox.empty() || state != LinkState::Open || !handle)
        return;
    const QByteArray data = outbox.front();
    outbox.pop_front();
    outboxBytes -= data.size();
    writePending = true;
    UsbLib *const usb = lib;
    libusb_device_handle *const device = handle;
    const quint8 endpoint = outEndpoint();
    QMetaObject::invokeMethod(
        &writeContext,
        [this, usb, device, endpoint, data] {
            QByteArray bytes = data;
            unsigned char *out = reinterpret_cast<unsigned char *>(bytes.data());
            const int size = int(bytes.size());
            int sent = 0;
            int cleared = 0;
            int result = usb->bulkTransfer(device, endpoint, out, size, &sent, kTransferTimeoutMs);
            sent = qBound(0, sent, size);
            if (result == LIBUSB_ERROR_PIPE) {
                // A stalled endpoint: clear it and send the rest once more; a
                // stall that stays (or cannot be cleared) means the link is gone.
                cleared = usb->clearHalt(device, endpoint);
                if (cleared == 0) {
                    int more = 0;
                    result = usb->bulkTransfer(device, endpoint, out + sent, size - sent, &more, kTransferTimeoutMs);
                    sent += qBound(0, more, size - sent);
                }
            }
            // The worker outlives this call: it waits for every write it asked for.
            QMetaObject::invokeMethod(
                this, [this, result, sent, cleared, data] { onWriteDone(result, sent, cleared, data); },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void UsbWorker::onWriteDone(int result, int sent, int cleared, const QByteArray &data)
{
    writePending = false;
    if (cleared != 0)
        log.error(QStringLiteral("clear halt: %1").arg(cleared));
    if (sent > 0)
        log.info(QStringLiteral("write: ") + hexDump(data.left(sent)));
    reportDrops();
    if (result != 0 || sent != data.size()) {
        log.error(QStringLiteral("write error: %1 (%2 of %3 bytes sent)").arg(result).arg(sent).arg(data.size()));
        if (meansGone(result))
            loseLink();
    }
    if (state == LinkState::Losing) {
        if (!readPending)
            closeAfterLoss();
        return;
    }
    sendNext();
}

void UsbWorker::dropOutbox()
{
    linkDroppedFrames += int(outbox.size());
    linkDroppedBytes += outboxBytes;
    outbox.clear();
    outboxBytes = 0;
}

void UsbWorker::reportDrops()
{
    if (droppedVersionRequests == 0 && droppedFrames == 0)
        return;
    log.warn(QStringLiteral("outbox full (%1 frames, %2 bytes): dropped %3 version request(s) and %4 other frame(s)")
                .arg(kOutboxFrames)
                .arg(kOutboxBytes)
                .arg(droppedVersionRequests)
                .arg(droppedFrames));
    emit framesDropped(QStringLiteral("overflow"), droppedVersionRequests + droppedFrames);
    droppedVersionRequests = 0;
    droppedFrames = 0;
}

void UsbWorker::reportLinkDrops()
{
    if (linkDroppedFrames == 0)
        return;
    log.warn(QStringLiteral("link down: dropped %1 frame(s), %2 bytes, for the device")
                .arg(linkDroppedFrames)
                .arg(linkDroppedBytes));
    emit framesDropped(QStringLiteral("link"), linkDroppedFrames);
    linkDroppedFrames = 0;
    linkDroppedBytes = 0;
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

    // The entry names the device by its place ("bus-chain") or by its product id in hex.
    const QString &port = entry.port;
    QString name = port;
    std::function<bool(libusb_device *)> matches;
    if (port.contains(QLatin1Char('-'))) {
        const QStringList parts = port.split(QLatin1Char('-'), Qt::KeepEmptyParts);
        if (parts.size() != 2)
            return false;
        const int bus = parts.at(0).toInt();
        matches = [this, bus, chain = parts.at(1)](libusb_device *dev) {
            QVector<quint8> ports;
            return lib->getBusNumber(dev) == bus && lib->getPortNumbers(dev, ports) >= 0
                && UsbLib::portChain(ports) == chain;
        };
    } else {
        bool ok = false;
        uint productId = port.toUInt(&ok, 16);
        if (!ok)
            productId = 1;
        name = hex4(kVendorId) + QLatin1Char(':') + hex4(quint16(productId));
        matches = [this, productId](libusb_device *dev) {
            libusb_device_descriptor desc{};
            return lib->getDeviceDescriptor(dev, &desc) >= 0 && desc.idVendor == kVendorId
                && desc.idProduct == productId;
        };
    }

    const ssize_t count = context ? lib->getDeviceList(context, &deviceList) : 0;
    if (count < 0) {
        deviceList = nullptr;
        lastError = QStringLiteral("Can't list USB devices for %1: %2 (%3)")
                        .arg(name, QString::fromLocal8Bit(lib->strerror(int(count))))
                        .arg(count);
        logOpenError(lastError);
        return false;
    }
    libusb_device *found = nullptr;
    for (ssize_t i = 0; i < count && !found; ++i) {
        if (matches(deviceList[i]))
            found = deviceList[i];
    }
    if (!found) {
        lastError = QObject::tr("Not found device %1").arg(name);
        logOpenError(lastError);
        return false;
    }
    log.info(QObject::tr("Open USB: %1").arg(name));
    const int opened = lib->open(found, &handle);
    if (opened != 0) {
        handle = nullptr;
        lastError = QObject::tr("Can't open device %1 [%2]").arg(name, tr(lib->strerror(opened).constData()));
        logOpenError(lastError);
        return false;
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
    for (const quint8 endpoint : {inEndpoint(), outEndpoint()}) {
        const int cleared = lib->controlTransfer(handle, requestType, LIBUSB_REQUEST_CLEAR_FEATURE, 0, endpoint,
                                                 nullptr, 0, kTransferTimeoutMs);
        // Not fatal: a halt that stays shows in the transfers, which handle it.
        if (cleared < 0)
            log.warn(QStringLiteral("clear feature on endpoint 0x%1: %2").arg(endpoint, 2, 16, QLatin1Char('0')).arg(cleared));
    }

    log.info(QStringLiteral("SUCCESS"));
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
        log.info(QStringLiteral("read: ") + hexDump(data));
        emit portDataReceived(data);
    }
    if (state == LinkState::Losing) {
        if (!writePending)
            closeAfterLoss();
        return;
    }
    if (state != LinkState::Open || workerLoop.stopping())
        return;
    if (data.isEmpty() && result != 0 && result != LIBUSB_ERROR_TIMEOUT
        && (transferOk || ++earlyErrors >= kEarlyErrorLimit)) {
        log.error(QStringLiteral("error: %1").arg(result));
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
    // What waits for the device now will not reach it.
    dropOutbox();
    if (!transfersPending())
        closeAfterLoss();
}

void UsbWorker::closeAfterLoss()
{
    closeDevice();
    state = LinkState::Paused;
}
