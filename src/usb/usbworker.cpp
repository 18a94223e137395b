#include "usb/usbworker.h"

#include "core/eventwait.h"
#include "core/hexdump.h"
#include "usb/usblib.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QStringList>
#include <QtConcurrent/QtConcurrentRun>

#include <unistd.h>

namespace {

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

UsbWorker::UsbWorker(const UsbDeviceSettings &entry, QObject *parent)
    : IPortWorker(parent), lib(UsbLib::instance()), entry(entry)
{
    setObjectName(QStringLiteral("USB-") + entry.id);
    logger = log4cxx::Logger::getLogger(objectName().toStdString());
    readPool.setMaxThreadCount(1);
    readPool.setExpiryTimeout(-1);
}

UsbWorker::~UsbWorker()
{
    stop();
    readPool.waitForDone();
    {
        QMutexLocker locker(&handleLock);
        if (handle) {
            lib->close(handle);
            handle = nullptr;
        }
    }
    releaseList();
    // The final closeDevice() made a fresh context; nobody else will exit it.
    lib->exit(context);
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

// Like sleepProcessingEvents, but a stop request cuts the wait short.
void UsbWorker::pause(int ms)
{
    for (int i = 0; i < ms && !stopRequested; ++i) {
        usleep(1000);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

void UsbWorker::start()
{
    lib->init(&context);
    int failedOpens = 0;
    for (;;) {
        if (stopRequested) {
            closeDevice();
            emit finished();
            return;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!opened) {
            if (openDevice()) {
                emit portConnectionEstablished();
            } else {
                if (entry.hotplugged && ++failedOpens >= kHotplugOpenAttempts) {
                    closeDevice();
                    emit finished();
                    return;
                }
                pause(openRetryMs);
                continue;
            }
        }
        readTask = QtConcurrent::run(&readPool, [this] { readOnce(); });
        while (!readTask.isFinished())
            sleepProcessingEvents(1);
    }
}

void UsbWorker::stop()
{
    stopRequested = true;
    // Only a read that has begun is waited for: waiting on a queued task's
    // future could run it right here, in the caller's thread.
    QMutexLocker locker(&readLock);
    while (readRunning)
        readEnded.wait(&readLock);
}

void UsbWorker::onOfdDataReceived(QByteArray data)
{
    QMutexLocker locker(&handleLock);
    if (!handle)
        return;
    int transferred = 0;
    lib->bulkTransfer(handle, outEndpoint(), reinterpret_cast<unsigned char *>(data.data()), int(data.size()),
                      &transferred, kTransferTimeoutMs);
    logInfo(QStringLiteral("write: ") + hexDump(data));
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
            logError(lastError);
            return false;
        }
        logInfo(QObject::tr("Open USB: %1").arg(port));
        const int c = lib->open(found, &handle);
        if (c != 0) {
            handle = nullptr;
            lastError = QObject::tr("Can't open device %1 [%2]").arg(port, tr(lib->strerror(c).constData()));
            logError(lastError);
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
            logError(lastError);
            return false;
        }
        logInfo(tr("Open USB: %1:%2").arg(vid, pid));
        const int c = lib->open(found, &handle);
        if (c != 0) {
            handle = nullptr;
            lastError = QObject::tr("Can't open device %1:%2 [%3]").arg(vid, pid, tr(lib->strerror(c).constData()));
            logError(lastError);
            return false;
        }
    }

    lastError.clear();
    if (lib->kernelDriverActive(handle, kInterface) != 0) {
        const int c = lib->detachKernelDriver(handle, kInterface);
        if (c != 0) {
            lastError = tr(lib->strerror(c).constData());
            logError(lastError);
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
            logError(lastError);
            return false;
        }
        const int d = lib->claimInterface(handle, kFallbackInterface);
        useInterface2 = true;
        if (d != 0) {
            lastError = tr(lib->strerror(d).constData());
            logError(QStringLiteral("Can't claim device [%1]").arg(lastError));
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
    opened = true;
    return true;
}

void UsbWorker::closeDevice()
{
    {
        QMutexLocker locker(&handleLock);
        if (handle) {
            lib->releaseInterface(handle, kInterface);
            if (lib->kernelDriverActive(handle, kFallbackInterface) == 0)
                lib->attachKernelDriver(handle, kFallbackInterface);
            lib->close(handle);
            handle = nullptr;
        }
    }
    releaseList();
    lib->exit(context);
    lib->init(&context);
    opened = false;
}

void UsbWorker::readOnce()
{
    {
        QMutexLocker locker(&readLock);
        readRunning = true;
    }
    if (handle) {
        unsigned char buffer[kReadSize] = {};
        int transferred = 0;
        const int result = lib->bulkTransfer(handle, inEndpoint(), buffer, kReadSize, &transferred,
                                             kTransferTimeoutMs);
        if (result == 0 || result == LIBUSB_ERROR_TIMEOUT) {
            transferOk = true;
            earlyErrors = 0;
        }
        if (transferred > 0) {
            const QByteArray data(reinterpret_cast<const char *>(buffer), qMin(transferred, kReadSize));
            logInfo(QStringLiteral("read: ") + hexDump(data));
            emit portDataReceived(data);
        } else if (result != 0 && result != LIBUSB_ERROR_TIMEOUT
                   && (transferOk || ++earlyErrors >= kEarlyErrorLimit)) {
            logError(QStringLiteral("error: %1").arg(result));
            emit portConnectionLost();
            closeDevice();
            pause(lostPauseMs);
        }
    }
    QMutexLocker locker(&readLock);
    readRunning = false;
    readEnded.wakeAll();
}
