#pragma once

#include <QByteArray>
#include <QObject>

// The device's end of the serial line in one exchange protocol: carries the
// OFD stream (the TLV frames) to and from the service and answers the
// application's commands relayed by the service.
class DeviceEnd : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Bytes of the OFD stream for the service; any split is allowed.
    virtual void sendOfd(const QByteArray &tlv) = 0;

    virtual int commandsAnswered() const = 0;
    // Frames that arrived damaged (bad check byte or CRC) or malformed.
    virtual int badFrames() const = 0;
    // Times the service (re)started its side of the line.
    virtual int startups() const = 0;

signals:
    // The first frame from the service after we were started.
    void contact();
    void ofdReceived(const QByteArray &tlv);
};
