#pragma once

#include "core/log.h"
#include "usb/sharedusbcontext.h"

#include <QByteArray>
#include <QLibrary>
#include <QMutex>
#include <QString>
#include <QVector>

#include <libusb-1.0/libusb.h>

// libusb loaded at run time from the executable's own directory. One object
// per process; the device workers share one context (sharedContext()), other
// callers bring their own. An entry that did not resolve makes its wrapper
// return LIBUSB_ERROR_NOT_SUPPORTED (or do nothing) instead of calling
// through a null pointer.
class UsbLib : public QLibrary
{
    Q_OBJECT
public:
    ~UsbLib() override;

    // Loads on the first call; retries while the file itself fails to load.
    static UsbLib *instance();

    virtual bool load();
    virtual bool unload();

    // True when the file is loaded and every entry resolved.
    bool isLoaded() const;
    // Why the last load failed (the text also logged at ERROR), or empty.
    QString loadFailure() const;

    // The context of the device workers.
    SharedUsbContext &sharedContext();

    int init(libusb_context **ctx);
    void exit(libusb_context *&ctx);
    QByteArray strerror(int code);
    int open(libusb_device *dev, libusb_device_handle **handle);
    void close(libusb_device_handle *handle);
    int claimInterface(libusb_device_handle *handle, int interfaceNumber);
    int releaseInterface(libusb_device_handle *handle, int interfaceNumber);
    int controlTransfer(libusb_device_handle *handle, quint8 requestType, quint8 request, quint16 value,
                        quint16 index, unsigned char *data, quint16 length, unsigned int timeout);
    int bulkTransfer(libusb_device_handle *handle, quint8 endpoint, unsigned char *data, int length,
                     int *transferred, unsigned int timeout);
    int attachKernelDriver(libusb_device_handle *handle, int interfaceNumber);
    int detachKernelDriver(libusb_device_handle *handle, int interfaceNumber);
    int kernelDriverActive(libusb_device_handle *handle, int interfaceNumber);
    ssize_t getDeviceList(libusb_context *ctx, libusb_device ***list);
    void freeDeviceList(libusb_device **list, int unrefDevices);
    int getDeviceDescriptor(libusb_device *dev, libusb_device_descriptor *desc);
    quint8 getBusNumber(libusb_device *dev);
    // Fills ports with the chain from the root hub (room for 8).
    int getPortNumbers(libusb_device *dev, QVector<quint8> &ports);
    int hotplugRegisterCallback(libusb_context *ctx, int events, int flags, int vendorId, int productId,
                                int deviceClass, libusb_hotplug_callback_fn callback, void *userData,
                                libusb_hotplug_callback_handle *callbackHandle);
    void hotplugDeregisterCallback(libusb_context *ctx, libusb_hotplug_callback_handle callbackHandle);
    // libusb_has_capability; the one optional entry: a build without it
    // counts as capable, and the registration's own result decides.
    bool hasCapability(quint32 capability);
    int handleEvents(libusb_context *ctx);
    // Makes a thread in handleEvents(ctx) return; false when the library
    // cannot (older than 1.0.21).
    bool interruptEventHandler(libusb_context *ctx);

    // The chain of port numbers from the root hub, joined by "." (4.2).
    static QString portChain(const QVector<quint8> &ports);

    int clearHalt(libusb_device_handle *handle, quint8 endpoint);

private:
    UsbLib();
    void resolveAll();
    void fail(const QString &text);
    void clearTable();

    QMutex loadLock;
    bool resolved = false;
    QString failure;
    Log log;
    SharedUsbContext workerContext{*this};

    int (*fInit)(libusb_context **) = nullptr;
    void (*fExit)(libusb_context *) = nullptr;
    const char *(*fStrerror)(int) = nullptr;
    int (*fOpen)(libusb_device *, libusb_device_handle **) = nullptr;
    void (*fClose)(libusb_device_handle *) = nullptr;
    int (*fClaimInterface)(libusb_device_handle *, int) = nullptr;
    int (*fReleaseInterface)(libusb_device_handle *, int) = nullptr;
    int (*fClearHalt)(libusb_device_handle *, unsigned char) = nullptr;
    int (*fControlTransfer)(libusb_device_handle *, uint8_t, uint8_t, uint16_t, uint16_t, unsigned char *,
                            uint16_t, unsigned int) = nullptr;
    int (*fBulkTransfer)(libusb_device_handle *, unsigned char, unsigned char *, int, int *, unsigned int) = nullptr;
    int (*fAttachKernelDriver)(libusb_device_handle *, int) = nullptr;
    int (*fDetachKernelDriver)(libusb_device_handle *, int) = nullptr;
    int (*fKernelDriverActive)(libusb_device_handle *, int) = nullptr;
    ssize_t (*fGetDeviceList)(libusb_context *, libusb_device ***) = nullptr;
    void (*fFreeDeviceList)(libusb_device **, int) = nullptr;
    int (*fGetDeviceDescriptor)(libusb_device *, libusb_device_descriptor *) = nullptr;
    int (*fGetPortNumbers)(libusb_device *, uint8_t *, int) = nullptr;
    uint8_t (*fGetBusNumber)(libusb_device *) = nullptr;
    int (*fHotplugRegisterCallback)(libusb_context *, int, int, int, int, int, libusb_hotplug_callback_fn, void *,
                                    libusb_hotplug_callback_handle *) = nullptr;
    void (*fHotplugDeregisterCallback)(libusb_context *, libusb_hotplug_callback_handle) = nullptr;
    int (*fHandleEvents)(libusb_context *) = nullptr;
    int (*fHasCapability)(uint32_t) = nullptr;
    // Optional: missing in old builds.
    void (*fInterruptEventHandler)(libusb_context *) = nullptr;
};
