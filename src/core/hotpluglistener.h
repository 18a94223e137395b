#pragma once

#include <QMap>
#include <QString>

// Receives the hot-plug agent's reports; the map carries at least "Dev".
class HotplugListener
{
public:
    virtual void onDeviceArrived(const QMap<QString, QString> &properties) = 0;
    virtual void onDeviceLeft(const QMap<QString, QString> &properties) = 0;

protected:
    ~HotplugListener() = default;
};
