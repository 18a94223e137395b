#pragma once

#include "service/iportworker.h"
#include "service/settings.h"

// Placeholder until the worker is built: finishes at once.
class UsbWorker : public IPortWorker
{
    Q_OBJECT
public:
    explicit UsbWorker(const UsbDeviceSettings &entry, QObject *parent = nullptr) : IPortWorker(parent) { Q_UNUSED(entry); }

signals:
    void finished() override;
    void portDataReceived(QByteArray data) override;
    void portConnectionLost() override;
    void portConnectionEstablished() override;

public slots:
    void start() override { emit finished(); }
    void stop() override {}
    void onOfdDataReceived(QByteArray data) override { Q_UNUSED(data); }
};
