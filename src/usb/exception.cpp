#include "usb/exception.h"

Exception::Exception(const QString &message) : message(message) {}

Exception::Exception(const char *message) : message(QString::fromUtf8(message)) {}

Exception::~Exception() = default;

const char *Exception::what() const noexcept
{
    buffer = message.toUtf8();
    return buffer.constData();
}
