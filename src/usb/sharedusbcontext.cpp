#include "usb/sharedusbcontext.h"

#include "usb/usblib.h"

#include <QMutexLocker>

SharedUsbContext::SharedUsbContext(UsbLib &lib) : lib(lib) {}

libusb_context *SharedUsbContext::acquire(int *result)
{
    QMutexLocker locker(&lock);
    int code = 0;
    if (count == 0) {
        code = lib.init(&context);
        if (code != 0 || !context) {
            context = nullptr;
            if (code == 0)
                code = LIBUSB_ERROR_OTHER;
        }
    }
    if (result)
        *result = code;
    if (!context)
        return nullptr;
    ++count;
    return context;
}

void SharedUsbContext::release()
{
    QMutexLocker locker(&lock);
    if (count == 0)
        return;
    if (--count == 0)
        lib.exit(context);
}

int SharedUsbContext::users()
{
    QMutexLocker locker(&lock);
    return count;
}
