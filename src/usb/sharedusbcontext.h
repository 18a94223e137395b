#pragma once

#include <QMutex>

#include <libusb-1.0/libusb.h>

class UsbLib;

// One libusb context shared by every user that acquires it, counted: the
// first acquire creates it, the last release ends it. libusb spends a
// limited per-process resource on each context, so a context per device
// does not scale to many devices.
//
// Any thread. The lock covers only the count and the context pointer; no
// caller holds it while using the context.
class SharedUsbContext
{
public:
    explicit SharedUsbContext(UsbLib &lib);

    SharedUsbContext(const SharedUsbContext &) = delete;
    SharedUsbContext &operator=(const SharedUsbContext &) = delete;

    // The shared context, or null when it could not be created (then the
    // caller holds nothing; libusb's result code in *result).
    libusb_context *acquire(int *result = nullptr);
    // Gives back one acquire that returned a context.
    void release();
    // Holders right now.
    int users();

private:
    UsbLib &lib;
    QMutex lock;
    libusb_context *context = nullptr;
    int count = 0;
};
