// Loads the libusb binding from its own directory and prints what happened,
// for the tests of the binding's resolution rules. Given a library file as
// argument, it places that file beside itself after the first attempt, to
// show that a failed file load is tried again.

#include "usb/usblib.h"

#include <QCoreApplication>
#include <QFile>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>

#include <cstdio>

namespace {

void printMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    std::printf("debug: %s\n", text.toUtf8().constData());
}

class PrintAppender : public log4cxx::AppenderSkeleton
{
public:
    void append(const log4cxx::spi::LoggingEventPtr &event, log4cxx::helpers::Pool &) override
    {
        std::printf("log: %s|%s\n", event->getLevel()->toString().c_str(), event->getMessage().c_str());
    }
    void close() override {}
    bool requiresLayout() const override { return false; }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(printMessage);
    log4cxx::Logger::getRootLogger()->addAppender(std::make_shared<PrintAppender>());
    const QString placed = QCoreApplication::applicationDirPath() + "/libusb-1.0.so.0";
    const bool place = argc > 1;
    if (place)
        QFile::remove(placed);
    UsbLib *lib = UsbLib::instance();
    lib = UsbLib::instance();
    if (place) {
        std::printf("loaded before: %d\n", lib->isLoaded() ? 1 : 0);
        QFile::copy(QString::fromLocal8Bit(argv[1]), placed);
        lib = UsbLib::instance();
        // Stays mapped; the directory is left as it was.
        QFile::remove(placed);
    }
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
