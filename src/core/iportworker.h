#pragma once

#include "core/iworker.h"

// A worker that moves a device's bytes. Concrete classes declare the first
// three as signals; the pairing connects them to an OfdWorker by name.
class IPortWorker : public IWorker
{
    Q_OBJECT
public:
    using IWorker::IWorker;

    // Leads the OFD traffic inside a serial device's own frames.
    static constexpr quint8 kOfdMarker = 0xDA;

    virtual void portDataReceived(QByteArray data) = 0;
    virtual void portConnectionLost() = 0;
    virtual void portConnectionEstablished() = 0;

public slots:
    virtual void onOfdDataReceived(QByteArray data) = 0;
};
