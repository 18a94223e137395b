#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// Raised inside the libusb binding when a symbol does not resolve.
class Exception : public std::exception
{
public:
    explicit Exception(const QString &message);
    explicit Exception(const char *message);
    ~Exception() override;

    // UTF-8 text; valid while the exception lives.
    const char *what() const noexcept override;

private:
    QString message;
    mutable QByteArray buffer;
};
