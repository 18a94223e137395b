#pragma once

#include <QString>

// Writes the settings.xml that has the service serve the simulated device:
// one serial device on the two pseudo-terminals, hot-plug off.
struct DemoConfig
{
    QString id = QStringLiteral("devsim");
    int protocol = 3;
    QString devPort;
    QString appPort;
    QString logsDir; // empty: the service's default

    QString toXml() const;
    bool write(const QString &path, QString *error) const;
};
