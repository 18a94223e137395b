#include "usb/usblib.h"

#include "usb/exception.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStringList>

#include <cerrno>
#include <cstring>

namespace {

const char kFileName[] = "libusb-1.0.so.0";
const int kPortRoom = 8;

} // namespace

UsbLib::UsbLib() : QLibrary()
{
    setObjectName(QStringLiteral("UsbLib"));
    log = Log(objectName());
}

UsbLib::~UsbLib()
{
    unload();
}

UsbLib *UsbLib::instance()
{
    static UsbLib lib;
    // Several threads may arrive while the file is still missing: one at a time.
    QMutexLocker locker(&lib.loadLock);
    if (!lib.QLibrary::isLoaded()) {
        lib.setFileName(QCoreApplication::applicationDirPath() + QDir::separator() + QLatin1String(kFileName));
        lib.load();
    }
    return &lib;
}

bool UsbLib::load()
{
    // Checked here: for a missing file the loader would report the last of
    // the name variants it tried, a file nobody meant.
    const QString path = fileName();
    if (!QFileInfo::exists(path)) {
        fail(tr("<%1> load error [%2]").arg(path, QString::fromLocal8Bit(std::strerror(ENOENT))));
        return false;
    }
    if (!QLibrary::load()) {
        fail(tr("<%1> load error [%2]").arg(path, errorString()));
        return false;
    }
    if (!QLibrary::isLoaded())
        return false;
    try {
        resolveAll();
    } catch (const std::exception &e) {
        fail(tr("error resolve %1").arg(QString::fromUtf8(e.what())));
        return false;
    }
    failure.clear();
    resolved = true;
    return true;
}

void UsbLib::fail(const QString &text)
{
    // A retry that fails the same way adds nothing to the log.
    if (text == failure)
        return;
    failure = text;
    log.error(failure);
}

bool UsbLib::unload()
{
    const bool done = QLibrary::unload();
    if (done)
        clearTable();
    return done;
}

bool UsbLib::isLoaded() const
{
    return resolved && QLibrary::isLoaded();
}

QString UsbLib::loadFailure() const
{
    return failure;
}

SharedUsbContext &UsbLib::sharedContext()
{
    return workerContext;
}

void UsbLib::clearTable()
{
    resolved = false;
    fInit = nullptr;
    fExit = nullptr;
    fStrerror = nullptr;
    fOpen = nullptr;
    fClose = nullptr;
    fClaimInterface = nullptr;
    fReleaseInterface = nullptr;
    fClearHalt = nullptr;
    fControlTransfer = nullptr;
    fBulkTransfer = nullptr;
    fAttachKernelDriver = nullptr;
    fDetachKernelDriver = nullptr;
    fKernelDriverActive = nullptr;
    fGetDeviceList = nullptr;
    fFreeDeviceList = nullptr;
    fGetDeviceDescriptor = nullptr;
    fGetPortNumbers = nullptr;
    fGetBusNumber = nullptr;
    fHotplugRegisterCallback = nullptr;
    fHotplugDeregisterCallback = nullptr;
    fHandleEvents = nullptr;
    fHasCapability = nullptr;
    fInterruptEventHandler = nullptr;
}

namespace {

template <typename F>
void resolveInto(QLibrary &lib, F &entry, const char *name)
{
    QFunctionPointer address = lib.resolve(name);
    if (!address)
        throw Exception(name);
    entry = reinterpret_cast<F>(address);
}

} // namespace

void UsbLib::resolveAll()
{
    resolveInto(*this, fInit, "libusb_init");
    resolveInto(*this, fExit, "libusb_exit");
    try {
        resolveInto(*this, fStrerror, "libusb_strerror");
    } catch (const std::exception &) {
        // Older builds lack it; the C library's text is better than none.
        resolveInto(*this, fStrerror, "strerror");
    }
    resolveInto(*this, fOpen, "libusb_open");
    resolveInto(*this, fClose, "libusb_close");
    resolveInto(*this, fClaimInterface, "libusb_claim_interface");
    resolveInto(*this, fReleaseInterface, "libusb_release_interface");
    resolveInto(*this, fClearHalt, "libusb_clear_halt");
    resolveInto(*this, fControlTransfer, "libusb_control_transfer");
    resolveInto(*this, fBulkTransfer, "libusb_bulk_transfer");
    resolveInto(*this, fAttachKernelDriver, "libusb_attach_kernel_driver");
    resolveInto(*this, fDetachKernelDriver, "libusb_detach_kernel_driver");
    resolveInto(*this, fKernelDriverActive, "libusb_kernel_driver_active");
    resolveInto(*this, fGetDeviceList, "libusb_get_device_list");
    resolveInto(*this, fFreeDeviceList, "libusb_free_device_list");
    resolveInto(*this, fGetDeviceDescriptor, "libusb_get_device_descriptor");
    resolveInto(*this, fGetBusNumber, "libusb_get_bus_number");
    resolveInto(*this, fGetPortNumbers, "libusb_get_port_numbers");
    resolveInto(*this, fHotplugRegisterCallback, "libusb_hotplug_register_callback");
    resolveInto(*this, fHotplugDeregisterCallback, "libusb_hotplug_deregister_callback");
    resolveInto(*this, fHandleEvents, "libusb_handle_events");
    fHasCapability = reinterpret_cast<decltype(fHasCapability)>(resolve("libusb_has_capability"));
    fInterruptEventHandler = reinterpret_cast<decltype(fInterruptEventHandler)>(resolve("libusb_interrupt_event_handler"));
}

int UsbLib::init(libusb_context **ctx)
{
    return fInit ? fInit(ctx) : LIBUSB_ERROR_NOT_SUPPORTED;
}

void UsbLib::exit(libusb_context *&ctx)
{
    // A null context would mean libusb's default one, which nobody here uses.
    if (fExit && ctx)
        fExit(ctx);
    ctx = nullptr;
}

QByteArray UsbLib::strerror(int code)
{
    if (!fStrerror)
        return QByteArray("LIBUSB_ERROR_NOT_SUPPORTED");
    const char *text = fStrerror(code);
    return QByteArray(text ? text : "");
}

int UsbLib::open(libusb_device *dev, libusb_device_handle **handle)
{
    return fOpen ? fOpen(dev, handle) : LIBUSB_ERROR_NOT_SUPPORTED;
}

void UsbLib::close(libusb_device_handle *handle)
{
    if (fClose)
        fClose(handle);
}

int UsbLib::claimInterface(libusb_device_handle *handle, int interfaceNumber)
{
    return fClaimInterface ? fClaimInterface(handle, interfaceNumber) : LIBUSB_ERROR_NOT_SUPPORTED;
}

int UsbLib::releaseInterface(libusb_device_handle *handle, int interfaceNumber)
{
    return fReleaseInterface ? fReleaseInterface(handle, interfaceNumber) : LIBUSB_ERROR_NOT_SUPPORTED;
}

int UsbLib::controlTransfer(libusb_device_handle *handle, quint8 requestType, quint8 request, quint16 value,
                            quint16 index, unsigned char *data, quint16 length, unsigned int timeout)
{
    if (!fControlTransfer)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    return fControlTransfer(handle, requestType, request, value, index, data, length, timeout);
}

int UsbLib::bulkTransfer(libusb_device_handle *handle, quint8 endpoint, unsigned char *data, int length,
                         int *transferred, unsigned int timeout)
{
    if (!fBulkTransfer) {
        if (transferred)
            *transferred = 0;
        return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    return fBulkTransfer(handle, endpoint, data, length, transferred, timeout);
}

int UsbLib::attachKernelDriver(libusb_device_handle *handle, int interfaceNumber)
{
    return fAttachKernelDriver ? fAttachKernelDriver(handle, interfaceNumber) : LIBUSB_ERROR_NOT_SUPPORTED;
}

int UsbLib::detachKernelDriver(libusb_device_handle *handle, int interfaceNumber)
{
    return fDetachKernelDriver ? fDetachKernelDriver(handle, interfaceNumber) : LIBUSB_ERROR_NOT_SUPPORTED;
}

int UsbLib::kernelDriverActive(libusb_device_handle *handle, int interfaceNumber)
{
    return fKernelDriverActive ? fKernelDriverActive(handle, interfaceNumber) : LIBUSB_ERROR_NOT_SUPPORTED;
}

ssize_t UsbLib::getDeviceList(libusb_context *ctx, libusb_device ***list)
{
    if (!fGetDeviceList) {
        if (list)
            *list = nullptr;
        return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    return fGetDeviceList(ctx, list);
}

void UsbLib::freeDeviceList(libusb_device **list, int unrefDevices)
{
    if (fFreeDeviceList)
        fFreeDeviceList(list, unrefDevices);
}

int UsbLib::getDeviceDescriptor(libusb_device *dev, libusb_device_descriptor *desc)
{
    return fGetDeviceDescriptor ? fGetDeviceDescriptor(dev, desc) : LIBUSB_ERROR_NOT_SUPPORTED;
}

quint8 UsbLib::getBusNumber(libusb_device *dev)
{
    return fGetBusNumber ? fGetBusNumber(dev) : 0;
}

int UsbLib::getPortNumbers(libusb_device *dev, QVector<quint8> &ports)
{
    ports.resize(kPortRoom);
    const int result = fGetPortNumbers ? fGetPortNumbers(dev, ports.data(), kPortRoom) : LIBUSB_ERROR_NOT_SUPPORTED;
    if (result >= 0)
        ports.resize(qMin(result, kPortRoom));
    return result;
}

int UsbLib::hotplugRegisterCallback(libusb_context *ctx, int events, int flags, int vendorId, int productId,
                                    int deviceClass, libusb_hotplug_callback_fn callback, void *userData,
                                    libusb_hotplug_callback_handle *callbackHandle)
{
    if (!fHotplugRegisterCallback)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    return fHotplugRegisterCallback(ctx, events, flags, vendorId, productId, deviceClass, callback, userData,
                                    callbackHandle);
}

void UsbLib::hotplugDeregisterCallback(libusb_context *ctx, libusb_hotplug_callback_handle callbackHandle)
{
    if (fHotplugDeregisterCallback)
        fHotplugDeregisterCallback(ctx, callbackHandle);
}

bool UsbLib::hasCapability(quint32 capability)
{
    return !fHasCapability || fHasCapability(capability) != 0;
}

int UsbLib::handleEvents(libusb_context *ctx)
{
    return fHandleEvents ? fHandleEvents(ctx) : LIBUSB_ERROR_NOT_SUPPORTED;
}

bool UsbLib::interruptEventHandler(libusb_context *ctx)
{
    if (!fInterruptEventHandler || !ctx)
        return false;
    fInterruptEventHandler(ctx);
    return true;
}

int UsbLib::clearHalt(libusb_device_handle *handle, quint8 endpoint)
{
    return fClearHalt ? fClearHalt(handle, endpoint) : LIBUSB_ERROR_NOT_SUPPORTED;
}

QString UsbLib::portChain(const QVector<quint8> &ports)
{
    QStringList numbers;
    for (quint8 port : ports)
        numbers.append(QString::number(port));
    return numbers.join(QLatin1Char('.'));
}
