#include "usb/usblib.h"

#include "usb/exception.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

#include <log4cxx/logger.h>

#include <cerrno>
#include <cstring>

namespace {

const char kFileName[] = "libusb-1.0.so.0";
const int kPortRoom = 8;
const int kStringRoom = 1024;

} // namespace

UsbLib::UsbLib() : QLibrary()
{
    setObjectName(QStringLiteral("UsbLib"));
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
    LOG4CXX_ERROR(log4cxx::Logger::getLogger(objectName().toStdString()), failure.toStdString());
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
    fGetDevice = nullptr;
    fClaimInterface = nullptr;
    fReleaseInterface = nullptr;
    fOpenDeviceWithVidPid = nullptr;
    fClearHalt = nullptr;
    fResetDevice = nullptr;
    fSetAutoDetachKernelDriver = nullptr;
    fControlTransfer = nullptr;
    fBulkTransfer = nullptr;
    fGetActiveConfigDescriptor = nullptr;
    fFreeConfigDescriptor = nullptr;
    fAttachKernelDriver = nullptr;
    fDetachKernelDriver = nullptr;
    fKernelDriverActive = nullptr;
    fGetMaxPacketSize = nullptr;
    fGetConfiguration = nullptr;
    fSetConfiguration = nullptr;
    fGetDeviceList = nullptr;
    fFreeDeviceList = nullptr;
    fGetStringDescriptorAscii = nullptr;
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
    resolveInto(*this, fGetDevice, "libusb_get_device");
    resolveInto(*this, fClaimInterface, "libusb_claim_interface");
    resolveInto(*this, fReleaseInterface, "libusb_release_interface");
    resolveInto(*this, fOpenDeviceWithVidPid, "libusb_open_device_with_vid_pid");
    resolveInto(*this, fClearHalt, "libusb_clear_halt");
    resolveInto(*this, fResetDevice, "libusb_reset_device");
    resolveInto(*this, fSetAutoDetachKernelDriver, "libusb_set_auto_detach_kernel_driver");
    resolveInto(*this, fControlTransfer, "libusb_control_transfer");
    resolveInto(*this, fBulkTransfer, "libusb_bulk_transfer");
    resolveInto(*this, fGetActiveConfigDescriptor, "libusb_get_active_config_descriptor");
    resolveInto(*this, fFreeConfigDescriptor, "libusb_free_config_descriptor");
    resolveInto(*this, fAttachKernelDriver, "libusb_attach_kernel_driver");
    resolveInto(*this, fDetachKernelDriver, "libusb_detach_kernel_driver");
    resolveInto(*this, fKernelDriverActive, "libusb_kernel_driver_active");
    resolveInto(*this, fGetMaxPacketSize, "libusb_get_max_packet_size");
    resolveInto(*this, fGetConfiguration, "libusb_get_configuration");
    resolveInto(*this, fSetConfiguration, "libusb_set_configuration");
    resolveInto(*this, fGetDeviceList, "libusb_get_device_list");
    resolveInto(*this, fFreeDeviceList, "libusb_free_device_list");
    resolveInto(*this, fGetStringDescriptorAscii, "libusb_get_string_descriptor_ascii");
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

libusb_device *UsbLib::getDevice(libusb_device_handle *handle)
{
    return fGetDevice ? fGetDevice(handle) : nullptr;
}

libusb_device_handle *UsbLib::openDeviceWithVidPid(libusb_context *ctx, quint16 vendorId, quint16 productId)
{
    return fOpenDeviceWithVidPid ? fOpenDeviceWithVidPid(ctx, vendorId, productId) : nullptr;
}

int UsbLib::clearHalt(libusb_device_handle *handle, quint8 endpoint)
{
    return fClearHalt ? fClearHalt(handle, endpoint) : LIBUSB_ERROR_NOT_SUPPORTED;
}

int UsbLib::resetDevice(libusb_device_handle *handle)
{
    return fResetDevice ? fResetDevice(handle) : LIBUSB_ERROR_NOT_SUPPORTED;
}

int UsbLib::setAutoDetachKernelDriver(libusb_device_handle *handle, int enable)
{
    return fSetAutoDetachKernelDriver ? fSetAutoDetachKernelDriver(handle, enable) : LIBUSB_ERROR_NOT_SUPPORTED;
}

int UsbLib::getActiveConfigDescriptor(libusb_device *dev, libusb_config_descriptor **config)
{
    return fGetActiveConfigDescriptor ? fGetActiveConfigDescriptor(dev, config) : LIBUSB_ERROR_NOT_SUPPORTED;
}

void UsbLib::freeConfigDescriptor(libusb_config_descriptor *config)
{
    if (fFreeConfigDescriptor)
        fFreeConfigDescriptor(config);
}

int UsbLib::getMaxPacketSize(libusb_device *dev, quint8 endpoint)
{
    return fGetMaxPacketSize ? fGetMaxPacketSize(dev, endpoint) : LIBUSB_ERROR_NOT_SUPPORTED;
}

int UsbLib::getConfiguration(libusb_device_handle *handle)
{
    int configuration = 0;
    if (!fGetConfiguration || fGetConfiguration(handle, &configuration) != 0)
        return -1;
    return configuration;
}

int UsbLib::setConfiguration(libusb_device_handle *handle, int configuration)
{
    return fSetConfiguration ? fSetConfiguration(handle, configuration) : LIBUSB_ERROR_NOT_SUPPORTED;
}

QByteArray UsbLib::getStringDescriptorAscii(libusb_device_handle *handle, quint8 index)
{
    unsigned char text[kStringRoom] = {};
    if (!fGetStringDescriptorAscii || fGetStringDescriptorAscii(handle, index, text, kStringRoom) < 0)
        return QByteArray();
    text[kStringRoom - 1] = 0;
    return QByteArray(reinterpret_cast<const char *>(text));
}
