#pragma once

#include <QString>
#include <QStringList>

// Looks at a settings.xml the way the service will read it and says
// whether it names anything the service can serve: hot-plug mode, a USB
// device, or a serial device whose two ports exist.
class ConfigCheck
{
public:
    // True when the service has something to serve; `notes` then lists what
    // it will serve and what it will not, `error` says why not otherwise.
    static bool check(const QString &path, QStringList *notes, QString *error);
};
