// Loads the libusb binding from its own directory and prints what happened,
// for the tests of the binding's resolution rules.

#include "usb/usblib.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

void printMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    std::printf("debug: %s\n", text.toUtf8().constData());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(printMessage);
    UsbLib *lib = UsbLib::instance();
    lib = UsbLib::instance();
    std::printf("loaded: %d\n", lib->isLoaded() ? 1 : 0);
    libusb_context *ctx = nullptr;
    std::printf("init: %d\n", lib->init(&ctx));
    std::printf("strerror: %s\n", lib->strerror(LIBUSB_ERROR_BUSY).constData());
    libusb_hotplug_callback_handle cb = 0;
    std::printf("hotplug: %d\n",
                lib->hotplugRegisterCallback(ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, 0, 0x2912,
                                             LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, nullptr, nullptr,
                                             &cb));
    lib->exit(ctx);
    std::printf("context: %s\n", ctx ? "set" : "null");
    std::fflush(stdout);
    return 0;
}
